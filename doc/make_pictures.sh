#!/bin/sh
# Makes the README's pictures: the bundled sample before and after the
# flatten and three other filters, as PNG, written by the host itself (the
# sample through the flatten at tolerance 0, which changes no pixel).
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
