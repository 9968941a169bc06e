#!/usr/bin/env python3
"""Lists the longest functions of the product code (lines from the opening
brace's line to the closing brace), longest first.

    scripts/function-lengths.py [COUNT] [ROOT]

A rough count by braces at the top level of each file (strings, characters
and line comments set aside), enough to see which functions have grown past
about 60 lines.
"""
import os
import re
import sys

count = int(sys.argv[1]) if len(sys.argv) > 1 else 15
root = sys.argv[2] if len(sys.argv) > 2 else os.path.join(os.path.dirname(__file__), "..")
found = []
for folder in ["platform", "file", "xml", "image", "startup", "app", "tools"]:
    for dirpath, _, names in os.walk(os.path.join(root, folder)):
        for name in names:
            if not name.endswith(".cpp"):
                continue
            path = os.path.join(dirpath, name)
            lines = open(path, errors="replace").read().split("\n")
            depth, start, title = 0, None, ""
            namespaces = 0  # open namespace braces: functions start at that depth
            for i, line in enumerate(lines):
                code = re.sub(r"//.*", "", line)
                code = re.sub(r'"([^"\\]|\\.)*"', '""', code)
                code = re.sub(r"'([^'\\]|\\.)*'", "''", code)
                head = code.strip()
                if depth == namespaces and head.startswith("namespace") and "{" in code:
                    namespaces += 1
                    depth += 1
                    continue
                if depth == namespaces and "{" in code and not head.startswith(("struct", "class", "enum", "extern")):
                    if "(" in code or (i and "(" in lines[i - 1]):
                        start, title = i, (head if "(" in head else lines[i - 1].strip())[:80]
                for ch in code:
                    if ch == "{":
                        depth += 1
                    elif ch == "}":
                        depth -= 1
                        if depth < namespaces:
                            namespaces = depth
                        elif depth == namespaces and start is not None:
                            found.append((i - start + 1, os.path.relpath(path, root), title))
                            start = None
for n, path, title in sorted(found, reverse=True)[:count]:
    print(f"{n:5}  {path:34} {title}")
