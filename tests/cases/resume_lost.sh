# An output damaged while the run was down is named and left out; the rest
# is extracted. A journal that is no file can not be read.
three
FAULT="kill:/p.pac:3:truncate+" step -e p.pac
printf 'X' | dd of="$(ls .M2.kb*)" bs=1 seek=10 conv=notrunc status=none
step -e p.pac
three q.pac
mkdir q.pac.journal
$KB -e q.pac
