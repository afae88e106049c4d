#!/usr/bin/env python3
"""Fails when a file of a library of src/ includes a header of a library it
may not use.

The libraries and what each may use are read from the tessel_library() calls
of the top CMakeLists.txt; a library may include its own headers and those of
every library it uses, directly or through another. Prints each wrong-way
include as path:line: text.
"""
import os
import re
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
CALL = re.compile(r"tessel_library\(\s*(\w+)\s+([\w/]+)(.*?)\)", re.S)
INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"')


def libraries():
    with open(os.path.join(ROOT, "CMakeLists.txt"), encoding="utf-8") as f:
        text = f.read()
    libs = {}
    for name, folder, rest in CALL.findall(text):
        uses = re.search(r"USES\s+(.*?)(?:PACKAGES|$)", rest, re.S)
        libs[name] = (folder, uses.group(1).split() if uses else [])
    return libs


def closure(libs, name, seen=None):
    seen = set() if seen is None else seen
    if name in seen:
        return seen
    seen.add(name)
    for used in libs[name][1]:
        closure(libs, used, seen)
    return seen


def main():
    libs = libraries()
    if not libs:
        print("check_includes: no tessel_library() calls found", file=sys.stderr)
        return 2
    # Longest folder first, so that "core/net/x.h" names core/net, not core.
    folders = sorted(((folder, name) for name, (folder, _) in libs.items()), key=lambda p: -len(p[0]))
    wrong = []
    for name, (folder, _) in libs.items():
        allowed = {libs[n][0] for n in closure(libs, name)}
        src = os.path.join(ROOT, "src", folder)
        for entry in sorted(os.listdir(src)):
            if not entry.endswith((".cpp", ".h")):
                continue
            path = os.path.join(src, entry)
            with open(path, encoding="utf-8") as f:
                for number, line in enumerate(f, 1):
                    m = INCLUDE.match(line)
                    if not m:
                        continue
                    target = next((fo for fo, _ in folders if m.group(1).startswith(fo + "/")), None)
                    if target is not None and target not in allowed:
                        wrong.append(f"{os.path.relpath(path, ROOT)}:{number}: {line.strip()}")
    for w in wrong:
        print(w)
    if wrong:
        print(f"check_includes: {len(wrong)} include(s) into a library the including one may not use",
              file=sys.stderr)
        return 1
    print(f"check_includes: {len(libs)} libraries, every include goes the right way")
    return 0


if __name__ == "__main__":
    sys.exit(main())
