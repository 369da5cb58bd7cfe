# Read one member by name, type or both, here or to -o; the package stays.
three
step -r p.pac
step -r p.pac -n M1
step -r p.pac -t modem -o out/x
mkdir out
step -r p.pac -t modem -o out/x
step -r p.pac -n M1 -t modem
step -r p.pac -n missing
$KB -r p.pac -n M3 -o - | md5sum
