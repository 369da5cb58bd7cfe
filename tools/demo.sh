#!/usr/bin/env bash
# Installs what is missing, builds the release binary, then makes a package
# from a few generated files, lists it and extracts it in place.
set -euo pipefail
cd "$(dirname "$0")/.."
. tools/deps.sh
kb_install_deps
cmake --preset release >/dev/null
cmake --build --preset release --target kestrelbind >/dev/null
kb="$PWD/build/release/kestrelbind"

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
cd "$work"
mkdir in flash flash/sys
head -c 1500000 /dev/urandom >in/rootfs.img
head -c 300000 /dev/urandom >in/modem.bin
printf 'hostname=device\n' >in/device.cfg

set -x
"$kb" -m flash/fw.pac -f 42 -a system,in/rootfs.img,1.0.3 -a modem,in/modem.bin,7.1 \
  -a config,in/device.cfg,1
"$kb" -l flash/fw.pac
cd flash
"$kb" -e fw.pac -d system,sys
set +x
ls -lR
for f in sys/rootfs.img modem.bin device.cfg; do cmp "../in/$(basename "$f")" "$f"; done
echo "all members extracted intact; fw.pac is now $(stat -c %s fw.pac) bytes"
