# A -d directory that does not exist stops every extract before anything is
# written or cut; an empty path after the comma means the current directory.
three
step -e p.pac -p -d system,missing
step -e p.pac -t system -d system,missing
step -e p.pac -d system,/no/such/dir
$KB -e p.pac -d system,
