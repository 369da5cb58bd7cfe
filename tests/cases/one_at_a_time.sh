# While an extract holds the package, no other run touches it.
three
for o in -e -l -c; do flock -x p.pac $KB $o p.pac && echo " [0]" || echo " [$?]"; done
flock -x p.pac $KB -r p.pac -n M1
