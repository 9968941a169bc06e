#!/usr/bin/env python3
"""Prints which folder includes which, and fails on an include that points up.

The product code is layered; each folder may include its own headers and
those of the folders below it, never above or beside:

    pack                 the package tool (builds on the updater's own code)
    app, tools           the updater and the image tool
    startup              library start-up (wires file and platform together)
    xml, image           the XML dialect, the image library
    file                 file objects, paths, text, archives, file server, copier
    platform             heap, diagnostics, limits, threads, system calls

tests/, bench/ and fuzz/ sit on top and may include anything.
Usage: scripts/check-layers.py [ROOT]
"""
import os
import re
import sys

LAYER = {"platform": 0, "file": 1, "xml": 2, "image": 2, "startup": 2, "resources": 3, "app": 4, "tools": 4, "pack": 5}
INCLUDE = re.compile(r'^\s*#\s*include\s+"([a-z]+)/')

root = sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), "..")
counts = {}
wrong = []
for folder, rank in LAYER.items():
    base = os.path.join(root, folder)
    for dirpath, _, names in os.walk(base):
        for name in sorted(names):
            if not name.endswith((".cpp", ".h", ".c", ".rc")):
                continue
            path = os.path.join(dirpath, name)
            with open(path, errors="replace") as f:
                for number, line in enumerate(f, 1):
                    m = INCLUDE.match(line)
                    if not m or m.group(1) not in LAYER:
                        continue
                    target = m.group(1)
                    counts[(folder, target)] = counts.get((folder, target), 0) + 1
                    if target != folder and LAYER[target] >= rank:
                        wrong.append(f"{os.path.relpath(path, root)}:{number}: {folder} includes {target}")

for (source, target), n in sorted(counts.items(), key=lambda kv: (-LAYER[kv[0][0]], kv[0])):
    if source != target:
        print(f"  {source:9} -> {target:9} {n:4}")
if wrong:
    print("includes that point up or sideways:")
    for w in wrong:
        print("  " + w)
    sys.exit(1)
print("layers: every include points down")
