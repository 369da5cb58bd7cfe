# A journal forged to say that a put-back found every member out under its
# name, the package emptied: each member must prove it by its digest at its
# name, or is named and left out, and the run fails.
three
sign p.pac
mkdir sys
echo OLD >sys/M2
FAULT="kill:/p.pac:2:truncate" step -e p.pac -k key.pub -d modem,sys
python3 - <<'PY'
import hashlib
d = open("p.pac.journal", "rb").read()
body = d[:d.rindex(b"md5 ")].replace(b"\nrestored -1\n", b"\nrestored 0\n", 1)
open("p.pac.journal", "wb").write(body + b"md5 " + hashlib.md5(body).hexdigest().encode() + b"\n")
PY
truncate -s 0 p.pac
$KB -e p.pac -k key.pub -d modem,sys
