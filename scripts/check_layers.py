#!/usr/bin/env python3
"""Checks that every #include "folder/..." in src/ follows the layer order of src/layers.txt.

A file may include headers of its own folder and of the folders on earlier lines; an include of a
later line (up) or of another folder on the same line (sideways) is reported with file and line,
and so is a folder that the list does not name. Exits 1 when anything is reported.
"""
import pathlib
import re
import sys

ROOT = pathlib.Path(__file__).resolve().parent.parent
SRC = ROOT / "src"
INCLUDE = re.compile(r'^\s*#\s*include\s+"([^/"]+)/[^"]+"')


def read_layers():
    ranks = {}
    for rank, line in enumerate(
        l.split() for l in (SRC / "layers.txt").read_text().splitlines()
        if l.strip() and not l.lstrip().startswith("#")
    ):
        for folder in line:
            ranks[folder] = rank
    return ranks


def main():
    ranks = read_layers()
    faults = []
    for path in sorted(SRC.rglob("*")):
        if path.suffix not in (".h", ".cpp") or not path.is_file():
            continue
        shown = path.relative_to(ROOT)
        own = path.relative_to(SRC).parts[0]
        if own not in ranks:
            faults.append(f"{shown}: folder {own} is not a layer of src/layers.txt")
            continue
        for number, text in enumerate(path.read_text(errors="replace").splitlines(), 1):
            match = INCLUDE.match(text)
            if not match or match.group(1) == own:
                continue
            target = match.group(1)
            if target not in ranks:
                faults.append(f"{shown}:{number}: includes {target}/, which is no layer")
            elif ranks[target] > ranks[own]:
                faults.append(f"{shown}:{number}: {own} includes {target}/, a higher layer")
            elif ranks[target] == ranks[own]:
                faults.append(f"{shown}:{number}: {own} includes {target}/, a layer beside it")
    for fault in faults:
        print(fault)
    if faults:
        print(f"{len(faults)} include(s) break the layer order of src/layers.txt")
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
