#!/usr/bin/env bash
# Builds the fuzz targets (clang++, libFuzzer, AddressSanitizer and
# UndefinedBehaviorSanitizer) and runs each for FUZZ_SECONDS (default 60)
# from the seed corpus in tests/corpus/. Exits non-zero on any crash; the
# crashing input is left as crash-* in the run directory it prints.
set -euo pipefail
cd "$(dirname "$0")/.."
. tools/deps.sh
kb_install_deps clang libclang-rt-14-dev
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz
seconds="${FUZZ_SECONDS:-60}"
run="$(mktemp -d /tmp/kbfuzz-run.XXXXXX)"
echo "fuzzing for ${seconds}s per target in $run"
for target in fuzz_load fuzz_ops fuzz_beside; do
  mkdir -p "$run/$target"
  seeds="$OLDPWD/tests/corpus"
  [ "$target" = fuzz_beside ] && seeds="$OLDPWD/tests/corpus/beside"
  (cd "$run" && TMPDIR="$run" "$OLDPWD/build/fuzz/fuzz/$target" "$run/$target" "$seeds" \
    -dict="$OLDPWD/fuzz/pac.dict" -max_len=32768 -timeout=10 -rss_limit_mb=2048 \
    -max_total_time="$seconds" -print_final_stats=1 2>"$run/$target.log") || {
    tail -n 40 "$run/$target.log"
    echo "$target found a crash; see $run"
    exit 1
  }
  grep -E '^#[0-9]+.*(DONE|pulse)' "$run/$target.log" | tail -n 1
  grep -E 'stat::number_of_executed_units|cov:' "$run/$target.log" | tail -n 2
done
