# Several -k: the signature's key id picks the key, the verified line names
# it; none of them refused; --sig elsewhere, never through a link; a resume
# needs the journal's key among those given.
three
sign p.pac
three q.pac
cp "$CASES/key2.pub" key2.pub
minisign -S -s "$CASES/key2.sec" -m q.pac -t "model:K1 timestamp:1700000001" >/dev/null
cp "$DATA/signed.pub" other.pub
step -c p.pac -k key2.pub -k key.pub
step -c q.pac -k key.pub -k key2.pub --json
step -c q.pac -k key.pub -k other.pub
step -c q.pac -k key.pub -k nothing.pub -k key2.pub
mkdir sigs && mv q.pac.minisig sigs/q.sig && ln -s sigs/q.sig link.sig
step -c q.pac -k key.pub -k key2.pub --sig sigs/q.sig
step -c q.pac -k key2.pub --sig link.sig
step -c q.pac -k key2.pub
step -l q.pac --sig sigs/q.sig
mkdir sys
FAULT="kill:/p.pac:2:truncate" step -e p.pac -k key.pub -k key2.pub -d system,sys
step -e p.pac -k key2.pub -k other.pub -d system,sys
$KB -e p.pac -k key2.pub -k key.pub -d system,sys
