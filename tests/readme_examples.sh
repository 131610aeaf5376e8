#!/bin/sh
# Runs the README's shell examples as written: each "$ " transcript with the
# output it shows, and the command lines of the command line's sections, in
# a folder holding pictures under the names they use. A line that needs a
# program not installed here (GNU parallel) is skipped, saying so.
#   tests/readme_examples.sh HOST README SAMPLE
set -eu
host=$1
readme=$2
sample=$3
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir "$work/bin" "$work/scans"
ln -s "$(cd "$(dirname "$host")" && pwd)/$(basename "$host")" "$work/bin/quenvale"
if ! "$host" --version | grep -q PNG; then
  echo "skipped: this host writes BMP only, and the examples use PNG"
  exit 77
fi
cp "$sample" "$work/scan.bmp"
cp "$sample" "$work/scans/a.bmp"
cp "$sample" "$work/scans/b c.bmp"
"$host" --format png "$sample" "$work/photo.png"
"$host" --format png "$sample" "$work/logo.png"
if command -v cjpeg >/dev/null 2>&1; then
  "$host" --format bmp "$sample" "$work/photo.bmp" && cjpeg -outfile "$work/photo.jpg" "$work/photo.bmp"
else
  echo "skipped: no cjpeg (libjpeg-turbo-progs) to make photo.jpg"
  exit 77
fi
printf 'These notes are text, long enough to be taken for no header at all.\n' >"$work/notes.txt"
printf 'II*\000\010\000\000\000' >"$work/scan.tif"

count=0
run() {  # COMMAND: runs it in the folder with quenvale on the PATH, its output in $work/said
  (cd "$work" && PATH="$work/bin:$PATH" sh -c "$1") >"$work/said" 2>&1
}

# The transcripts: "    $ COMMAND" and the lines it prints below it.
awk '
  /^    \$ / { if (command != "") print command "\t" shown; command = substr($0, 7); shown = ""; next }
  /^    / && command != "" { shown = shown (shown == "" ? "" : "\\n") substr($0, 5); next }
  { if (command != "") print command "\t" shown; command = "" }
  END { if (command != "") print command "\t" shown }
' "$readme" >"$work/transcripts"
[ -s "$work/transcripts" ] || { echo "no transcripts found in $readme" >&2; exit 1; }
while IFS="$(printf '\t')" read -r command shown; do
  echo "\$ $command"
  run "$command" || true
  expected=$(printf '%b' "$shown")
  if [ "$(cat "$work/said")" != "$expected" ]; then
    printf 'FAILED: %s\nprinted:\n%s\nthe README shows:\n%s\n' "$command" "$(cat "$work/said")" "$expected" >&2
    exit 1
  fi
  count=$((count + 1))
done <"$work/transcripts"

# The command lines: those that run the host, as the README gives them.
grep -E '^    (\./build/default/tools/quenvale |quenvale |mkdir -p |find |parallel |cat |printf )' "$readme" |
  grep -v '\[options\]' | sed -e 's/^    //' -e 's#\./build/default/tools/quenvale#quenvale#' >"$work/commands"
while IFS= read -r command; do
  case "$command" in
    *parallel*) command -v parallel >/dev/null 2>&1 || { echo "skipped (no GNU parallel): $command"; continue; } ;;
  esac
  echo "\$ $command"
  if ! run "$command"; then
    printf 'FAILED: %s\n%s\n' "$command" "$(cat "$work/said")" >&2
    exit 1
  fi
  count=$((count + 1))
done <"$work/commands"
ls "$work/masks/logo6.00-"*.png "$work/inks.gpl" "$work/flat/a.bmp" "$work/photo16.png" >/dev/null
echo "$count examples ran"
