# A journal is followed only where this same command would send members,
# only when it matches the package, and only with the outputs it needs.
# Bytes past the last whole piece (a put-back killed inside one, or a
# downloader appending) are not counted: the run finishes.
three
mkdir sys elsewhere
FAULT="kill:/p.pac:3:truncate+" step -e p.pac -d modem,sys
step -e p.pac
(cd elsewhere && step -e ../p.pac -d modem,../sys)
temp=$(ls -d sys/.M2.kb*)
mv "$temp" keep
step -e p.pac -d modem,sys
mv keep "$temp"
cp p.pac.journal saved.journal
printf 'junk' >>p.pac.journal
step -e p.pac -d modem,sys
cp saved.journal p.pac.journal
printf x >>p.pac
$KB -e p.pac -d modem,sys
