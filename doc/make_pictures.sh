#!/bin/sh
# Makes the README's pictures: the bundled sample before and after the
# flatten and three other filters, as PNG (ImageMagick converts them).
#   doc/make_pictures.sh HOST [FOLDER]      (FOLDER: doc/pictures)
set -eu
host=$1
here=$(cd "$(dirname "$0")" && pwd)
folder=${2:-$here/pictures}
sample=$here/../samples/sample.bmp
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$folder"
# No timestamps or other chunks that would change from one run to the next.
png() { convert "$1" -strip -define png:exclude-chunks=date,time "$2"; }
png "$sample" "$folder/sample.png"
for filter in flatten blur threshold darkest; do
  "$host" -q --filter "$filter" "$sample" "$work/$filter.bmp"
  png "$work/$filter.bmp" "$folder/$filter.png"
done
