#!/usr/bin/env python3
"""Speck removal and SVG, on the photos given, from this run:

- time: the flatten at tolerance 20, and the same with --min-region 25
  (median of five interleaved runs, decode and encode included), the ratio,
  and each one's peak memory;
- SVG: a photo at 12 colours (and after --min-region 25) as our SVG and as
  potrace's SVGs of the same layers (--layers, each traced and stacked):
  their sizes, and whether each renders (rsvg-convert, 1:1) to the PNG
  output's pixels.

  bench/shapes_bench.py QUENVALE PHOTO.png [PHOTO.png ...]

Needs potrace, rsvg-convert (librsvg2-bin) and Pillow.
"""
import glob
import os
import re
import resource
import statistics
import subprocess
import sys
import tempfile

from PIL import Image

from remap_bench import timed  # beside this script


def peak_megabytes(command):
    done = subprocess.run(["/usr/bin/time", "-f", "%M", *command], check=True, capture_output=True, text=True)
    return int(done.stderr.strip().splitlines()[-1]) / 1024


def rendered(svg, work):
    out = os.path.join(work, "rendered.png")
    subprocess.run(["rsvg-convert", svg, "-o", out], check=True)
    return [p if p[3] else (0, 0, 0, 0) for p in Image.open(out).convert("RGBA").getdata()]


def potrace_stack(layers, width, height, work, options):
    """Each layer traced by potrace, its paths stacked into one SVG of the layer's colour."""
    paths = []
    for mask in sorted(glob.glob(os.path.join(layers, "*.png"))):
        colour = re.search(r"\.\d+-([0-9a-f]{6})", mask).group(1)
        bitmap = os.path.join(work, "mask.bmp")
        Image.open(mask).convert("1").save(bitmap)
        traced = subprocess.run(["potrace", "-s", *options, "-o", "-", bitmap], check=True, capture_output=True, text=True).stdout
        group = traced[traced.index("<g "):traced.rindex("</g>") + 4].replace('fill="#000000"', f'fill="#{colour}"')
        paths.append(group)
    stacked = os.path.join(work, "potrace%s.svg" % "".join(options))
    with open(stacked, "w") as file:
        file.write(f'<svg xmlns="http://www.w3.org/2000/svg" width="{width}" height="{height}" '
                   f'viewBox="0 0 {width} {height}">\n' + "\n".join(paths) + "\n</svg>\n")
    return stacked


def main():
    quenvale, photos = sys.argv[1], sys.argv[2:]
    work = tempfile.mkdtemp()
    out = os.path.join(work, "out.png")
    print(f"{'photo':<24}{'flatten':>9}{'--min-region 25':>17}{'ratio':>7}{'peak MB':>16}")
    for photo in photos:
        flat, specks = [], []
        for _ in range(5):
            flat.append(timed([quenvale, photo, out]))
            specks.append(timed([quenvale, "--min-region", "25", photo, out]))
        f, s = statistics.median(flat), statistics.median(specks)
        peaks = peak_megabytes([quenvale, photo, out]), peak_megabytes([quenvale, "--min-region", "25", photo, out])
        print(f"{os.path.basename(photo):<24}{f:>8.2f}s{s:>16.2f}s{s / f:>7.2f}{peaks[0]:>8.0f}{peaks[1]:>8.0f}")
    print(f"\n{'photo, 12 colours':<30}{'ours':>8}{'potrace':>9}{'-t 0':>8}   exact: ours, potrace, -t 0")
    for photo in photos:
        for extra in ([], ["--min-region", "25"]):
            layers = tempfile.mkdtemp(dir=work)
            png, svg = os.path.join(work, "twelve.png"), os.path.join(work, "twelve.svg")
            subprocess.run([quenvale, "--colors", "12", *extra, "--layers", layers, photo, png], check=True)
            subprocess.run([quenvale, "--colors", "12", *extra, photo, svg], check=True)
            width, height = Image.open(png).size
            # potrace as it comes (specks of 2 pixels or fewer dropped), and keeping every one.
            stacks = [potrace_stack(layers, width, height, work, options) for options in ([], ["-t", "0"])]
            want = [p if p[3] else (0, 0, 0, 0) for p in Image.open(png).convert("RGBA").getdata()]
            name = os.path.basename(photo) + (" --min-region 25" if extra else "")
            sizes = "".join(f"{os.path.getsize(path) / 1000:>7.0f}K" for path in [svg, *stacks])
            exact = ", ".join(str(rendered(path, work) == want) for path in [svg, *stacks])
            print(f"{name:<30}{sizes}   {exact}")


if __name__ == "__main__":
    main()
