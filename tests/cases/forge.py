#!/usr/bin/env python3
"""Writes a package by hand, for trailers no make would write:

  forge.py OUT DATA [FIELD=VALUE ...]

DATA is the member bytes (a file). FIELD is count, meta, header or feature,
or SLOT.type|version|size|offset|md5|name for slot 0..49; VALUE takes
Python escapes (\\r, \\n, \\x1b). md5=auto is the digest of the slot's
bytes in DATA. Unnamed fields are NUL; header defaults to 24160, meta to 1.0.
"""
import codecs
import hashlib
import re
import sys

WIDTHS = [("type", 32), ("version", 64), ("size", 32), ("offset", 32), ("md5", 64), ("name", 256)]


def scramble(data):
    return bytes(b + 26 if 33 <= b <= 100 else b - 68 if 101 <= b <= 126 else b for b in data)


def main():
    out, data = sys.argv[1], open(sys.argv[2], "rb").read()
    fields = {"meta": b"1.0", "header": b"24160"}
    for arg in sys.argv[3:]:
        key, value = arg.split("=", 1)
        fields[key] = codecs.escape_decode(value.encode())[0]
    for key, value in list(fields.items()):
        if key.endswith(".md5") and value == b"auto":
            slot = key.split(".")[0]
            size, offset = (int(re.match(rb"\s*([-+]?\d*)", fields[slot + k]).group(1) or 0)
                            for k in (".size", ".offset"))
            fields[key] = hashlib.md5(data[offset:offset + size]).hexdigest().encode()

    def field(key, width):
        value = fields.pop(key, b"")
        assert len(value) <= width, key
        return value + bytes(width - len(value))

    trailer = field("count", 32)
    for i in range(50):
        trailer += b"".join(field(f"{i}.{name}", width) for name, width in WIDTHS)
    trailer += field("meta", 32) + field("header", 32) + field("feature", 64)
    assert not fields, fields
    open(out, "wb").write(scramble(data + trailer))


main()
