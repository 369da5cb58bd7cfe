# Sourced before every case, in its scratch directory. $KB runs the tool
# (left unquoted: an emulator may come first), $FAULT_ENV preloads the fault
# injector, $CASES is this directory.
DATA="$CASES/../data"

# gen FILE SIZE SEED: SIZE bytes that only SEED decides.
gen() {
  python3 -c 'import random, sys
sys.stdout.buffer.write(random.Random(int(sys.argv[2])).randbytes(int(sys.argv[1])))' "$2" "$3" >"$1"
}

# kb ARGS...: the tool; with FAULT set (FAULT=SPEC kb ...), under the fault
# injector set to SPEC, and where none can be preloaded the case is skipped.
kb() {
  if [ -z "${FAULT:-}" ]; then
    $KB "$@"
  elif [ -n "$FAULT_ENV" ]; then
    env $FAULT_ENV KB_FAULT="$FAULT" $KB "$@"
  else
    exit 77
  fi
}

# step ARGS...: as kb, then its status on a line of its own (the last
# command's status is the case's .exit instead).
step() {
  local status=0
  kb "$@" || status=$?
  echo " [$status]"
}

# three [PAC]: p.pac (or PAC) from M1 (100 bytes), M2 (600000) and M3 (100),
# of types system, modem and idu, made quietly from in/.
three() {
  mkdir -p in
  gen in/M1 100 1 && gen in/M2 600000 2 && gen in/M3 100 3
  $KB -m "${1:-p.pac}" -f 42 -a system,in/M1,1.0 -a modem,in/M2,2.0 -a idu,in/M3,3.0 >/dev/null
}

# forge OUT DATA FIELD=VALUE...: a package written by hand (forge.py).
forge() {
  python3 "$CASES/forge.py" "$@"
}

# sign PAC [COMMENT]: PAC.minisig with the test key (key.pub beside it).
sign() {
  cp "$CASES/key.pub" key.pub
  minisign -S -s "$CASES/key.sec" -m "$1" -t "${2:-model:K1 timestamp:1700000000}" >/dev/null
}
