# -p leaves the package whole; -t takes one type and leaves it whole too; a
# -t type no member has extracts nothing and says so on stderr; -n plays no
# part in extract.
three
step -e p.pac -p
rm M1 M2 M3
step -e p.pac -t modem
$KB -e p.pac -t moden -n M1
