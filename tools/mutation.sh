#!/usr/bin/env bash
# Mutation testing: plants one small fault at a time in src/**/*.cc, builds
# each mutant incrementally in a scratch copy and runs the whole suite there;
# prints one line per mutant, the survivors, and the score last. Takes
# minutes; run it by hand, not in CI.
#
#   tools/mutation.sh                       # 150 mutants, seed 1
#   tools/mutation.sh --sample 300 --seed 7
#   tools/mutation.sh --list                # only show the sample
set -euo pipefail
cd "$(dirname "$0")/.."
exec python3 tools/mutation.py "$@"
