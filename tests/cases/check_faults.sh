# Check: a member that can not be read; members no extract takes and none
# damaged; read to a device from a package others can write.
three
FAULT="read:/p.pac:@600050" step -c p.pac
printf '%300s' | tr ' ' x >data
forge bad.pac data count=2 0.type=t 0.name=a 0.size=100 0.offset=0 0.md5=auto \
  1.type=t 1.name=../b 1.size=200 1.offset=100 1.md5=auto
step -c bad.pac
chmod o+w p.pac
$KB -r p.pac -n M1 -o /dev/null
