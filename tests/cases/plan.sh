# --plan: the members, their outputs and each filesystem's room (the bytes
# vary with the filesystem, so only the verdict stands: with room, room
# only what the run asks for, too little), nothing changed; each refusal
# as the real run gives it, the plan first.
three
sign p.pac
mkdir sys
cp "$DATA/signed.pub" other.pub
plan() { step "$@" | sed -E 's/(needs"?:)[0-9]*,("?free"?:)[0-9]*/\1N,\2N/g; s/needs [0-9]+ bytes/needs N bytes/; s/has [0-9]+ free/has N free/'; }
plan -e p.pac --plan -k key.pub -d system,sys --floor fw.floor
plan -e p.pac --plan -p -d system,sys --json
FAULT="room:p.pac:100000" plan -e p.pac --plan -d system,sys
FAULT="room:p.pac:100000" plan -e p.pac --plan -p -d system,sys
step -e p.pac --plan --json -k other.pub
for refused in "-d system,nowhere" "-k other.pub" "-k key.pub --expect model:K2"; do
  step -e p.pac --plan $refused
  step -e p.pac $refused
done
# Cut short: the resume's own checks, then its plan, or its refusal.
FAULT="kill:/p.pac:2:truncate" step -e p.pac -d system,sys
plan -e p.pac --plan -d system,sys
cd sys && $KB -e ../p.pac --plan -d system,.
