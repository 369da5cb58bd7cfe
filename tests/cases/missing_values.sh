# Each option that takes a value, given none.
for o in -a -d -e -f -l -m -t -n -o -r -c -k --expect --newer-than; do step $o; done
step -p -t
