#!/usr/bin/env bash
# Runs the host under valgrind memcheck on valid and refused files; fails on
# any memory error or leak.   tests/valgrind_host.sh BUILD_DIR
set -euo pipefail
cd "$(dirname "$0")/.."
host=${1:-build/default}/tools/quenvale
work=$(mktemp -d)
python3 fuzz/make_corpus.py "$work/valid" >/dev/null
# Over 4 MiB of rows, so that the large-block path is checked too.
python3 - "$work/large.bmp" <<'PY'
import struct, sys
width, height = 1300, 1100
stride = (3 * width + 3) & ~3
rows = bytearray(stride * height)
for y in range(height):
    for x in range(width):
        at = y * stride + 3 * x
        rows[at:at + 3] = bytes(((x * 7 + y) & 255, (x * y) & 255, (x ^ y) & 255))
header = struct.pack('<2sIHHIIiiHHIIiiII', b'BM', 54 + len(rows), 0, 0, 54, 40, width, height, 1, 24, 0,
                     len(rows), 2835, 2835, 0, 0)
open(sys.argv[1], 'wb').write(header + rows)
PY
run() {
  valgrind --quiet --error-exitcode=99 --leak-check=full --show-leak-kinds=definite,indirect \
    --errors-for-leak-kinds=definite,indirect "$host" "$@" >/dev/null 2>"$work/log" || status=$?
  status=${status:-0}
  if [ "$status" -eq 99 ]; then
    cat "$work/log" >&2
    echo "valgrind found errors: quenvale $*" >&2
    exit 1
  fi
  unset status
}
run "$work/large.bmp" "$work/out.bmp"
for file in samples/sample.bmp "$work"/valid/w3-h40-up-sized.bmp "$work"/valid/w5-h124-down-size0-tail.bmp \
            "$work"/valid/w0-h56-up-sized.bmp; do
  run "$file" "$work/out.bmp"
  run --filter blur "$file" "$work/out.bmp"
  run --filter darkest "$file" "$work/out.bmp"
done
for file in tests/regressions/*.bmp; do
  run "$file" "$work/out.bmp"
  run --filter red "$file" "$work/out.bmp"
  run --filter blur "$file" "$work/out.bmp"
  run --filter darkest "$file" "$work/out.bmp"
done
run "$work/missing.bmp" "$work/out.bmp"
run samples/sample.bmp "$work/no-such-dir/out.bmp"
run samples/sample.bmp /dev/full
# Other tolerances, pipes, batches with a failing file, in place.
run --tolerance 3 "$work/large.bmp" "$work/out.bmp"
run --tolerance 200 samples/sample.bmp "$work/out.bmp"
run - - <samples/sample.bmp
mkdir "$work/batch"
cp samples/sample.bmp "$work/in-place.bmp"
run --output-dir "$work/batch" samples/sample.bmp "$work/missing.bmp" tests/regressions/core-header-1x1.bmp
run --in-place --filter gray "$work/in-place.bmp"
# PNG and JPEG, where the host has them: in, out, through each filter, and refused.
if "$host" --version | grep -q PNG; then
  magick=$(command -v /usr/bin/convert || command -v convert)
  "$magick" samples/sample.bmp -resize 64x48 "$work/rgb.png"
  "$magick" "$work/rgb.png" PNG8:"$work/palette.png"
  "$magick" "$work/rgb.png" -depth 16 -interlace PNG PNG64:"$work/rgba16.png"
  "$magick" "$work/rgb.png" -colorspace gray -depth 2 "$work/grey2.png"
  "$magick" "$work/rgb.png" -interlace JPEG "$work/photo.jpg"
  head -c 300 "$work/rgb.png" >"$work/cut.png"
  head -c 300 "$work/photo.jpg" >"$work/cut.jpg"
  for file in "$work"/{rgb,palette,rgba16,grey2}.png "$work/photo.jpg" "$work/cut.png" "$work/cut.jpg"; do
    run "$file" "$work/out.png"
    run --filter blur "$file" "$work/out.png"
    run "$file" "$work/out.bmp"
  done
  run samples/sample.bmp "$work/out.png"
  run --format png - - <"$work/rgb.png"
  # The chooser, the remap, pinned colours and one palette for a batch.
  printf '#000000\n#ffffff\n#ff000080\n#00000000\n' >"$work/inks.txt"
  printf 'GIMP Palette\n1 2\n' >"$work/bad.gpl"
  run --colors 16 "$work/rgba16.png" "$work/out.png"
  run --remap "$work/inks.txt" "$work/palette.png" "$work/out.png"
  run --remap "$work/bad.gpl" "$work/rgb.png" "$work/out.png"
  run --colors 6 --pin "$work/inks.txt" samples/sample.bmp "$work/out.bmp"
  mkdir -p "$work/shared"
  run --colors 8 --shared-palette --output-dir "$work/shared" "$work/rgb.png" "$work/grey2.png" "$work/cut.png"
  # Speck removal after each way of flattening, and SVG out.
  run --min-region 6 "$work/rgba16.png" "$work/out.png"
  run --colors 8 --min-region 20 "$work/palette.png" "$work/out.svg"
  run --remap "$work/inks.txt" --min-region 3 samples/sample.bmp "$work/out.bmp"
  if "$host" --version | grep -q GIF; then  # frames to an animation, and frames of two sizes
    run --colors 8 --shared-palette -o "$work/anim.gif" "$work/rgb.png" "$work/rgba16.png" "$work/rgb.png"
    run --colors 8 --shared-palette -o "$work/anim.gif" "$work/rgb.png" "$work/cut.png"
  fi
fi
echo "valgrind: no errors or leaks"
