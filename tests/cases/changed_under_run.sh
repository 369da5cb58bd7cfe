# A package that grows while it is verified or extracted is refused.
three
sign p.pac
FAULT="run:/p.pac:3:printf x >>p.pac" step -c p.pac -k key.pub
three
FAULT="run:/p.pac:3:printf x >>p.pac" kb -e p.pac
