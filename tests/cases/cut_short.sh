# A kill after the first cut: every reader says the extract was cut short
# and how to finish it; the same command finishes it.
three
mkdir sys
FAULT="kill:/p.pac:2:truncate" step -e p.pac -d system,sys -d idu,sys
step -l p.pac
step -c p.pac
step -r p.pac -n M1
step -e p.pac
$KB -e p.pac -d system,sys -d idu,sys
