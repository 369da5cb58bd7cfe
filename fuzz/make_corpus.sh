#!/usr/bin/env bash
# Makes the fuzzers' seed corpus, tests/corpus/, from real packages that
# kestrelbind -m builds of small members (so the seeds stay near 24 KiB).
# The seeds of the files beside a package, tests/corpus/beside/, are real
# journals of extracts killed before their first cut (by the tests' fault
# injector) and the signature and key of tests/data.
# Usage: fuzz/make_corpus.sh [path-to-kestrelbind]
set -euo pipefail
cd "$(dirname "$0")/.."
root="$PWD"
kb="$(realpath "${1:-build/release/kestrelbind}")"
out="$PWD/tests/corpus"
rm -rf "$out" && mkdir -p "$out"
tmp="$(mktemp -d)"
trap 'rm -rf "$tmp"' EXIT
cd "$tmp"
mkdir -p dir
printf 'abc' >abc.txt
printf '' >empty.bin
printf 'rootfs' >dir/sys.img
head -c 1000 /dev/zero | tr '\0' 'x' >k1.bin
printf 'modem firmware' >modem.bin
printf 'hostname=device\n' >device.cfg

"$kb" -m "$out/empty.pac" >/dev/null
"$kb" -m "$out/one.pac" -f 7 -a system,abc.txt,1.0 >/dev/null
"$kb" -m "$out/three.pac" -f 12345 -a system,dir/sys.img,1.0.3 -a modem,modem.bin,7.1,beta \
  -a config,device.cfg,1 >/dev/null
"$kb" -m "$out/sizes.pac" -a idu,empty.bin,0 -a idu,k1.bin,2 -a idu,abc.txt,3 >/dev/null
args=()
for i in $(seq 1 50); do args+=(-a "t$i,abc.txt,$i"); done
"$kb" -m "$out/fifty.pac" "${args[@]}" >/dev/null
mkdir -p "$out/beside"
cp "$root/tests/data/signed.pac.minisig" "$root/tests/data/signed.pub" "$out/beside/"
fault="$(dirname "$kb")/tests/libkestrelbind_fault.so"
for pac in three sizes; do
  cp "$out/$pac.pac" .
  LD_PRELOAD="$fault" KB_FAULT="kill:/$pac.pac:1:truncate" "$kb" -e "$pac.pac" >/dev/null || true
  cp "$pac.pac.journal" "$out/beside/$pac.journal"
done
ls -lR "$out"
