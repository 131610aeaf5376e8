#!/usr/bin/env bash
# Seeds of the pictures target, each behind the byte that chooses CRC repair
# and the filter (fuzz/pictures_fuzz.cpp): PNGs of each colour type and
# JPEGs made from the sample by ImageMagick, WebPs by cwebp, a JPEG with EXIF and an ICC
# profile in its markers, and a few bitmaps to be made into PNG.
#   fuzz/picture_seeds.sh BITMAP_SEEDS OUT
set -euo pipefail
cd "$(dirname "$0")/.."
bitmaps=$1
out=$2
raw=$(mktemp -d)
magick=$(command -v /usr/bin/convert || command -v convert)
"$magick" samples/sample.bmp -resize 24x16 "$raw/rgb.png"
for form in PNG8:palette.png PNG48:rgb16.png PNG64:rgba16.png; do
  "$magick" "$raw/rgb.png" "${form%%:*}:$raw/${form#*:}"
done
"$magick" "$raw/rgb.png" -colorspace gray -depth 2 "$raw/grey2.png"
"$magick" "$raw/rgb.png" -interlace PNG "$raw/interlaced.png"
"$magick" "$raw/rgb.png" "$raw/colour.jpg"
"$magick" "$raw/rgb.png" -colorspace gray "$raw/grey.jpg"
"$magick" "$raw/rgb.png" -interlace JPEG "$raw/progressive.jpg"
if command -v cwebp >/dev/null; then
  cwebp -quiet -lossless "$raw/rgb.png" -o "$raw/lossless.webp"
  cwebp -quiet -q 80 "$raw/rgb.png" -o "$raw/lossy.webp"
fi
for name in rle4.bmp rle8.bmp pal4-h40.bmp bf16-f800-v5.bmp; do
  cp "$bitmaps/$name" "$raw/"
done
python3 - "$raw" "$out" <<'PY'
import os, struct, sys
raw, out = sys.argv[1], sys.argv[2]
os.makedirs(out)
# EXIF (a TIFF header with one entry) and a small ICC profile after the SOI.
jpeg = open(os.path.join(raw, "colour.jpg"), "rb").read()
tiff = b"II*\0" + struct.pack("<IH", 8, 1) + struct.pack("<HHII", 0x010F, 2, 4, 0x6D6F6300) + b"\0" * 4
exif = b"Exif\0\0" + tiff
icc = b"ICC_PROFILE\0\x01\x01" + bytes(range(128))
markers = b"".join(b"\xff" + bytes([code]) + struct.pack(">H", len(body) + 2) + body
                   for code, body in ((0xE1, exif), (0xE2, icc)))
open(os.path.join(raw, "metadata.jpg"), "wb").write(jpeg[:2] + markers + jpeg[2:])
for name in os.listdir(raw):
    data = open(os.path.join(raw, name), "rb").read()
    for choice in range(18):  # CRCs repaired or not, by none or each of the eight filters
        open(os.path.join(out, "%s-%d" % (name, choice)), "wb").write(bytes([choice]) + data)
PY
rm -rf "$raw"
