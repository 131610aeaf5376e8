#!/bin/sh
# Makes the README's pictures: the bundled sample before and after the
# flatten and three other filters, and the bundled photograph at two colour
# counts, on e-ink inks and with its specks removed, as PNG (and one SVG),
# written by the host itself (a source through the flatten at tolerance 0,
# which changes no pixel).
#   doc/make_pictures.sh HOST [FOLDER]      (FOLDER: doc/pictures)
set -eu
host=$1
here=$(cd "$(dirname "$0")" && pwd)
folder=${2:-$here/pictures}
sample=$here/../samples/sample.bmp
mkdir -p "$folder"
"$host" -q --tolerance 0 "$sample" "$folder/sample.png"
for filter in flatten blur threshold darkest; do
  "$host" -q --filter "$filter" "$sample" "$folder/$filter.png"
done
# A photograph at two colour counts, by its founders and by its means.
photo=$here/../samples/astronaut.png
"$host" -q --tolerance 0 "$photo" "$folder/astronaut.png"
for colours in 8 32; do
  "$host" -q --colors "$colours" "$photo" "$folder/astronaut-$colours.png"
done
"$host" -q --colors 8 --first-fit "$photo" "$folder/astronaut-8-first-fit.png"
"$host" -q --colors 8 --fill mean "$photo" "$folder/astronaut-8-mean.png"
# The photograph on a seven-colour e-ink display's inks.
"$host" -q --remap "$here/eink.gpl" "$photo" "$folder/astronaut-eink.png"
# At twelve colours, before and after speck removal, and the latter as an SVG.
"$host" -q --colors 12 "$photo" "$folder/astronaut-12.png"
"$host" -q --colors 12 --min-region 25 "$photo" "$folder/astronaut-12-specks.png"
"$host" -q --colors 12 --min-region 25 "$photo" "$folder/astronaut-12-specks.svg"
