#!/usr/bin/env python3
"""Mutation testing for kestrelbind: how many planted faults does the suite catch?

Plants one small fault at a time in src/**/*.cc, builds the mutant
incrementally in a scratch copy of the tree and runs the test suite there.
A mutant the suite fails on (or that hangs) is killed; one that does not
build is invalid and not counted. Run it through tools/mutation.sh.
"""
import argparse
import json
import os
import random
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def mask(text):
    """The text with comments, string and character literals blanked out
    (same length, line ends kept), so that rules never touch them."""
    out = list(text)
    i, n = 0, len(text)
    while i < n:
        c = text[i]
        if text.startswith("//", i):
            j = text.find("\n", i)
            j = n if j < 0 else j
        elif text.startswith("/*", i):
            j = text.find("*/", i + 2)
            j = n if j < 0 else j + 2
        elif c == '"' or c == "'":
            j = i + 1
            while j < n and text[j] != c:
                j += 2 if text[j] == "\\" else 1
            j += 1
        elif text.startswith("#include", i):
            j = text.find("\n", i)
        else:
            i += 1
            continue
        for k in range(i, min(j, n)):
            if out[k] != "\n":
                out[k] = " "
        i = j
    return "".join(out)


SWAPS = {"==": "!=", "!=": "==", "<=": "<", ">=": ">", "<": "<=", ">": ">=",
         "&&": "||", "||": "&&"}
CALL_LINE = re.compile(r"^\s*[A-Za-z_][\w:.\->\[\]]*\s*\(.*\);\s*$")
NOT_CALLS = re.compile(r"^\s*(return|throw|if|while|for|switch|case|else|delete|new|using)\b")


def match_paren(masked, open_at):
    depth = 0
    for k in range(open_at, len(masked)):
        if masked[k] == "(":
            depth += 1
        elif masked[k] == ")":
            depth -= 1
            if depth == 0:
                return k
    return -1


def mutants_of(path, text):
    """Every mutant of one file as (path, start, end, replacement, rule)."""
    m = mask(text)
    found = []

    def add(start, end, repl, rule):
        found.append((path, start, end, repl, rule))

    for op in re.finditer(r"(?<=\s)(==|!=|<=|>=|<|>|&&|\|\|)(?=\s)", m):
        kind = "logical" if op.group(1) in ("&&", "||") else "comparison"
        add(op.start(), op.end(), SWAPS[op.group(1)], kind)
    for neg in re.finditer(r"!(?=[\w(*])", m):
        add(neg.start(), neg.end(), "", "negation")
    for num in re.finditer(r"(?<![\w.])(\d+)(?![\w.])", m):
        v = int(num.group(1))
        add(num.start(), num.end(), str(v + 1), "constant")
        if v > 0:
            add(num.start(), num.end(), str(v - 1), "constant")
    for ret in re.finditer(r"\breturn (true|false);", m):
        word = ret.start(1)
        add(word, ret.end(1), "false" if ret.group(1) == "true" else "true", "return")
    for cond in re.finditer(r"\bif \(", m):
        close = match_paren(m, cond.end() - 1)
        if close > 0:
            add(cond.end(), close, "true", "condition")
            add(cond.end(), close, "false", "condition")
    at = 0
    for line in m.split("\n"):
        if CALL_LINE.match(line) and not NOT_CALLS.match(line):
            head = line.strip().split("(", 1)[0]
            if " " not in head and line.count("(") == line.count(")"):
                add(at, at + len(line), "", "call")
        at += len(line) + 1
    return found


def all_mutants(root):
    out = []
    for dirpath, _, files in sorted(os.walk(os.path.join(root, "src"))):
        for f in sorted(files):
            if f.endswith(".cc"):
                rel = os.path.relpath(os.path.join(dirpath, f), root)
                with open(os.path.join(root, rel)) as fh:
                    out.extend(mutants_of(rel, fh.read()))
    return out


