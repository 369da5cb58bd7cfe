# A member whose bytes do not match its digest is put back, its output
# removed; what was installed under its name stays.
printf '%300s' | tr ' ' x >data
forge p.pac data count=2 0.type=t 0.name=a 0.size=100 0.offset=0 0.md5=auto 1.type=t 1.name=b 1.size=200 1.offset=100 1.md5=0123
echo old >b
step -e p.pac
step -r p.pac -n b
$KB -e p.pac -p
