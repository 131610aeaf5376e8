#!/usr/bin/env python3
"""The folders' layers: each includes only its own headers and those of the
layers below it, so the layering the README draws has no cycle."""
import pathlib
import re
import sys

# Lowest first; a folder may include from itself and those before it.
LAYERS = ["src/base", "src/bmp", "src/picture", "src/ops", "src/call",
          "tools/sample", "tools/codecs", "tools/app", "tools/cli"]
ROOTS = {"src": "src", "tools": "tools"}

root = pathlib.Path(sys.argv[1] if len(sys.argv) > 1 else ".")
faults = []
for rank, layer in enumerate(LAYERS):
    for path in sorted((root / layer).glob("*.[ch]*")):
        for number, line in enumerate(path.read_text().splitlines(), 1):
            match = re.match(r'#include "([^"]+)"', line)
            if not match or "/" not in match.group(1):
                continue
            folder = match.group(1).rsplit("/", 1)[0]
            # A header named through its folder lies under src/ or tools/.
            owner = next((f"{top}/{folder}" for top in ROOTS if (root / top / match.group(1)).exists()), None)
            if owner is None:
                faults.append(f"{path.relative_to(root)}:{number}: no such header {match.group(1)}")
            elif owner not in LAYERS[: rank + 1]:
                faults.append(f"{path.relative_to(root)}:{number}: {layer} includes {owner}, a layer above it")
        if path.suffix in (".h", ".cpp") and not path.read_text().startswith("//"):
            faults.append(f"{path.relative_to(root)}: opens with no sentence of what it holds")
print("\n".join(faults) or f"{len(LAYERS)} layers, each including only its own and those below")
sys.exit(1 if faults else 0)
