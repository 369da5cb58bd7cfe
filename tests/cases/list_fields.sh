# The listing prints each field as stored: blanks, signs and junk in the
# numbers, commas, fields that fill their width without a NUL.
printf 'wxyz' >data
forge p.pac data count=4 0.type=t 0.name=a 0.version=1.2,beta 0.size=1 0.offset=0 \
  0.md5=auto 1.type=t 1.name=b 1.version=1 "1.size= +1junk" "1.offset= 1 7" 1.md5=auto \
  2.type="$(printf '%32s' | tr ' ' T)" 2.name=c 2.size=1 2.offset=2 2.md5="$(printf '%64s' | tr ' ' M)" \
  3.type=t 3.name=d 3.size=1 3.offset=3 3.md5=0 feature="$(printf '%64s' | tr ' ' F)"
step -l p.pac
$KB -l p.pac --json