def describe(root, mutant):
    path, start, end, repl, rule = mutant
    with open(os.path.join(root, path)) as fh:
        text = fh.read()
    line = text.count("\n", 0, start) + 1
    old = " ".join(text[start:end].split())
    return f"{path}:{line} {rule}: '{old[:60]}' -> '{repl}'"


def run(cmd, cwd, env=None, timeout=None, output=None):
    """Runs cmd in a process group of its own, so that a mutant that hangs
    leaves nothing running once its time is up. With output (a list), its
    stdout is appended there."""
    p = subprocess.Popen(cmd, cwd=cwd, env=env, start_new_session=True, text=True,
                         stdout=subprocess.PIPE if output is not None else subprocess.DEVNULL,
                         stderr=subprocess.DEVNULL)
    try:
        out, _ = p.communicate(timeout=timeout)
        if output is not None:
            output.append(out)
        return p.returncode
    except subprocess.TimeoutExpired:
        os.killpg(p.pid, signal.SIGKILL)
        p.wait()
        raise


def unmount_below(scratch):
    """Filesystems that a killed test left mounted in its scratch space."""
    with open("/proc/mounts") as fh:
        points = [line.split()[1] for line in fh]
    for point in points:
        if point.startswith(scratch + "/"):
            subprocess.run(["umount", "-l", point], stderr=subprocess.DEVNULL)


def save(root, mutants, path):
    """Writes the sample so that it can be replayed on a later tree: each
    mutant by the text of its line, not by its offset."""
    with open(path, "w") as out:
        for file, start, end, repl, rule in mutants:
            with open(os.path.join(root, file)) as fh:
                text = fh.read()
            begin = text.rfind("\n", 0, start) + 1
            stop = text.find("\n", end)
            stop = len(text) if stop < 0 else stop
            out.write(json.dumps({"file": file, "line": text[begin:stop],
                                  "lineno": text.count("\n", 0, start) + 1,
                                  "col": start - begin, "old": text[start:end],
                                  "new": repl, "rule": rule}) + "\n")


