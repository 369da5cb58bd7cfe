#!/usr/bin/env bash
# Times kestrelbind against the shell pipelines a user would write instead,
# on a 1 GiB data set (600, 300 and 124 MiB of random bytes) in /dev/shm.
# Runs A and B alternately RUNS times (default 5) and prints the median wall
# times, the median of the per-pair ratios A/B and kestrelbind's peak RSS;
# the last line is the summary.
#
#   bench/run.sh                    # tmpfs only
#   BENCH_DISK=/some/dir bench/run.sh   # also extract on that filesystem
#                                       # (100 MiB to 1 GiB packages),
#                                       # against cat, sync and md5sum
set -euo pipefail
cd "$(dirname "$0")/.."
. tools/deps.sh
kb_install_deps time minisign
cmake --preset release -DKESTRELBIND_BENCH=ON >/dev/null
cmake --build --preset release >/dev/null
kb="$PWD/build/release/kestrelbind"
runs="${RUNS:-5}"
micro="$PWD/build/release/bench/kestrelbind_micro"

work="$(mktemp -d /dev/shm/kbbench.XXXXXX)"
disk=""
cleanup() { rm -rf "$work" ${disk:+"$disk"}; }
trap cleanup EXIT
cd "$work"
echo "creating the data set in $work"
head -c $((600 << 20)) /dev/urandom >f1
head -c $((300 << 20)) /dev/urandom >f2
head -c $((124 << 20)) /dev/urandom >f3
"$kb" -m master.pac -a system,f1,1 -a modem,f2,1 -a idu,f3,1 >/dev/null
# f2 is stored right behind f1.
f2_offset=$((600 << 20))
f2_size=$((300 << 20))

now() { date +%s%N; }
median() { sort -n | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

# pair NAME SETUP A B: runs SETUP (untimed), A (timed), SETUP, B (timed),
# RUNS times; prints the medians and sets ratio_NAME and rss_NAME. In A,
# KB stands for kestrelbind run under /usr/bin/time, which takes its RSS.
pair() {
  local name=$1 setup=$2 a=$3 b=$4 ta=() tb=() ratios=() rss=() t0 t1 t2
  for ((i = 0; i < runs; i++)); do
    eval "$setup"
    t0=$(now)
    (eval "${a//KB//usr/bin/time -f %M -o $work/rss.txt $kb}") >/dev/null
    t1=$(now)
    rss+=("$(tail -n 1 "$work/rss.txt")")
    eval "$setup"
    t1b=$(now)
    (eval "$b") >/dev/null
    t2=$(now)
    ta+=($(((t1 - t0) / 1000000)))
    tb+=($(((t2 - t1b) / 1000000)))
    ratios+=("$(awk -v a=$((t1 - t0)) -v b=$((t2 - t1b)) 'BEGIN { printf "%.4f", a / b }')")
  done
  local ma mb mr mrss
  ma=$(printf '%s\n' "${ta[@]}" | median)
  mb=$(printf '%s\n' "${tb[@]}" | median)
  mr=$(printf '%s\n' "${ratios[@]}" | median)
  mrss=$(printf '%s\n' "${rss[@]}" | sort -n | tail -n 1)
  printf '%-8s kestrelbind %6s ms   baseline %6s ms   ratio %.2fx   peak rss %s KiB\n' \
    "$name" "$ma" "$mb" "$mr" "$mrss"
  printf -v "ratio_$name" '%.2f' "$mr"
  printf -v "rss_$name" '%s' "$mrss"
}

pair make "rm -f out out.pac" \
  "KB -m out.pac -a system,f1,1 -a modem,f2,1 -a idu,f3,1" \
  "md5sum f1 f2 f3 >/dev/null && cat f1 f2 f3 >out"
pair extract "rm -rf x && mkdir x && cp master.pac x/pkg.pac && sync" \
  "cd x && KB -e pkg.pac" \
  "cd x && cat pkg.pac >out && md5sum out"
pair read "rm -rf x && mkdir x" \
  "cd x && KB -r ../master.pac -n f2" \
  "cd x && dd if=../master.pac of=out bs=1M iflag=skip_bytes,count_bytes skip=$f2_offset count=$f2_size status=none && md5sum out"
pair check "" "KB -c master.pac" "md5sum f1 f2 f3"
minisign -G -W -p key.pub -s key.sec >/dev/null 2>&1 && minisign -S -s key.sec -m master.pac \
  </dev/null >/dev/null 2>&1
# Verification alone: read asks for a member the package does not have.
pair verify "" "KB -r master.pac -k key.pub -n none 2>/dev/null || true" "b2sum master.pac"
rm -rf x out out.pac

# On a disk the crash-safe extract syncs every checkpoint and every cut; the
# baseline syncs once at the end. Three packages, of 100 MiB, 400 MiB and
# 1 GiB (about 60, 30 and 10% of each in three members), made in /dev/shm;
# the disk needs a little over twice the largest (package and output).
if [ -n "${BENCH_DISK:-}" ]; then
  disk="$(mktemp -d "$BENCH_DISK/kbbench.XXXXXX")"
  echo "on $(df --output=source,fstype "$disk" | tail -n 1):"
  for mib in 100 400 1024; do
    if [ "$mib" = 1024 ]; then
      cp master.pac d.pac
    else
      head -c $((mib * 6 / 10 << 20)) f1 >s1
      head -c $((mib * 3 / 10 << 20)) f2 >s2
      head -c $((mib / 10 << 20)) f3 >s3
      "$kb" -m d.pac -a system,s1,1 -a modem,s2,1 -a idu,s3,1 >/dev/null
      rm -f s1 s2 s3
    fi
    cd "$disk"
    pair "disk$mib" "rm -rf x && mkdir x && cp $work/d.pac x/pkg.pac && sync" \
      "cd x && KB -e pkg.pac" \
      "cd x && cat pkg.pac >out && sync && md5sum out"
    rm -rf x
    cd "$work" && rm d.pac
  done
fi

"$micro" --benchmark_min_time=0.2 2>/dev/null | grep '^BM_'
max_rss=$(printf '%s\n' "$rss_make" "$rss_extract" "$rss_read" "$rss_check" "$rss_verify" |
  sort -n | tail -n 1)
echo "make ${ratio_make}x extract ${ratio_extract}x read ${ratio_read}x check ${ratio_check}x" \
  "verify ${ratio_verify}x" \
  "${ratio_disk100:+disk ${ratio_disk100}x ${ratio_disk400}x ${ratio_disk1024}x }rss $(awk -v k="$max_rss" 'BEGIN { printf "%.1f", k / 1024 }')MiB"
