"""The Python module against the host: every picture the pictures harness
writes, as Pillow images and as numpy arrays of every layout, flattened and
filtered in memory, must give the pixels the host writes for its file; and
flatten_file must write what the host writes. Then the refusals, threads,
and a Dask cluster. Run by CTest with the module on PYTHONPATH and the host
in QUENVALE_HOST.
"""
import ast
import concurrent.futures
import os
import sys
import time

import numpy
import pytest
from PIL import Image

import quenvale

sys.path.insert(0, os.path.dirname(__file__))
import pictures_test as harness  # noqa: E402  (its PNGs of every colour type)

HOST = os.environ["QUENVALE_HOST"]
harness.HOST = [HOST]


def run_host(*arguments):
    done = harness.run(*arguments)
    assert done.returncode == 0, (arguments, done.stderr)


@pytest.fixture(scope="module")
def pngs(tmp_path_factory):
    work = str(tmp_path_factory.mktemp("pictures"))
    return work, harness.make_pngs(work)


def host_result(work, name, *options):
    out = os.path.join(work, "host-" + "".join(options).replace("-", "") + "-" + name)
    run_host(*options, "--keep-encoding", os.path.join(work, name), out)
    return Image.open(out)


def as_rgba(image):
    return numpy.asarray(image.convert("RGBA"))


def same_pixels(ours, theirs):
    """Equal as stored where both hold 16-bit grey, else as 8-bit RGBA."""
    if ours.mode in ("I", "I;16") and theirs.mode in ("I", "I;16"):
        return numpy.array_equal(numpy.asarray(ours).astype(numpy.int64), numpy.asarray(theirs).astype(numpy.int64))
    return numpy.array_equal(as_rgba(ours), as_rgba(theirs))


OPTIONS = [([], {}), (["--tolerance", "45"], {"tolerance": 45}), (["--fill", "mean"], {"fill": "mean"}),
           (["--colors", "12"], {"colors": 12}), (["--colors", "12", "--min-region", "5"], {"colors": 12, "min_region": 5})]


def stored_array(path):
    """A PNG's samples as stored, 16-bit ones whole, as an array of its shape."""
    header, pixels, _, _ = harness.read_png(path)
    array = numpy.array(pixels, numpy.uint16 if header[2] == 16 else numpy.uint8)
    return array[..., 0] if array.shape[2] == 1 else array


def test_pillow_images_and_arrays_like_the_host(pngs):
    work, names = pngs
    for name in names:
        source = Image.open(os.path.join(work, name))
        _, _, depth, kind, _ = harness.read_png(os.path.join(work, name))[0]
        if depth == 16 and kind != 0:
            continue  # Pillow opens these at 8 bits: not the host's picture
        for options, kwargs in OPTIONS:
            if kwargs.get("fill") == "mean" and depth < 8 and kind == 0:
                continue  # Pillow widens the samples, and means are then kept at 8 bits
            want = host_result(work, name, *options)
            got, palette = quenvale.flatten(source, **kwargs)
            assert got.mode == source.mode, name
            assert same_pixels(got, want), (name, options)
            assert int(palette.counts.sum()) + palette.transparent == source.width * source.height
            # Each founder has its entry's colour, in the result.
            rgb = as_rgba(got)[..., :3]
            for entry in palette:
                assert tuple(rgb[entry.y, entry.x]) == entry.color or got.mode in ("I", "I;16"), (name, entry)
            if source.mode in ("L", "LA", "RGB", "RGBA") and "transparency" not in source.info:
                array, _ = quenvale.flatten(numpy.asarray(source), **kwargs)
                assert numpy.array_equal(array, numpy.asarray(got)), name


