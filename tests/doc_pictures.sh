#!/bin/sh
# Checks that the README's pictures are current: made anew from the sample
# with this build, each is the one in doc/pictures byte for byte.
#   tests/doc_pictures.sh HOST      (exit 77: skipped where the host writes no PNG or has no libdeflate;
#                                   QUENVALE_HOST_DEFLATE=1 says it has)
set -eu
host=$1
doc=$(cd "$(dirname "$0")/../doc" && pwd)
"$host" --version | grep -q PNG || { echo "skipped: this host writes no PNG"; exit 77; }
# The pictures are libdeflate's PNGs; zlib's hold the same pixels in other bytes.
[ "${QUENVALE_HOST_DEFLATE:-0}" = 1 ] || { echo "skipped: this host compresses PNG with zlib, not libdeflate"; exit 77; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
"$doc/make_pictures.sh" "$host" "$work"
for fresh in "$work"/*.png "$work"/*.svg; do
  name=$(basename "$fresh")
  [ -f "$doc/pictures/$name" ] || { echo "missing: doc/pictures/$name" >&2; exit 1; }
  cmp -s "$fresh" "$doc/pictures/$name" ||
    { echo "doc/pictures/$name is out of date: run doc/make_pictures.sh $host" >&2; exit 1; }
done
# The page's screenshot (page.png, page.fonts) is its browser test's to check.
[ "$(ls "$doc/pictures" | grep -v '^page\.' | wc -l)" -eq "$(ls "$work" | wc -l)" ] ||
  { echo "stale pictures in doc/pictures" >&2; exit 1; }
echo "pictures current"
