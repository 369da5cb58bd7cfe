# -d to a regular file: its members can not be written there.
three
printf x >notdir
step -e p.pac -d idu,notdir
$KB -l p.pac
