# Make: members largest first, each line with its source path; the listing.
mkdir in
gen in/M1 100 1 && gen in/M2 600000 2 && gen in/M3 100 3
step -m p.pac -f 42 -a system,in/M1,1.0 -a modem,in/M2,2.0 -a idu,in/M3,3.0
step -l p.pac
mkdir sub
$KB -m sub/q.pac -a config,in/M1,"1.2,beta"
