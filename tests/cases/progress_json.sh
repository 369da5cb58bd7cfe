# --progress json: parsed line by line, for every operation that moves or
# hashes bytes; the last line holds the status, a failure's message too.
mkdir -p in out
gen in/big 3000000 1 && gen in/small 10 2
prog() { kb "$@" --progress json 2>&1 >/dev/null | python3 "$CASES/progress_json.py"; }
prog -m p.pac -f 1 -a system,in/big,1 -a modem,in/small,2
sign p.pac
prog -c p.pac -k key.pub
prog -r p.pac -n big -o out/big
prog -e p.pac -k key.pub -d system,out
prog -e p.pac -k key.pub
three q.pac
sign q.pac
FAULT="kill:/q.pac:2:truncate" kb -e q.pac -k key.pub >/dev/null 2>&1 || true
prog -e q.pac -k key.pub
