# Member names that would leave the directory, hold control bytes, name the
# package itself or meet another member's output are refused before
# anything changes; so are overlapping members, in place only.
printf '%300s' | tr ' ' x >data
forge up.pac data count=2 0.type=t 0.name=a 0.size=100 0.offset=0 1.type=t 1.name=../evil 1.size=200 1.offset=100
forge ctl.pac data count=1 0.type=t "0.name=new\nline" 0.size=300 0.offset=0
forge self.pac data count=1 0.type=t 0.name=self.pac 0.size=300 0.offset=0
forge twice.pac data count=2 0.type=t 0.name=a 0.size=100 0.offset=0 1.type=u 1.name=a 1.size=200 1.offset=100
forge overlap.pac data count=2 0.type=t 0.name=a 0.size=200 0.offset=0 1.type=t 1.name=b 1.size=100 1.offset=100
for p in up ctl self twice overlap; do step -e $p.pac; done
step -e overlap.pac -p
step -r up.pac -n ../evil
ln -s overlap.pac link.pac
ln twice.pac other.pac
step -e link.pac
$KB -e other.pac
