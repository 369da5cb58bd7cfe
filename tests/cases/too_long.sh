# Values longer than their fields are refused at once; within them they pass.
n() { printf "%${1}s" | tr ' ' "$2"; }
step -n "$(n 256 n)"
step -n "$(n 255 n)"
step -d "$(n 32 t),/"
step -d "t,$(n 1022 d)"
step -l "$(n 1024 p)"
step -m "$(n 1024 p)"
step -t "$(n 128 t)"
step -f "$(n 64 f)"
step -a "system,$(n 2041 a),1"
step $(for i in $(seq 51); do echo -a t,f,1; done)
$KB $(for i in $(seq 51); do echo -d t,/; done)