def test_kernels_like_the_host(pngs):
    work, _ = pngs
    for name in ("rgb8.png", "grey8.png", "palette8.png", "rgba8.png", "greyalpha8.png"):
        source = Image.open(os.path.join(work, name))
        for kernel in quenvale.FILTERS[1:]:
            want = host_result(work, name, "--filter", kernel)
            assert same_pixels(quenvale.filter(source, kernel), want), (name, kernel)
            if source.mode != "P":
                assert numpy.array_equal(as_rgba(Image.fromarray(quenvale.filter(numpy.asarray(source), kernel))),
                                         as_rgba(want)), (name, kernel)


def test_sixteen_bit_arrays_like_the_host(pngs):
    """Pillow opens these at 8 bits: their samples are read as stored."""
    work, names = pngs
    for name in names:
        path = os.path.join(work, name)
        header = harness.read_png(path)[0]
        if header[2] != 16 or "key" in name:
            continue
        array = stored_array(path)
        for options, kwargs in OPTIONS:
            got, palette = quenvale.flatten(array, **kwargs)
            want = stored_array(host_result(work, name, *options).filename)
            assert got.dtype == numpy.uint16 and numpy.array_equal(got, want), (name, options)
            assert int(palette.counts.sum()) + palette.transparent == array.shape[0] * array.shape[1]
        for kernel in ("red", "blur", "darkest"):
            want = stored_array(host_result(work, name, "--filter", kernel).filename)
            assert numpy.array_equal(quenvale.filter(array, kernel), want), (name, kernel)


def layouts(array):
    """The same pixels with other strides and byte orders."""
    yield "reversed", numpy.ascontiguousarray(array[::-1])[::-1]
    yield "fortran", numpy.asfortranarray(array)
    wide = numpy.zeros((array.shape[0] * 3, array.shape[1] * 2) + array.shape[2:], array.dtype)
    wide[::3, ::2] = array
    yield "strided", wide[::3, ::2]
    locked = array.copy()
    locked.flags.writeable = False
    yield "read-only", locked
    if array.dtype == numpy.uint16:
        yield "big-endian", array.astype(">u2")


