#!/bin/bash
# Runs the README's Python section as a new user pastes it, in a copy of the
# source tree with a home folder of its own: the apt-get line is checked
# (every package exists; skipped where one is not installed), the venv and
# pip lines are run, then each Python example with the venv's python, and
# the files they write are looked for.   tests/python_readme.sh SOURCE_DIR
set -euo pipefail
source=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# The section's fenced blocks, each into a file of its own: sh-1, python-2...
awk -v dir="$work" '
  /^## Python$/ { inside = 1; next }
  inside && /^## / { inside = 0 }
  inside && /^```(sh|python)$/ { kind = substr($0, 4); ++n; file = dir "/" kind "-" n; next }
  inside && /^```$/ { file = ""; next }
  file != "" { print > file }
' "$source/README.md"
ls "$work"/sh-* "$work"/python-* >/dev/null 2>&1 || { echo "no Python examples in the README" >&2; exit 1; }
missing=()
for package in $(grep -h '^sudo apt-get install' "$work"/sh-* | sed 's/^sudo apt-get install//'); do
  apt-cache show "$package" >/dev/null 2>&1 || { echo "the README installs $package, which Debian does not have" >&2; exit 1; }
  dpkg-query -W -f '${db:Status-Abbrev}' "$package" 2>/dev/null | grep -q '^ii' || missing+=("$package")
done
if [ "${#missing[@]}" -gt 0 ]; then
  echo "skipped: not installed here: ${missing[*]}"
  exit 77
fi
mkdir "$work/home" "$work/tree"
tar -C "$source" --exclude=./build --exclude=./.git --exclude='*.egg-info' -cf - . | tar -C "$work/tree" -xf -
cd "$work/tree"
export HOME="$work/home"
# Debian's python3, as on a fresh machine, whatever else is on PATH here.
export PATH="/usr/bin:/bin:$PATH"
for block in "$work"/sh-*; do
  grep -v '^sudo apt-get install' "$block" >"$block.run"
  # pip has no index to reach here: --no-index makes a fetch fail at once, not after retries.
  PIP_NO_INDEX=1 bash -euo pipefail "$block.run"
done
for block in "$work"/python-*; do
  "$HOME/.venvs/quenvale/bin/python" "$block"
done
for written in astronaut_8.png sample_flat.png sample_flat.gpl flat/astronaut.png flat/sample.bmp; do
  [ -s "$written" ] || { echo "the examples did not write $written" >&2; exit 1; }
done
echo "the README's Python section ran as written"
