#!/usr/bin/env python3
"""The Python module's speed, as ratios to baselines measured in the same run:
flatten() on a 24 MP RGB array against the engine's own flatten of the same
pixels in memory (the pixels copied into rows already allocated, then
flattened in place, as the C++ benchmark does it); two threads against one;
Pillow's quantize for comparison; and flatten_file over a folder on a Dask
cluster of two worker processes against a plain loop.

    PYTHONPATH=build/bench/python python3 bench/python_bench.py [--runs N] [--no-dask]
"""
import argparse
import os
import statistics
import tempfile
import threading
import time

import numpy

import quenvale
from quenvale import _core


def measure(runs, body):
    samples = []
    for _ in range(runs):
        start = time.perf_counter()
        body()
        samples.append((time.perf_counter() - start) * 1000)
    return statistics.median(samples), min(samples), max(samples)


def show(label, timing, against=None, base=None, goal=None):
    median, low, high = timing
    line = "  %-40s %8.1f ms (%.1f-%.1f)" % (label, median, low, high)
    if base is not None:
        line += "   %.2fx %s" % (median / base, against)
        if goal is not None:
            line += " (goal <= %.2fx)" % goal
    print(line)


def photo(width=6000, height=4000, seed=1):
    """A photo's character: smooth fields of colour with edges and sensor noise."""
    rng = numpy.random.default_rng(seed)
    y, x = numpy.mgrid[0:height, 0:width].astype(numpy.float32)
    fields = [128 + 90 * numpy.sin(x / (300 + 70 * c)) * numpy.cos(y / (500 - 60 * c)) for c in range(3)]
    picture = numpy.stack(fields, axis=-1)
    picture[(x // 700 + y // 900) % 3 == 0] *= 0.6  # edges between areas
    picture += rng.normal(0, 3, picture.shape).astype(numpy.float32)
    return numpy.clip(picture, 0, 255).astype(numpy.uint8)


def in_turn(runs, bodies):
    """Each body once a round, so that drift weighs on all alike."""
    samples = [[] for _ in bodies]
    for _ in range(runs):
        for body, times in zip(bodies, samples):
            times.append(measure(1, body)[0])
    return [(statistics.median(times), min(times), max(times)) for times in samples]


def report_flatten(runs, picture):
    height, width, _ = picture.shape
    rows = numpy.empty(picture.size + 8, numpy.uint8)
    rows[:] = 0  # allocated and touched before the clock, as the C++ benchmark's rows are

    def engine(palette):
        rows[: picture.size] = picture.reshape(-1)
        _core._engine_flatten(rows, width, height, 20, palette)

    results = {}
    alone, with_palette, module = in_turn(runs, [lambda: engine(False), lambda: engine(True),
                                                 lambda: results.update(flat=quenvale.flatten(picture))])
    assert numpy.array_equal(rows[: picture.size].reshape(picture.shape), results["flat"][0])
    print("flatten of a %dx%d uint8 RGB array, tolerance 20 (%d colours)" % (width, height, len(results["flat"][1])))
    show("engine: copy in, flatten", alone)
    show("engine: copy in, flatten, its palette", with_palette, "the flatten alone", alone[0])
    show("quenvale.flatten(array)", module, "the engine's flatten and palette", with_palette[0], 1.15)
    print("  %-40s %8s      %.2fx the flatten alone" % ("", "", module[0] / alone[0]))
    return module[0], len(results["flat"][1])


def report_threads(runs, picture, one):
    arrays = [picture, numpy.ascontiguousarray(picture[::-1])]

    def two_threads():
        threads = [threading.Thread(target=quenvale.flatten, args=(a,)) for a in arrays]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()

    two = measure(runs, two_threads)
    print("two threads, each flattening its own array")
    show("two arrays on two threads", two)
    print("  %-40s %8.2fx one thread's (goal >= 1.70x on 2 cores)" % ("throughput", 2 * one / two[0]))


def report_peers(runs, picture, colours):
    from PIL import Image

    image = Image.fromarray(picture)
    print("peers on the same pixels (Pillow %s)" % Image.__version__)
    base = measure(runs, lambda: quenvale.flatten(image))
    show("quenvale.flatten(Pillow image)", base)
    for name, method in (("median cut", Image.Quantize.MEDIANCUT), ("fast octree", Image.Quantize.FASTOCTREE)):
        count = min(256, colours)
        timing = measure(runs, lambda: image.quantize(count, method=method))
        show("Pillow quantize(%d), %s" % (count, name), timing, "quenvale's", base[0])
    print("  scikit-image has no palette reduction of its own to compare (its k-means is scikit-learn's)")


def report_dask(count=200, side=512):
    import distributed
    from PIL import Image

    rng = numpy.random.default_rng(2)
    with tempfile.TemporaryDirectory(prefix="quenvale-dask-") as work:
        inputs = []
        small = photo(side, side)
        for i in range(count):
            path = os.path.join(work, "in%03d.png" % i)
            Image.fromarray(numpy.roll(small, i * 7, axis=1) // (1 + i % 3) + rng.integers(0, 2, small.shape,
                                                                                            numpy.uint8)).save(path)
            inputs.append(path)
        outputs = [os.path.join(work, "out%03d.png" % i) for i in range(count)]
        start = time.perf_counter()
        for source, target in zip(inputs, outputs):
            quenvale.flatten_file(source, target, colors=16)
        loop = time.perf_counter() - start
        with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                      dashboard_address=None) as cluster, distributed.Client(cluster) as client:
            client.gather(client.map(quenvale.flatten_file, inputs[:4], outputs[:4], colors=16))  # workers warm
            start = time.perf_counter()
            client.gather(client.map(quenvale.flatten_file, inputs, outputs, colors=16, pure=False))
            cluster_time = time.perf_counter() - start
    print("flatten_file over %d %dx%d PNGs, --colors 16" % (count, side, side))
    print("  %-40s %8.1f ms" % ("a plain loop", loop * 1000))
    print("  %-40s %8.1f ms   %.2fx the loop's throughput" % ("Dask LocalCluster, 2 worker processes",
                                                                cluster_time * 1000, loop / cluster_time))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--runs", type=int, default=7)
    parser.add_argument("--no-dask", action="store_true")
    options = parser.parse_args()
    picture = photo()
    print("median of %d runs (range)" % options.runs)
    one, colours = report_flatten(options.runs, picture)
    report_threads(options.runs, picture, one)
    report_peers(max(1, options.runs // 2), picture, colours)
    if not options.no_dask:
        report_dask()


if __name__ == "__main__":
    main()
