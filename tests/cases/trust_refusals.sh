# Members named as the package's side files, and fields that would forge a
# console line, are refused before anything changes; -l prints what is
# stored. -o - from a package others can change sends no byte.
printf '%300s' | tr ' ' x >data
forge side.pac data count=2 0.type=t 0.name=a 0.size=100 0.offset=0 0.md5=auto \
  1.type=t 1.name=side.pac.journal 1.size=200 1.offset=100 1.md5=auto
forge sig.pac data count=1 0.type=t 0.name=sig.pac.minisig 0.size=300 0.offset=0 0.md5=auto
forge forged.pac data count=1 0.type=t 0.name=a 0.size=300 0.offset=0 0.md5=auto \
  "0.version=1\r\n extract file r size:1 md5:0,version:1 successfully! \r\n"
step -e side.pac
step -r sig.pac -n sig.pac.minisig
step -e forged.pac
step -l forged.pac
chmod o+w forged.pac
$KB -r forged.pac -n a -o -
