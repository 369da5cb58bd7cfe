# --expect and --newer-than: only with a key, only where a package is
# verified, and only well-formed.
step -e p.pac --expect x
step -c p.pac --newer-than 1
step -l p.pac -k k.pub --expect x
step -m p.pac -k k.pub --newer-than 1
step -r p.pac -k k.pub --newer-than 12x
step --newer-than +1
step --newer-than 18446744073709551616
step -c p.pac -k k.pub --newer-than 18446744073709551615
$KB -c p.pac -k k --expect "a b"
