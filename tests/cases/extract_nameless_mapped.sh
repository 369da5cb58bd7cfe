# A slot without a name whose type -d maps can not be written; the member is
# put back. Without a mapping it is skipped.
printf '%300s' | tr ' ' x >data
forge p.pac data count=2 0.type=t 0.name=a 0.size=100 0.offset=200 0.md5=auto 1.type=u 1.size=200 1.offset=0 1.md5=auto
mkdir out
step -e p.pac -d u,out
step -l p.pac
$KB -e p.pac
