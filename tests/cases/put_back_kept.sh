# A Ctrl-C puts the member back. Without a key the journal goes with it;
# with one it stays, for a rerun must verify the package it describes, and
# every reader gives the hint first.
three
FAULT="raise:/M1:1:2@write" step -e p.pac
step -l p.pac
three
sign p.pac
FAULT="raise:/M1:1:2@write" step -e p.pac -k key.pub
step -l p.pac
step -c p.pac -k key.pub
$KB -e p.pac -k key.pub
