#!/bin/sh
# Runs the man page's EXAMPLES as written, in a folder holding the bundled
# sample under the names they use; a line that needs ImageMagick is skipped
# where it is not installed.   tests/man_examples.sh HOST MANPAGE SAMPLE
set -eu
host=$1
page=$2
sample=$3
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir "$work/bin"
ln -s "$(cd "$(dirname "$host")" && pwd)/$(basename "$host")" "$work/bin/quenvale"
cp "$sample" "$work/photo.bmp"
cp "$sample" "$work/scan.bmp"
# The PNG and JPEG examples, where the host writes PNG and ImageMagick can
# make the JPEG.
pictures=no
if "$host" --version | grep -q PNG && command -v convert >/dev/null 2>&1; then
  pictures=yes
  "$host" --format png "$sample" "$work/photo.png"
  convert "$sample" "$work/photo.jpg"
fi
# The lines between .nf and .fi after .SH EXAMPLES, with roff's \- as -.
sed -n '/^\.SH EXAMPLES/,/^\.fi/p' "$page" | sed -e '1,2d' -e '$d' -e 's/\\-/-/g' >"$work/examples"
[ -s "$work/examples" ] || { echo "no examples found in $page" >&2; exit 1; }
count=0
while IFS= read -r example; do
  case "$example" in
    *.png*|*.jpg*) [ "$pictures" = yes ] || { echo "skipped (no PNG here): $example"; continue; } ;;
  esac
  case "$example" in
    *convert*) command -v convert >/dev/null 2>&1 || { echo "skipped (no ImageMagick): $example"; continue; } ;;
  esac
  echo "\$ $example"
  if ! (cd "$work" && PATH="$work/bin:$PATH" sh -c "$example"); then
    echo "FAILED: $example" >&2
    exit 1
  fi
  count=$((count + 1))
done <"$work/examples"
ls "$work/flat/photo.bmp" "$work/photo_flat.bmp" "$work/scan_flat.bmp" >/dev/null
echo "$count examples ran"
