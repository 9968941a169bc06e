#!/usr/bin/env python3
"""Prints a C string literal holding the code page 932 bytes of a text.

The library's own messages are Japanese texts kept as code page 932 bytes, so
they are written in the sources as escaped byte strings. Use this to make or
check one:  scripts/cp932.py 'ヒープを破棄しました。'
"""
import sys

for text in sys.argv[1:]:
    data = text.encode("cp932")
    out = []
    prev_hex = False
    for b in data:
        ch = chr(b)
        if 0x20 <= b < 0x7F and ch not in '"\\' and not (prev_hex and ch in "0123456789abcdefABCDEF"):
            out.append(ch)
            prev_hex = False
        else:
            out.append("\\x%02x" % b)
            prev_hex = True
    print('"' + "".join(out) + '"')
