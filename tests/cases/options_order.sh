# Unknown arguments are skipped and named on stderr, the last mode wins, a
# value may begin with a dash; nothing after a failure is looked at.
step -x foo -l a.pac -e -b.pac
step -d s,/no/such/dir -d m,. -n x
step -d s,. -d s
step -d s,. -d s -x
$KB -x -p
