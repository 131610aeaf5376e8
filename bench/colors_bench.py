#!/usr/bin/env python3
"""--colors N against its peers at the same N, on photos given: each tool's
PSNR against the photo, its time (median of three runs, decode and encode
included), its file's size, and how many of its palette's colours the photo
lacks; then each one's mean and its ratio to quenvale's, from this run.

  bench/colors_bench.py QUENVALE PHOTO.png [PHOTO.png ...]

The peers are those installed: pngquant --nofs, ImageMagick's convert
+dither -colors, Pillow's quantize without dithering (median cut; fast
octree for RGBA), and quenvale --colors --first-fit.
"""
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

import numpy
from PIL import Image

COUNTS = (8, 16, 64, 256)


def peers(quenvale):
    tools = {
        "quenvale": lambda n, src, out: [quenvale, "--colors", str(n), src, out],
        "first-fit": lambda n, src, out: [quenvale, "--colors", str(n), "--first-fit", src, out],
    }
    if shutil.which("pngquant"):
        tools["pngquant"] = lambda n, src, out: ["pngquant", "--nofs", "--force", "--output", out, str(n), src]
    if shutil.which("convert"):
        tools["imagemagick"] = lambda n, src, out: ["convert", src, "+dither", "-colors", str(n), out]
    tools["pillow"] = None  # in this process
    return tools


def pillow(n, src, out):
    image = Image.open(src)
    method = Image.Quantize.FASTOCTREE if image.mode == "RGBA" else Image.Quantize.MEDIANCUT
    image.quantize(n, method=method, dither=Image.Dither.NONE).save(out)


def rgba(path):
    return numpy.asarray(Image.open(path).convert("RGBA"), dtype=numpy.int64)


def psnr(a, b):
    error = ((a - b) ** 2).mean()
    return float("inf") if error == 0 else 10 * numpy.log10(255 ** 2 / error)


def invented(source, result):
    have = set(map(tuple, source.reshape(-1, 4)))
    made = set(map(tuple, result.reshape(-1, 4)))
    return len(made - have), len(made)


def main():
    quenvale, photos = sys.argv[1], sys.argv[2:]
    tools = peers(quenvale)
    rows = {name: [] for name in tools}
    work = tempfile.mkdtemp()
    print(f"{'photo':<22}{'N':>4}  " + "".join(f"{name:>24}" for name in tools))
    for photo in photos:
        source = rgba(photo)
        for n in COUNTS:
            cells = []
            for name, command in tools.items():
                out = os.path.join(work, f"{name}.png")
                times = []
                for _ in range(3):
                    started = time.perf_counter()
                    if command is None:
                        pillow(n, photo, out)
                    else:
                        subprocess.run(command(n, photo, out), check=True, capture_output=True)
                    times.append(time.perf_counter() - started)
                result = rgba(out)
                extra, total = invented(source, result)
                row = (psnr(source, result), statistics.median(times), os.path.getsize(out), extra, total)
                rows[name].append(row)
                cells.append(f"{row[0]:6.2f} dB {row[1]:5.2f} s {extra:3d}/{total:<3d}")
            print(f"{os.path.basename(photo):<22}{n:>4}  " + "".join(f"{c:>24}" for c in cells), flush=True)
    print("\nmeans (PSNR, time, size; time and size as ratios to quenvale's; invented colours in all)")
    base = rows["quenvale"]
    for n_index, n in enumerate(COUNTS):
        print(f"N = {n}")
        for name, found in rows.items():
            picked = found[n_index::len(COUNTS)]
            ours = base[n_index::len(COUNTS)]
            print(f"  {name:<12} {statistics.mean(r[0] for r in picked):6.2f} dB  "
                  f"time x{statistics.mean(r[1] / o[1] for r, o in zip(picked, ours)):5.2f}  "
                  f"size x{statistics.mean(r[2] / o[2] for r, o in zip(picked, ours)):5.2f}  "
                  f"invented {sum(r[3] for r in picked)} of {sum(r[4] for r in picked)}")
    shutil.rmtree(work)


if __name__ == "__main__":
    main()