def replay(root, path):
    """The saved mutants that still apply to the tree: their line is there
    unchanged (the nearest such line when it occurs more than once)."""
    found, gone = [], 0
    for n, entry in enumerate(map(json.loads, open(path)), 1):
        try:
            with open(os.path.join(root, entry["file"])) as fh:
                text = fh.read()
        except OSError:
            gone += 1
            continue
        lines = text.split("\n")
        hits = [i for i, l in enumerate(lines) if l == entry["line"]]
        if not hits:
            gone += 1
            continue
        i = min(hits, key=lambda h: abs(h + 1 - entry["lineno"]))
        start = sum(len(l) + 1 for l in lines[:i]) + entry["col"]
        found.append((entry["file"], start, start + len(entry["old"]), entry["new"],
                      f"{entry['rule']} (sample #{n})"))
    return found, gone


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--sample", type=int, default=150, help="mutants to try (0: all)")
    ap.add_argument("--seed", type=int, default=1, help="seed of the sample")
    ap.add_argument("--timeout", type=int, default=300, help="seconds a suite may take")
    ap.add_argument("--list", action="store_true", help="print the sample and stop")
    ap.add_argument("--keep", action="store_true", help="keep the scratch copy")
    ap.add_argument("--save", metavar="FILE", help="write the sample to FILE")
    ap.add_argument("--replay", metavar="FILE",
                    help="try the sample saved in FILE, where its lines are still in src")
    ap.add_argument("--matrix", action="store_true",
                    help="run the whole suite on every mutant and name the tests that fail")
    args = ap.parse_args()

    if args.replay:
        mutants, gone = replay(ROOT, args.replay)
        print(f"{len(mutants)} mutants replayed from {args.replay}, {gone} gone with their code",
              flush=True)
    else:
        mutants = all_mutants(ROOT)
        if 0 < args.sample < len(mutants):
            mutants = random.Random(args.seed).sample(mutants, args.sample)
        print(f"{len(mutants)} mutants (seed {args.seed})", flush=True)
    if args.save:
        save(ROOT, mutants, args.save)
    # Described now, from the tree as it is: the source may change during the run.
    text_of = {mu: describe(ROOT, mu) for mu in mutants}
    if args.list:
        for mu in mutants:
            print(" ", text_of[mu])
        return 0

    scratch = tempfile.mkdtemp(prefix="kbmutation.")
    os.chmod(scratch, 0o711)  # the trust tests act as an unprivileged user inside
    copy = os.path.join(scratch, "tree")
    tracked = subprocess.run(["git", "ls-files", "-co", "--exclude-standard"], cwd=ROOT,
                             capture_output=True, text=True, check=True).stdout.split("\n")
    for rel in filter(None, tracked):
        if os.path.isfile(os.path.join(ROOT, rel)):
            os.makedirs(os.path.dirname(os.path.join(copy, rel)), exist_ok=True)
            shutil.copy2(os.path.join(ROOT, rel), os.path.join(copy, rel))
    env = dict(os.environ, TMPDIR=tempfile.mkdtemp(dir=scratch))
    os.chmod(env["TMPDIR"], 0o711)
    build = ["cmake", "--build", "build/release"]
    suite = ["ctest", "--test-dir", "build/release", "-j2"]
    if not args.matrix:
        suite.append("--stop-on-failure")

    print("building the unmutated tree", flush=True)
    if (run(["cmake", "--preset", "release", "-DKESTRELBIND_BENCH=OFF"], copy) != 0
            or run(build, copy) != 0 or run(suite, copy, env) != 0):
        print("the unmutated tree does not build or pass its suite", file=sys.stderr)
        return 1

    killed, survived, invalid = [], [], []
    current = {}

    def restore(*_):
        for path, text in current.items():
            with open(os.path.join(copy, path), "w") as fh:
                fh.write(text)
        current.clear()

    signal.signal(signal.SIGTERM, lambda *a: (restore(), sys.exit(1)))
    try:
        for k, mu in enumerate(mutants, 1):
            path, start, end, repl, _ = mu
            full = os.path.join(copy, path)
            with open(full) as fh:
                text = fh.read()
            current[path] = text
            with open(full, "w") as fh:
                fh.write(text[:start] + repl + text[end:])
            t0 = time.time()
            try:
                if run(build, copy) != 0:
                    verdict, bucket = "invalid", invalid
                else:
                    # A fresh private TMPDIR for each run of the suite.
                    env["TMPDIR"] = tempfile.mkdtemp(dir=scratch)
                    os.chmod(env["TMPDIR"], 0o711)
                    output = []
                    try:
                        failed = run(suite, copy, env, args.timeout, output) != 0
                    except subprocess.TimeoutExpired:
                        failed, output = True, ["(timed out)"]
                    verdict, bucket = ("killed", killed) if failed else ("SURVIVED", survived)
                    if args.matrix and failed:
                        names = re.findall(r"^\s*\d+ - (\S+) \(", "".join(output), re.M)
                        verdict += " by " + (" ".join(names) or "".join(output)[-40:].strip())
            finally:
                restore()
                unmount_below(scratch)
            bucket.append(mu)
            print(f"[{k}/{len(mutants)}] {verdict.split(' by ')[0]:8} {time.time() - t0:5.1f}s "
                  f"{text_of[mu]}" + (f" <- {verdict.split(' by ', 1)[1]}" if " by " in verdict
                                      else ""), flush=True)
    finally:
        restore()
        if not args.keep:
            shutil.rmtree(scratch, ignore_errors=True)

    print("\nsurvivors:")
    for mu in survived:
        print(" ", text_of[mu])
    valid = len(killed) + len(survived)
    pct = 100.0 * len(killed) / valid if valid else 0.0
    print(f"\nscore: {len(killed)} killed of {valid} valid mutants ({pct:.1f}%), "
          f"{len(invalid)} invalid, seed {args.seed}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
