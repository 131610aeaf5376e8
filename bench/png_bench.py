#!/usr/bin/env python3
"""PNG to PNG against the floor a user would build, on the photos given,
from this run:

- time: quenvale's flatten (median of interleaved runs, whole process,
  each a mean over enough runs back to back to last 0.3 s) and
  png_floor's (libspng decodes the input and encodes the same output pixels,
  in the same PNG type, at zlib level 6), and their ratio; with --baseline,
  another host binary (an earlier build) timed in the same turns;
- peak memory above the host's own footprint, against the decoded picture
  plus a byte a pixel plus the output;
- size at each --effort, and oxipng -o2's of the same output (when
  `npm ci --prefix bench` has installed it);
- a batch of 2,000 PNGs of 256 x 256 cut from the first photo: files a second.

  bench/png_bench.py QUENVALE PNG_FLOOR [--baseline HOST] [--runs N] PHOTO.png [...]

Needs Pillow and /usr/bin/time.
"""
import argparse
import os
import statistics
import subprocess
import tempfile

from PIL import Image

from remap_bench import timed  # beside this script
from shapes_bench import peak_megabytes

HERE = os.path.dirname(os.path.abspath(__file__))


def oxipng_sizes(files):
    """oxipng -o2's size of each file, or None where its npm build is missing."""
    if not os.path.isdir(os.path.join(HERE, "node_modules", "@jsquash", "oxipng")):
        return None
    done = subprocess.run(["node", os.path.join(HERE, "oxipng_size.mjs"), "2", *files], check=True,
                          capture_output=True, text=True)
    return [int(line) for line in done.stdout.split()]


def decoded_megabytes(photo):
    with Image.open(photo) as image:
        bits = 16 if image.mode.startswith("I;16") else 8
        return image.width * image.height * len(image.getbands()) * bits / 8 / 1e6, image.width * image.height / 1e6


def timed_each(command, repeat):
    """The time of one run, over `repeat` runs back to back (small photos
    take milliseconds, below the noise of one process start)."""
    return sum(timed(command) for _ in range(repeat)) / repeat


def batch(host, tiles, work):
    out = tempfile.mkdtemp(dir=work)
    return len(tiles) / timed([host, "--output-dir", out, *tiles])


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("quenvale")
    parser.add_argument("floor")
    parser.add_argument("--baseline")
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("photos", nargs="+")
    args = parser.parse_args()
    work = tempfile.mkdtemp()
    out, floor_out, pixels = (os.path.join(work, name) for name in ("out.png", "floor.png", "pixels"))
    hosts = [("quenvale", args.quenvale)] + ([("baseline", args.baseline)] if args.baseline else [])

    # The peak above the host's own footprint (its peak on a 1 x 1 PNG).
    tiny = os.path.join(work, "tiny.png")
    Image.new("RGB", (1, 1)).save(tiny)
    footprint = peak_megabytes([args.quenvale, tiny, out]) * 1.048576
    print(f"{'photo':<22}{'floor':>8}" + "".join(f"{name:>10}{'/ floor':>8}" for name, _ in hosts) +
          f"{'peak MB':>9}{'bound':>7}")
    for photo in args.photos:
        subprocess.run([args.quenvale, photo, out], check=True, capture_output=True)
        subprocess.run([args.floor, "--prepare", out, pixels], check=True)
        times = {name: [] for name in ["floor"] + [name for name, _ in hosts]}
        repeat = max(1, int(0.3 / timed([args.floor, photo, pixels, floor_out])))
        for _ in range(args.runs):
            times["floor"].append(timed_each([args.floor, photo, pixels, floor_out], repeat))
            for name, host in hosts:
                times[name].append(timed_each([host, photo, out], repeat))
        median = {name: statistics.median(values) for name, values in times.items()}
        picture, pixels_mp = decoded_megabytes(photo)
        bound = picture + pixels_mp + os.path.getsize(out) / 1e6
        peak = peak_megabytes([args.quenvale, photo, out]) * 1.048576 - footprint
        line = f"{os.path.basename(photo):<22}{median['floor']:>7.2f}s"
        line += "".join(f"{median[name]:>9.2f}s{median[name] / median['floor']:>8.2f}" for name, _ in hosts)
        print(line + f"{peak:>9.0f}{bound:>7.0f}")

    print(f"\n{'photo, bytes':<22}{'fast':>11}{'default':>11}{'max':>11}{'oxipng -o2':>12}"
          f"{'max / oxipng':>14}" + (f"{'baseline':>11}" if args.baseline else ""))
    for photo in args.photos:
        sizes = []
        for effort in ("fast", "default", "max"):
            path = os.path.join(work, f"{effort}.png")
            subprocess.run([args.quenvale, "--effort", effort, photo, path], check=True, capture_output=True)
            sizes.append(os.path.getsize(path))
        oxipng = oxipng_sizes([os.path.join(work, "default.png")])
        line = f"{os.path.basename(photo):<22}" + "".join(f"{size:>11,}" for size in sizes)
        line += f"{oxipng[0]:>12,}{sizes[2] / oxipng[0]:>14.3f}" if oxipng else f"{'(not installed)':>26}"
        if args.baseline:
            subprocess.run([args.baseline, photo, out], check=True, capture_output=True)
            line += f"{os.path.getsize(out):>11,}"
        print(line)

    with Image.open(args.photos[0]) as image:
        image = image.convert("RGB")
        across, down = max(1, image.width // 256), max(1, image.height // 256)
        tiles = []
        for number in range(2000):
            x, y = number % across * 256, number // across % down * 256
            tile = image.crop((x, y, x + 256, y + 256)).rotate(90 * (number // (across * down)))
            tiles.append(os.path.join(work, f"tile{number}.png"))
            tile.save(tiles[-1], compress_level=6)
    rates = {}
    for _ in range(3):
        for name, host in hosts:
            rates.setdefault(name, []).append(batch(host, tiles, work))
    line = "2,000 PNGs of 256 x 256:" + "".join(f"  {name} {statistics.median(r):.0f} files/s" for name, r in rates.items())
    if args.baseline:
        line += f"  ({statistics.median(rates['quenvale']) / statistics.median(rates['baseline']):.2f}x)"
    print(line)


if __name__ == "__main__":
    main()
