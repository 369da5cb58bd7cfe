#!/usr/bin/env bash
# Installs the Debian packages that building and testing kestrelbind needs,
# only those missing. Sourced by the other scripts; safe to run again.
set -euo pipefail

kb_install_deps() {
  local wanted=(g++ cmake ninja-build pkg-config libmd-dev libsodium-dev minisign libgtest-dev
    libbenchmark-dev nlohmann-json3-dev python3 file dpkg-dev "$@")
  local missing=()
  for pkg in "${wanted[@]}"; do
    dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed' ||
      missing+=("$pkg")
  done
  if [ "${#missing[@]}" -gt 0 ]; then
    local sudo=""
    [ "$(id -u)" -eq 0 ] || sudo="sudo"
    echo "installing: ${missing[*]}"
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
  fi
}

if [ "${BASH_SOURCE[0]}" = "$0" ]; then
  kb_install_deps "$@"
fi
