#!/usr/bin/env python3
"""The golden corpus: each NAME.sh here is one scenario, run in a scratch
directory of its own; what it printed and left must equal the files beside
it, byte for byte:

  NAME.stdout  all of stdout           NAME.exit    the last command's status
  NAME.tree    the scratch directory   NAME.stderr  stderr, where a case has one

Paths that hold the scratch directory are written with $DIR in its place,
and the six random letters of the tool's temporary names as XXXXXX; a
journal holds such paths, so only its name stands in the tree.

  run.py --kb 'CMD' [--fault-env 'VAR=... ...'] [--update] [NAME ...]

--update rewrites the expected files from what the cases do now (stderr
only where a case has one), so a changed byte of the contract is a diff
reviewed in the same commit. A case that needs the fault injector, where
none can be preloaded, exits 77: skipped.
"""
import argparse
import hashlib
import os
import re
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
SKIP = 77


def tree(root):
    lines = []
    for at, dirs, files in os.walk(root):
        dirs.sort()
        for name in sorted(dirs + files):
            path = os.path.join(at, name)
            rel = os.path.relpath(path, root)
            if os.path.islink(path):
                lines.append(f"{rel} -> {os.readlink(path)}")
            elif os.path.isdir(path):
                lines.append(rel + "/")
            elif not os.path.isfile(path):
                lines.append(rel + " (not a regular file)")
            elif name.endswith(".journal"):
                lines.append(rel + " (journal)")
            else:
                with open(path, "rb") as f:
                    data = f.read()
                lines.append(f"{rel} {len(data)} {hashlib.md5(data).hexdigest()}")
    return "\n".join(lines or ["(no files)"]) + "\n"


def masked(data, scratch):
    data = data.replace(scratch.encode(), b"$DIR")
    return re.sub(rb"(\.kb|\.journal\.)[A-Za-z0-9]{6}", rb"\1XXXXXX", data)


def run_case(name, args):
    scratch = os.path.realpath(tempfile.mkdtemp(prefix="kbcase."))
    env = dict(os.environ, KB=args.kb, FAULT_ENV=args.fault_env, CASES=HERE, LC_ALL="C")
    script = f"set -eu; . '{HERE}/lib.sh'; . '{HERE}/{name}.sh'"
    p = subprocess.run(["bash", "-c", script], cwd=scratch, env=env, capture_output=True)
    if p.returncode == SKIP:
        subprocess.run(["rm", "-rf", scratch])
        return {}
    got = {
        "stdout": masked(p.stdout, scratch),
        "stderr": masked(p.stderr, scratch),
        "exit": f"{p.returncode}\n".encode(),
        "tree": masked(tree(scratch).encode(), scratch),
        "log": masked(p.stderr, scratch),
    }
    subprocess.run(["rm", "-rf", scratch])
    return got


def shown(data):
    return "\n".join(repr(line) for line in data.splitlines(keepends=True)) + "\n"


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--kb", required=True)
    ap.add_argument("--fault-env", default="")
    ap.add_argument("--update", action="store_true")
    ap.add_argument("names", nargs="*")
    args = ap.parse_args()
    names = args.names or sorted(
        f[:-3] for f in os.listdir(HERE) if f.endswith(".sh") and f != "lib.sh")
    failed, skipped = [], 0
    for name in names:
        got = run_case(name, args)
        if not got:
            skipped += 1
            continue
        log = got.pop("log")
        for kind, data in got.items():
            path = os.path.join(HERE, f"{name}.{kind}")
            if kind == "stderr" and not os.path.exists(path):
                continue
            want = open(path, "rb").read() if os.path.exists(path) else None
            if want == data:
                continue
            if args.update:
                with open(path, "wb") as f:
                    f.write(data)
                print(f"updated {name}.{kind}")
            else:
                failed.append(name)
                print(f"--- {name}.{kind} wanted\n{shown(want or b'')}"
                      f"+++ {name}.{kind} got\n{shown(data)}")
        if name in failed:
            print(f"... {name}: stderr\n{log.decode(errors='replace')}")
    if failed:
        print(f"{len(set(failed))} of {len(names)} cases differ: {' '.join(sorted(set(failed)))}")
        return 1
    if skipped == len(names):
        print("skipped: the fault injector can not be preloaded here")
        return SKIP
    return 0


if __name__ == "__main__":
    sys.exit(main())
