# Check: every member's verdict; a damaged one, twins, a name no extract
# takes; --json puts the messages on stderr.
three
step -c p.pac
step -c p.pac -t modem
printf '%300s' | tr ' ' x >data
forge bad.pac data count=3 0.type=t 0.name=a 0.size=100 0.offset=0 0.md5=auto \
  1.type=t 1.name=a 1.size=100 1.offset=100 1.md5=auto 2.type=t 2.name=../c 2.size=100 2.offset=200 2.md5=0
step -c bad.pac
$KB -c bad.pac --json -d t,.
