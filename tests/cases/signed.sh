# -k: the verified line; every way a signature or key can be wrong.
three
sign p.pac
step -c p.pac -k key.pub --expect model:K1 --newer-than 1699999999
step -r p.pac -k key.pub -n M3 --expect model:K2
step -c p.pac -k key.pub --newer-than 1700000000
cp "$DATA/signed.pub" other.pub
step -c p.pac -k other.pub
step -c p.pac -k p.pac
step -c p.pac -k nothing.pub
cp p.pac.minisig good.minisig
printf x >>p.pac
step -c p.pac -k key.pub
three
cp good.minisig p.pac.minisig
sed -i 's/^trusted comment: .*/trusted comment: model:K9/' p.pac.minisig
step -e p.pac -k key.pub
printf 'untrusted comment: x\nnot base64\n' >p.pac.minisig
step -e p.pac -k key.pub
sed 's/^RUR/RWR/; s/^RUQ/RWQ/' good.minisig >p.pac.minisig
step -e p.pac -k key.pub
rm p.pac.minisig
step -e p.pac -k key.pub
sign p.pac "model:K1"
$KB -r p.pac -k key.pub -n M3 --newer-than 5
