# A stop signal, a read that fails and a write that fails, each after the
# first cut: the member is put back and the package holds what is left. A
# journal that can not be written: the run is refused, nothing changed.
three
FAULT="raise:/p.pac:@600050:15" step -e p.pac
three
FAULT="read:/p.pac:@600050" step -e p.pac
three
FAULT="write:/M2:1" step -e p.pac
three
FAULT="write:/p.pac.journal.tmp:1" kb -e p.pac
