"""Reads --progress json lines from stdin and prints what a program would
show: each member done and the end. Fails on a line that does not parse,
bytes that go back or past the size, or anything after the end line."""
import json
import sys

seen, ended = {}, False
for raw in sys.stdin:
    if not raw.startswith("{"):
        continue  # the notes and failure lines for people
    assert not ended, "a line after the end"
    line = json.loads(raw)
    if line["event"] == "end":
        print(f"end {line['status']} {line.get('message', '')}".rstrip())
        ended = True
        continue
    key = (line["phase"], line["member"])
    assert line["done"] >= seen.get(key, 0), raw
    assert line["size"] is None or 0 <= line["done"] <= line["size"], raw
    assert isinstance(line["rate"], int) and line["rate"] >= 0, raw
    seen[key] = line["done"]
    if line["event"] == "done":
        print(f"{line['phase']} {line['member']} {line['done']} of {line['size']}")
        seen[key] = float("inf")  # no line of it after its done line
assert ended, "no end line"
