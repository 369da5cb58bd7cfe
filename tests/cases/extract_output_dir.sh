# An output name that is a directory is refused before the first cut.
three
mkdir M1
step -e p.pac
$KB -e p.pac -p
