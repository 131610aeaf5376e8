#!/bin/sh
# Checks that the README's pictures are current: made anew from the sample
# with this build, each has the same pixels as the one in doc/pictures.
#   tests/doc_pictures.sh HOST      (exit 77: skipped without ImageMagick)
set -eu
host=$1
doc=$(cd "$(dirname "$0")/../doc" && pwd)
command -v convert >/dev/null 2>&1 || { echo "skipped: no ImageMagick"; exit 77; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
"$doc/make_pictures.sh" "$host" "$work"
for fresh in "$work"/*.png; do
  name=$(basename "$fresh")
  [ -f "$doc/pictures/$name" ] || { echo "missing: doc/pictures/$name" >&2; exit 1; }
  convert "$fresh" rgb:"$work/fresh.rgb"
  convert "$doc/pictures/$name" rgb:"$work/stored.rgb"
  cmp -s "$work/fresh.rgb" "$work/stored.rgb" ||
    { echo "doc/pictures/$name is out of date: run doc/make_pictures.sh $host" >&2; exit 1; }
done
[ "$(ls "$doc/pictures" | wc -l)" -eq "$(ls "$work"/*.png | wc -l)" ] || { echo "stale pictures in doc/pictures" >&2; exit 1; }
echo "pictures current"
