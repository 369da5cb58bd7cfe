# What a finished extract in place leaves is no package, with a key or not.
three
sign p.pac
step -e p.pac -k key.pub
step -c p.pac
$KB -c p.pac -k key.pub
