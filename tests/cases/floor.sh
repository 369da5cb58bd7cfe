# --floor: the first install creates it, the same package again is refused,
# a kill before success leaves it as it was, a newer package moves it;
# the misuses, each refused before anything is read.
three
sign p.pac
mkdir state
step -e p.pac -k key.pub --floor state/fw.floor -p
cat state/fw.floor
step -e p.pac -k key.pub --floor state/fw.floor -p
sign p.pac "model:K1 timestamp:1700000100"
FAULT="kill:fw.floor:1:fsync" step -e p.pac -k key.pub --floor state/fw.floor -p
cat state/fw.floor
step -r p.pac -k key.pub --floor state/fw.floor -n M1 -o M1.out
cat state/fw.floor
step -c p.pac -k key.pub --floor state/fw.floor
step -r p.pac -k key.pub --floor state/fw.floor -n M1
step -e p.pac --floor state/fw.floor
step -e p.pac -k key.pub --floor state/fw.floor -t idu
printf '17x\n' >state/bad
step -e p.pac -k key.pub --floor state/bad
step -e p.pac -k key.pub --floor nowhere/fw.floor
sign p.pac "model:K1 timestamp:1700000200"
ln -s fw.floor state/link
$KB -e p.pac -k key.pub --floor state/link