def test_every_array_layout_gives_the_same_result():
    rng = numpy.random.default_rng(3)
    for shape in [(23, 31), (23, 31, 2), (23, 31, 3), (23, 31, 4)]:
        for dtype in (numpy.uint8, numpy.uint16):
            top = 256 if dtype == numpy.uint8 else 65536
            array = (rng.integers(0, 4, shape) * (top // 5) + rng.integers(0, top // 40, shape)).astype(dtype)
            want, palette = quenvale.flatten(array)
            assert want.shape == array.shape and want.dtype == array.dtype
            assert int(palette.counts.sum()) + palette.transparent == shape[0] * shape[1]
            for what, other in layouts(array):
                got, other_palette = quenvale.flatten(other)
                assert numpy.array_equal(got, want) and got.dtype == numpy.dtype(dtype), (shape, dtype, what)
                assert other_palette == palette
                assert numpy.array_equal(quenvale.filter(other, "blur"), quenvale.filter(array, "blur")), what
            assert numpy.array_equal(array, array.copy())  # the input untouched
    # Zero strides, one pixel, no pixels.
    broadcast = numpy.broadcast_to(numpy.array([9, 200, 30], numpy.uint8), (40, 50, 3))
    got, palette = quenvale.flatten(broadcast)
    assert len(palette) == 1 and palette[0] == ((9, 200, 30), 2000, 0, 39) and (got == broadcast).all()
    assert len(quenvale.flatten(numpy.full((1, 1, 4), 7, numpy.uint8))[1]) == 1
    for empty in (numpy.zeros((0, 5, 3), numpy.uint8), numpy.zeros((4, 0), numpy.uint16)):
        got, palette = quenvale.flatten(empty)
        assert got.shape == empty.shape and len(palette) == 0
        assert quenvale.filter(empty, "darkest").shape == empty.shape


def test_colors_and_palette():
    assert quenvale.__version__.count(".") >= 2
    rng = numpy.random.default_rng(5)
    array = rng.integers(0, 256, (64, 48, 3), dtype=numpy.uint8)
    pixels = array.reshape(-1, 3).astype(numpy.int64)
    for colors in (1, 4, 16, 200):
        # The chooser: the picture's own colours, each pixel given its nearest,
        # and the largest error on a channel told.
        chosen, picked = quenvale.flatten(array, colors=colors)
        assert 1 <= len(picked) <= colors and picked.tolerance is None
        entries = picked.colors.astype(numpy.int64)
        assert {tuple(c) for c in entries} <= {tuple(p) for p in pixels}, "no colour the picture lacks"
        distances = ((pixels[:, None, :] - entries[None, :, :]) ** 2).sum(axis=2)
        mapped = chosen.reshape(-1, 3).astype(numpy.int64)
        assert numpy.array_equal(((pixels - mapped) ** 2).sum(axis=1), distances.min(axis=1)), "each pixel its nearest"
        assert picked.error == numpy.abs(pixels - mapped).max()
        # With first_fit, the tolerance colors= chose is the one that gives the same flatten.
        got, palette = quenvale.flatten(array, colors=colors, first_fit=True)
        assert 1 <= len(palette) <= colors and palette.error is None
        again, at = quenvale.flatten(array, palette.tolerance)
        assert numpy.array_equal(again, got) and at == palette and at.tolerance == palette.tolerance
        assert len(numpy.unique(got.reshape(-1, 3), axis=0)) == len(palette)
        assert numpy.array_equal(numpy.asarray(palette), palette.colors) and palette.colors.dtype == numpy.uint8
        assert list(palette)[0] == palette[0] and isinstance(palette[0], tuple)
        assert numpy.array_equal(palette.founders[0], [palette[0].x, palette[0].y])
    assert len(palette[1:3]) == 2


def host_output(folder, name, work, *options):
    out = str(folder / ("host-" + name))
    run_host(*options, os.path.join(work, name), out)
    return Image.open(out)


def test_remap_and_pin_like_the_host(pngs, tmp_path):
    """palette= and pin= give the host's --remap and --pin pixels, from a
    file or from colours, for Pillow images (a P image in the palette's
    order) and arrays; bad palettes are refused as the host refuses them."""
    work, _ = pngs
    inks = [(0, 0, 0), (255, 255, 255), (255, 0, 0), (0, 255, 0), (0, 0, 255), (255, 255, 0), (255, 128, 0)]
    text = tmp_path / "inks.txt"
    text.write_text("".join("#%02x%02x%02x\n" % c for c in inks))
    pins = tmp_path / "pins.txt"
    pins.write_text("#ff00ff\n#00ffff80\n")
    for name in ("rgb8.png", "palette8.png", "rgba8.png", "greyalpha8.png"):
        source = Image.open(os.path.join(work, name))
        want = host_output(tmp_path, name, work, "--remap", str(text))
        for given in (text, inks, numpy.array(inks, numpy.uint8)):
            got, palette = quenvale.flatten(source, palette=given)
            assert got.mode == "P" and got.getpalette()[:21] == [v for c in inks for v in c], name
            assert same_pixels(got, want), name
            assert palette.tolerance is None and palette.error is not None
        if source.mode in ("RGB", "RGBA") and "transparency" not in source.info:
            array, _ = quenvale.flatten(numpy.asarray(source), palette=inks)
            assert array.shape == source.size[::-1] + (3,) and numpy.array_equal(array, as_rgba(want)[..., :3]), name
        want = host_output(tmp_path, name, work, "--colors", "9", "--pin", str(pins))
        got, _ = quenvale.flatten(source, colors=9, pin=pins)
        assert same_pixels(got, want), name
        got, _ = quenvale.flatten(source, colors=9, pin=[(255, 0, 255, 255), (0, 255, 255, 128)])
        assert same_pixels(got, want), name
    # One palette for several images: the host's --shared-palette, output by output.
    names = ["rgb8.png", "rgba8.png", "palette8.png"]
    shared = quenvale.shared_palette([Image.open(os.path.join(work, n)) for n in names], 12, pin=pins)
    assert shared.shape[1] == 4 and len(shared) <= 12 and shared[:2].tolist() == [[255, 0, 255, 255], [0, 255, 255, 128]]
    folder = tmp_path / "shared"
    folder.mkdir()
    run_host("--colors", "12", "--pin", str(pins), "--shared-palette", "--output-dir", str(folder),
             *[os.path.join(work, n) for n in names])
    for n in names:
        got, _ = quenvale.flatten(Image.open(os.path.join(work, n)), palette=shared)
        assert same_pixels(got, Image.open(folder / n)), n
    source = Image.open(os.path.join(work, "rgb8.png"))
    for kwargs in ({"palette": inks, "colors": 4}, {"palette": inks, "tolerance": 3}, {"pin": inks},
                   {"pin": inks, "colors": 3}, {"pin": inks, "colors": 9, "first_fit": True}, {"palette": []},
                   {"palette": [(1, 2, 300)]}):
        with pytest.raises(ValueError):
            quenvale.flatten(source, **kwargs)
    with pytest.raises(TypeError):
        quenvale.flatten(source, palette=[1, 2, 3])
    with pytest.raises(FileNotFoundError):
        quenvale.flatten(source, palette=tmp_path / "none.gpl")
    # Speck removal after the remap, and the SVG the host writes of the same result.
    want = host_output(tmp_path, "rgb8.png", work, "--remap", str(text), "--min-region", "6")
    got, palette = quenvale.flatten(source, palette=text, min_region=6)
    assert same_pixels(got, want) and int(palette.counts.sum()) == source.width * source.height
    run_host("--remap", str(text), "--min-region", "6", os.path.join(work, "rgb8.png"), str(tmp_path / "rgb8.svg"))
    assert quenvale.to_svg(got) == (tmp_path / "rgb8.svg").read_text()
    for kwargs in ({"min_region": 0}, {"min_region": 2**31}):
        with pytest.raises(ValueError):
            quenvale.flatten(source, **kwargs)
    (tmp_path / "bad.gpl").write_text("GIMP Palette\n1 2\n")
    with pytest.raises(quenvale.Error, match="line 2"):
        quenvale.flatten(source, palette=tmp_path / "bad.gpl")


def test_flatten_file_reads_and_writes_gif_and_warns_of_frames(tmp_path):
    if b"GIF" not in harness.run("--version").stdout:
        pytest.skip("this host was built without giflib (libgif-dev)")
    frames = [Image.new("P", (8, 6), i) for i in range(2)]
    for frame in frames:
        frame.putpalette([0, 0, 0, 255, 0, 0])
    animation = tmp_path / "two.gif"
    frames[0].save(animation, save_all=True, append_images=frames[1:], duration=100)
    with pytest.warns(UserWarning, match="only its first frame"):
        quenvale.flatten_file(animation, tmp_path / "out.gif", format="gif")
    assert Image.open(tmp_path / "out.gif").convert("RGB").getpixel((0, 0)) == (0, 0, 0)


def test_flatten_file_writes_what_the_host_writes(pngs, tmp_path):
    work, names = pngs
    for name, options, kwargs in [
        ("rgb8.png", [], {}),
        ("palette8.png", ["--colors", "12", "--fill", "mean"], {"colors": 12, "fill": "mean"}),
        ("grey16.png", ["--tolerance", "5"], {"tolerance": 5}),
        ("rgba8.png", ["--filter", "blur", "--format", "bmp"], {"filter": "blur", "format": "bmp"}),
        ("rgb8-key.png", ["--keep-encoding"], {"keep_encoding": True}),
        ("rgb8.png", ["--effort", "max", "--min-region", "4"], {"effort": "max", "min_region": 4}),
        ("palette8.png", ["--effort", "fast", "--format", "svg"], {"effort": "fast", "format": "svg"}),
    ]:
        theirs, ours = tmp_path / ("host-" + name), tmp_path / ("module-" + name)
        if "filter" not in kwargs:
            options += ["--palette", str(theirs) + ".json"]
            kwargs["palette"] = str(ours) + ".json"
        run_host(*options, os.path.join(work, name), str(theirs))
        quenvale.flatten_file(os.path.join(work, name), ours, **kwargs)
        assert ours.read_bytes() == theirs.read_bytes(), name
        if "palette" in kwargs:
            assert (tmp_path / ("module-" + name + ".json")).read_text().replace("module-", "host-") == \
                (tmp_path / ("host-" + name + ".json")).read_text(), name
    # One table of jobs, every storage the harness writes: the module's job
    # gives the host's bytes, palette and layers.
    for name in names:
        for options, kwargs in [(["--colors", "5"], {"colors": 5}), (["--tolerance", "40", "--fill", "mean"],
                                                                        {"tolerance": 40, "fill": "mean"})]:
            sides = {}
            for side in ("host", "module"):
                folder = tmp_path / ("%s-%s-%s" % (side, name, options[1]))
                (folder / "layers").mkdir(parents=True)
                out, palette = folder / ("out" + name[-4:]), folder / "palette.json"
                if side == "host":
                    run_host(*options, "--palette", str(palette), "--layers", str(folder / "layers"),
                             os.path.join(work, name), str(out))
                else:
                    quenvale.flatten_file(os.path.join(work, name), out, palette=palette, layers=folder / "layers",
                                          **kwargs)
                sides[side] = (out.read_bytes(), palette.read_text(),
                               {f: (folder / "layers" / f).read_bytes() for f in os.listdir(folder / "layers")})
            assert sides["module"] == sides["host"], (name, options)
    layers = tmp_path / "layers"
    layers.mkdir()
    quenvale.flatten_file(os.path.join(work, "rgb8.png"), tmp_path / "cut.png", colors=3, layers=layers)
    assert len(os.listdir(layers)) == len(quenvale.flatten(Image.open(os.path.join(work, "rgb8.png")), colors=3)[1])


def test_refusals_raise_what_they_say(pngs, tmp_path):
    work, _ = pngs
    array = numpy.zeros((4, 4, 3), numpy.uint8)
    for image, kind, words in [
        (array.astype(numpy.float32), TypeError, "uint8 or uint16"),
        (array.astype(numpy.int16), TypeError, "uint8 or uint16"),
        (array.astype(bool), TypeError, "uint8 or uint16"),
        (array.tolist(), TypeError, "numpy array"),
        (numpy.zeros(5, numpy.uint8), ValueError, "shape"),
        (numpy.zeros((2, 2, 5), numpy.uint8), ValueError, "H x W x 4"),
        (numpy.zeros((2, 2, 2, 3), numpy.uint8), ValueError, "shape"),
        (Image.new("CMYK", (2, 2)), TypeError, "mode"),
    ]:
        with pytest.raises(kind, match=words):
            quenvale.flatten(image)
        with pytest.raises(kind, match=words):
            quenvale.filter(image, "blur")
    for kwargs, words in [({"tolerance": 256}, "0 to 255"), ({"tolerance": -1}, "0 to 255"),
                          ({"colors": 0}, "colors"), ({"colors": 65537}, "colors"), ({"fill": "median"}, "fill")]:
        with pytest.raises(ValueError, match=words):
            quenvale.flatten(array, **kwargs)
    with pytest.raises(ValueError, match="unknown filter 'sharpen'"):
        quenvale.filter(array, "sharpen")
    for kwargs, words in [({"tolerance": 20, "colors": 8}, "not both"), ({"tolerance": 2**40}, "tolerance takes")]:
        with pytest.raises(ValueError, match=words):
            quenvale.flatten(array, **kwargs)
    keyed = Image.new("RGB", (2, 2))
    keyed.info["transparency"] = (300, 0, 0)
    with pytest.raises(ValueError, match="transparency"):
        quenvale.flatten(keyed)

    kept = tmp_path / "kept.png"
    kept.write_bytes(b"precious")
    broken = tmp_path / "broken.png"
    broken.write_bytes(open(os.path.join(work, "rgb8.png"), "rb").read()[:300])
    with pytest.raises(quenvale.Error, match="broken.png: "):
        quenvale.flatten_file(broken, kept)
    with pytest.raises(FileNotFoundError) as missing:
        quenvale.flatten_file(tmp_path / "missing.png", kept)
    assert missing.value.errno == 2 and missing.value.filename == str(tmp_path / "missing.png")
    with pytest.raises(OSError) as unwritable:
        quenvale.flatten_file(os.path.join(work, "rgb8.png"), tmp_path / "no" / "such" / "out.png")
    assert unwritable.value.errno == 2 and unwritable.value.filename.endswith("out.png")
    # The outputs are checked as one set before any work, as the host checks them.
    source = tmp_path / "source.png"
    source.write_bytes(open(os.path.join(work, "rgb8.png"), "rb").read())
    for extra, words in [({"palette": tmp_path / "no" / "p.gpl"}, "no such folder"),
                         ({"layers": tmp_path / "no", "colors": 4}, "no such folder"),
                         ({"palette": source, "palette_format": "txt"}, "is the input"),
                         ({"palette": kept, "palette_format": "txt"}, "would replace")]:
        with pytest.raises(quenvale.Error, match=words):
            quenvale.flatten_file(source, kept, **extra)
        assert source.read_bytes() == open(os.path.join(work, "rgb8.png"), "rb").read()
        assert not (tmp_path / "written.png").exists()
    # Every argument is checked here and named as the caller named it: a
    # value is never read as an option, nor edited in the message.
    for kwargs, kind, words in [({"tolerance": 30, "colors": 8}, ValueError, "give tolerance or colors, not both"),
                                ({"filter": "sharpen"}, ValueError, "filter takes one of"),
                                ({"tolerance": "5 --in-place"}, TypeError, "tolerance must be a whole number"),
                                ({"tolerance": 2**40}, ValueError, "tolerance takes a whole number from 0 to 255"),
                                ({"max_pixels": 0}, ValueError, "max_pixels"),
                                ({"filter": "blur", "colors": 4}, ValueError, "colors is for the flatten filter only"),
                                ({"palette_format": "txt"}, ValueError, "palette_format goes with palette")]:
        with pytest.raises(kind, match=words):
            quenvale.flatten_file(source, kept, **kwargs)
    with pytest.raises(TypeError):
        quenvale.flatten_file(3, kept)
    with pytest.raises(ValueError, match="UTF-8"):
        quenvale.flatten_file(os.fsdecode(b"\xff.png"), kept)
    assert kept.read_bytes() == b"precious"


def test_a_signal_mid_call_leaves_nothing_and_ctrl_c_stops_it(tmp_path):
    """SIGTERM during flatten_file removes its temporaries as the process
    ends; Ctrl-C stops the call at its next step (here, between layers),
    replaces nothing, and raises KeyboardInterrupt."""
    import signal
    import subprocess
    rng = numpy.random.default_rng(3)
    source = tmp_path / "many.png"
    Image.fromarray(rng.integers(0, 256, (1200, 1200, 3), dtype=numpy.uint8)).quantize(200).save(source)
    for number in (signal.SIGTERM, signal.SIGINT):
        work = tmp_path / ("run%d" % number)
        layers = work / "layers"
        layers.mkdir(parents=True)
        script = ("import sys, quenvale\nprint('calling', flush=True)\n"
                  "quenvale.flatten_file(%r, %r, colors=200, layers=%r)\n" % (str(source), str(work / "out.png"),
                                                                             str(layers)))
        child = subprocess.Popen([sys.executable, "-c", script], stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        assert child.stdout.readline() == b"calling\n"
        # Once the call is under way: its layers are being written.
        for _ in range(400):
            if any(name.startswith(".") or name.endswith(".png") for name in os.listdir(layers)):
                break
            time.sleep(0.01)
        child.send_signal(number)
        _, err = child.communicate(timeout=60)
        if number == signal.SIGTERM:
            assert child.returncode == -signal.SIGTERM
        else:
            # Raised once the call has stopped: the process ends as Python
            # ends it, never aborted with the call still running.
            assert b"KeyboardInterrupt" in err and child.returncode in (1, -signal.SIGINT), err[-500:]
        assert os.listdir(layers) == [] and os.listdir(work) == ["layers"], (number, os.listdir(layers)[:5])


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="an address-space limit is Linux's")
@pytest.mark.skipif("ASAN_OPTIONS" in os.environ, reason="a sanitizer's shadow memory needs more address space")
def test_memory_running_out_is_a_memory_error_naming_the_file(tmp_path):
    """A picture that memory cannot hold raises MemoryError with the file's
    name, as the job's error says memory ran out, and writes nothing."""
    import subprocess
    source = tmp_path / "wide.png"
    Image.new("RGB", (12000, 12000), (9, 99, 199)).save(source)  # 432 MB once decoded
    script = ("import resource, quenvale\n"
              "size = int(open('/proc/self/statm').read().split()[0]) * resource.getpagesize()\n"
              "resource.setrlimit(resource.RLIMIT_AS, (size + (200 << 20),) * 2)\n"
              "try:\n    quenvale.flatten_file(%r, %r)\n"
              "except MemoryError as error:\n    print('MemoryError', error)\n" % (str(source), str(tmp_path / "out.png")))
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, timeout=120)
    assert done.stdout.startswith(b"MemoryError " + str(source).encode() + b": not enough memory"), done
    assert sorted(os.listdir(tmp_path)) == ["wide.png"]


def test_threads_give_what_one_thread_gives():
    rng = numpy.random.default_rng(11)
    arrays = [rng.integers(0, 256, (120, 90, 3), dtype=numpy.uint8) // (i + 1) for i in range(16)]
    alone = [quenvale.flatten(a, 30) for a in arrays]
    with concurrent.futures.ThreadPoolExecutor(4) as pool:
        together = list(pool.map(lambda a: quenvale.flatten(a, 30), arrays))
        kernels = list(pool.map(lambda a: quenvale.filter(a, "darkest"), arrays))
    for (want, want_palette), (got, palette) in zip(alone, together):
        assert numpy.array_equal(want, got) and want_palette == palette
    for array, kernel in zip(arrays, kernels):
        assert numpy.array_equal(quenvale.filter(array, "darkest"), kernel)


@pytest.mark.filterwarnings("ignore::DeprecationWarning")
def test_a_dask_cluster_flattens_a_folder(tmp_path):
    distributed = pytest.importorskip("distributed")
    rng = numpy.random.default_rng(13)
    inputs = []
    for i in range(200):
        path = tmp_path / f"picture{i:03}.png"
        Image.fromarray(rng.integers(0, 256, (24, 32, 3), dtype=numpy.uint8) // (1 + i % 7)).save(path)
        inputs.append(path)
    (tmp_path / "out").mkdir()
    outputs = [tmp_path / "out" / path.name for path in inputs]
    # The README's recipe, on a local cluster of two worker processes.
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  dashboard_address=None) as cluster, distributed.Client(cluster) as client:
        futures = client.map(quenvale.flatten_file, [str(p) for p in inputs], [str(p) for p in outputs], colors=8)
        client.gather(futures)
    for path, out in zip(inputs, outputs):
        alone = tmp_path / "alone.png"
        quenvale.flatten_file(path, alone, colors=8)
        assert out.read_bytes() == alone.read_bytes(), path.name


def test_help_and_types():
    assert "tolerance" in quenvale.flatten.__doc__ and "kernels" in quenvale.filter.__doc__
    stub = os.path.join(os.path.dirname(quenvale.__file__), "__init__.pyi")
    assert os.path.exists(os.path.join(os.path.dirname(stub), "py.typed"))
    ast.parse(open(stub).read())
    assert issubclass(quenvale.Error, ValueError)
