# The same under -k: the hints name the key; the resume without it is
# refused, with it the package is put together, verified and finished.
three
sign p.pac
mkdir sys
FAULT="kill:/p.pac:2:truncate" step -e p.pac -k key.pub -d system,sys
step -l p.pac
step -c p.pac -k key.pub
step -r p.pac -k key.pub -n M1
step -e p.pac -d system,sys
$KB -e p.pac -k key.pub -d system,sys
