# What every reader says of a file that is not a package it can take.
three
head -c 24159 p.pac >short.pac
cp p.pac grown.pac && printf x >>grown.pac
mkfifo fifo.pac
mkdir dir.pac
long=$(printf '%300s' | tr ' ' p)
for f in nothing.pac short.pac grown.pac fifo.pac dir.pac /dev/null/p.pac $long/p.pac; do
  step -l "$f"
done
forge bad.pac in/M1 count=1 0.name=a 0.size=101 0.offset=0
forge neg.pac in/M1 count=2 0.name=a 0.size=100 0.offset=0 1.name=b 1.size=-100 1.offset=100
forge many.pac in/M1 count=51 0.name=a 0.size=100 0.offset=0
for f in bad.pac neg.pac many.pac; do step -c "$f"; done
for o in -e -r -c; do step $o "$long/p.pac"; done
rmdir dir.pac
