#!/usr/bin/env python3
"""Fails when a file under src/ includes a header from a folder above its own.

The folders, bottom to top:
  core     index structures and shared pieces (record files, ids, bitmaps, numeric index, cells)
  filter   the filter language over the metadata indexes
  spatial  the searches; they may use filter, since a search narrows its spatial candidates by
           the filter lazily, inside the search (filter never includes spatial)
  persist  the log, the snapshot, open and vacuum's file protocol
  lib      the surface and the store
"""
import pathlib
import re
import sys

LEVEL = {"core": 0, "filter": 1, "spatial": 2, "persist": 3, "lib": 4}
INCLUDE = re.compile(r'^\s*#\s*include\s+"([^/"]+)/[^"]+"', re.M)


def main() -> int:
    src = pathlib.Path(__file__).resolve().parent.parent / "src"
    bad = []
    for path in sorted(src.rglob("*")):
        if path.suffix not in (".h", ".cpp"):
            continue
        own = path.relative_to(src).parts[0]
        if own not in LEVEL:
            bad.append(f"{path.relative_to(src)}: folder {own}/ has no place in the order")
            continue
        for m in INCLUDE.finditer(path.read_text()):
            folder = m.group(1)
            line = path.read_text().count("\n", 0, m.start()) + 1
            if folder not in LEVEL:
                bad.append(f"src/{path.relative_to(src)}:{line}: includes from unknown folder {folder}/")
            elif LEVEL[folder] > LEVEL[own]:
                bad.append(f"src/{path.relative_to(src)}:{line}: {own}/ includes {m.group(1)}/ above it")
    for b in bad:
        print(b, file=sys.stderr)
    if bad:
        return 1
    print(f"layers: no include runs upward ({', '.join(LEVEL)})")
    return 0


if __name__ == "__main__":
    sys.exit(main())
