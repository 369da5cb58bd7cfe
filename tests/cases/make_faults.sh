# Make stopped by a signal, or a member that shrinks while it is copied:
# nothing is left at the destination.
mkdir in
gen in/M1 100 1 && gen in/M2 600000 2
FAULT="raise:/M2:2:15" step -m p.pac -a system,in/M1,1 -a modem,in/M2,2
FAULT="run:/M2:2:truncate -s 10 in/M2" kb -m p.pac -a system,in/M1,1 -a modem,in/M2,2
