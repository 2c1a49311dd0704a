#!/usr/bin/env python3
"""Fails when a folder of the updater includes a header of a folder at its own level or above it.

The layers, top to bottom: shell and the package tool (pack); update; download and archive; fs and status. A folder may include its own
headers and those of the layers below it, never a sibling's or a higher one's."""
import pathlib
import re
import sys

LAYER = {"shell": 3, "pack": 3, "update": 2, "download": 1, "archive": 1, "fs": 0, "status": 0}
INCLUDE = re.compile(r'^\s*#\s*include\s*"([^/"]+)/[^"]+"', re.MULTILINE)

root = pathlib.Path(sys.argv[1])
faults = []
for folder, level in LAYER.items():
    for source in sorted((root / folder).rglob("*")):
        if source.suffix not in (".h", ".cpp", ".in"):
            continue
        for included in INCLUDE.findall(source.read_text(encoding="utf-8", errors="replace")):
            if included in LAYER and included != folder and LAYER[included] >= level:
                faults.append(f"{source.relative_to(root)} includes a header of {included}/")
for fault in faults:
    print(fault)
print(f"{len(faults)} wrong-way includes" if faults else "every include points down")
sys.exit(1 if faults else 0)
