#!/usr/bin/env python3
"""--remap onto 16 colours against the flatten at tolerance 20, on the
photos given: each one's time (median of five interleaved runs, decode and
encode included) and the remap's as a ratio of the flatten's, from this run.

  bench/remap_bench.py QUENVALE PHOTO.png [PHOTO.png ...]
"""
import os
import statistics
import subprocess
import sys
import tempfile
import time

SIXTEEN = ["#000000", "#ffffff", "#ff0000", "#00ff00", "#0000ff", "#ffff00", "#ff8000", "#808080",
           "#800000", "#008000", "#000080", "#808000", "#800080", "#008080", "#c0c0c0", "#ff00ff"]


def timed(command):
    started = time.perf_counter()
    subprocess.run(command, check=True, capture_output=True)
    return time.perf_counter() - started


def main():
    quenvale, photos = sys.argv[1], sys.argv[2:]
    work = tempfile.mkdtemp()
    palette = os.path.join(work, "sixteen.txt")
    with open(palette, "w") as file:
        file.write("\n".join(SIXTEEN) + "\n")
    out = os.path.join(work, "out.png")
    print(f"{'photo':<24}{'flatten':>10}{'remap':>10}{'remap / flatten':>18}")
    for photo in photos:
        flatten, remap = [], []
        for _ in range(5):
            flatten.append(timed([quenvale, photo, out]))
            remap.append(timed([quenvale, "--remap", palette, photo, out]))
        f, r = statistics.median(flatten), statistics.median(remap)
        print(f"{os.path.basename(photo):<24}{f:>9.2f}s{r:>9.2f}s{r / f:>18.2f}")


if __name__ == "__main__":
    main()
