# Make refuses, creating nothing: a spec without its commas, a member that
# is missing, not a regular file or too large, twins, control bytes, a
# destination that can not be written.
gen m 10 1
mkdir d
truncate -s 2G big
truncate -s 1500M half1 half2
step -m p.pac -a system,m
step -m p.pac -a system
step -m p.pac -a system,nothing,1
step -m p.pac -a system,d,1
step -m p.pac -a system,/dev/null,1
step -m p.pac -a system,big,1
step -m p.pac -a system,half1,1 -a modem,half2,1
step -m p.pac -a system,m,1 -a system,./m,2
step -m p.pac -a "$(printf 'sys\ttem'),m,1"
step -m p.pac -a "system,m,$(printf '1\r\n')"
step -m p.pac -f "$(printf 'f\033[2J')" -a system,m,1
step -m no/p.pac -a system,m,1
rm big half1 half2
