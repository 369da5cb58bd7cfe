# A Ctrl-C puts the member back and keeps the journal: the hint is given.
three
FAULT="raise:/p.pac:@600050:2" step -e p.pac
ls
step -l p.pac
$KB -e p.pac
