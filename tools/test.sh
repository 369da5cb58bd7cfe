#!/usr/bin/env bash
# Installs what is missing, builds the release configuration and runs the
# whole test suite.
set -euo pipefail
cd "$(dirname "$0")/.."
. tools/deps.sh
kb_install_deps
cmake --preset release
cmake --build --preset release
ctest --preset release
