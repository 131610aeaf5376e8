#!/usr/bin/env python3
"""The host on PNG and JPEG files written here by Pillow and ImageMagick.

Every output is read back with a small decoder of PNG's stored samples (so
16-bit values are seen whole) and compared, pixel by pixel, with a plain
first-fit walk over the decoded input; every chunk but the image data must
come through byte for byte. Usage: pictures_test.py [EMULATOR...] HOST.
Exit 77 when Pillow or ImageMagick is missing.
"""
import io
import os
import random
import re
import shutil
import struct
import subprocess
import sys
import tempfile
import zlib

try:
    from PIL import Image, ImageCms, PngImagePlugin
except ImportError:
    print("Pillow is missing: skipped")
    sys.exit(77)
CONVERT = "/usr/bin/convert" if os.path.exists("/usr/bin/convert") else shutil.which("convert")
if CONVERT is None:
    print("ImageMagick is missing: skipped")
    sys.exit(77)

HOST = sys.argv[1:]
SIGNATURE = b"\x89PNG\r\n\x1a\n"
CHANNELS = {0: 1, 2: 3, 3: 1, 4: 2, 6: 4}
ADAM7 = [(0, 0, 8, 8), (4, 0, 8, 8), (0, 4, 4, 8), (2, 0, 4, 4), (0, 2, 2, 4), (1, 0, 2, 2), (0, 1, 1, 2)]
failures = []


def check(condition, what):
    if not condition:
        failures.append(what)
        print("FAIL:", what)


def chunks_of(data):
    assert data[:8] == SIGNATURE
    found, at = [], 8
    while at < len(data):
        (length,) = struct.unpack(">I", data[at:at + 4])
        found.append((data[at + 4:at + 8], data[at:at + 12 + length]))
        at += 12 + length
        if found[-1][0] == b"IEND":
            break
    return found


def unfilter(kind, line, previous, step):
    for i in range(len(line)):
        left = line[i - step] if i >= step else 0
        up = previous[i]
        corner = previous[i - step] if i >= step else 0
        if kind == 1:
            line[i] = (line[i] + left) & 0xFF
        elif kind == 2:
            line[i] = (line[i] + up) & 0xFF
        elif kind == 3:
            line[i] = (line[i] + (left + up) // 2) & 0xFF
        elif kind == 4:
            p = left + up - corner
            pa, pb, pc = abs(p - left), abs(p - up), abs(p - corner)
            line[i] = (line[i] + (left if pa <= pb and pa <= pc else up if pb <= pc else corner)) & 0xFF


def read_png(path):
    """(header, pixels as tuples of stored samples, palette, chunks)"""
    data = open(path, "rb").read()
    chunks = chunks_of(data)
    width, height, depth, kind, _, _, interlace = struct.unpack(">IIBBBBB", chunks[0][1][8:21])
    raw = zlib.decompress(b"".join(c[8:-4] for t, c in chunks if t == b"IDAT"))
    channels = CHANNELS[kind]
    step = max(1, channels * depth // 8)
    pixels = [[None] * width for _ in range(height)]
    at = 0
    for x0, y0, dx, dy in ADAM7 if interlace else [(0, 0, 1, 1)]:
        columns, rows = (width - x0 + dx - 1) // dx, (height - y0 + dy - 1) // dy
        if columns == 0 or rows == 0:
            continue
        stride = (columns * channels * depth + 7) // 8
        previous = bytearray(stride)
        for r in range(rows):
            line = bytearray(raw[at + 1:at + 1 + stride])
            unfilter(raw[at], line, previous, step)
            at += 1 + stride
            previous = line
            if depth == 16:
                samples = [line[2 * i] << 8 | line[2 * i + 1] for i in range(columns * channels)]
            else:
                samples = [(line[i * depth // 8] >> (8 - depth - i * depth % 8)) & ((1 << depth) - 1)
                           for i in range(columns * channels)]
            for c in range(columns):
                pixels[y0 + r * dy][x0 + c * dx] = tuple(samples[c * channels:(c + 1) * channels])
    plte = [c[8:-4] for t, c in chunks if t == b"PLTE"]
    palette = [tuple(plte[0][i:i + 3]) for i in range(0, len(plte[0]), 3)] if plte else []
    return (width, height, depth, kind, interlace), pixels, palette, chunks


def colour(pixel, depth, kind, palette):
    """A pixel's colour as the flatten compares it, 8 bits a channel."""
    if kind == 3:
        return palette[pixel[0]] if pixel[0] < len(palette) else (0, 0, 0)
    samples = pixel[:1] * 3 if kind in (0, 4) else pixel[:3]
    if depth == 16:
        return tuple(s >> 8 for s in samples)
    if depth < 8:
        wide = []
        for s in samples:
            value, bits = 0, 0
            while bits < 8:
                value, bits = value << depth | s, bits + depth
            wide.append(value >> (bits - 8))
        return tuple(wide)
    return tuple(samples)


def stored_alpha(pixel, kind, trns):
    """A pixel's alpha where tRNS holds it in the stored value, else None."""
    if kind == 3:
        return trns[pixel[0]] if pixel[0] < len(trns) else 255
    if kind in (0, 2) and trns:
        return 0 if pixel == struct.unpack(f">{len(trns) // 2}H", trns)[:len(pixel)] else 255
    return None


def plain_groups(header, pixels, palette, tolerance=20, trns=b""):
    """The first-fit walk: columns, each from the bottom row up; a pixel
    joins the oldest founder within reach, and where tRNS holds alpha, only
    one of the same alpha. Returns the founders and each pixel's group."""
    width, height, depth, kind, _ = header
    cells = []
    group = [[None] * width for _ in range(height)]
    for x in range(width):
        for y in range(height - 1, -1, -1):
            pixel = pixels[y][x]
            c = colour(pixel, depth, kind, palette) + (stored_alpha(pixel, kind, trns),)
            for g, (cell, founder) in enumerate(cells):
                if cell[3] == c[3] and all(abs(a - b) <= tolerance for a, b in zip(cell[:3], c[:3])):
                    break
            else:
                g = len(cells)
                cells.append((c, pixel))
            group[y][x] = g
    return cells, group


def plain_flatten(header, pixels, palette, tolerance=20, trns=b""):
    """Each pixel takes its founder's stored value and keeps its own alpha."""
    kind = header[3]
    cells, group = plain_groups(header, pixels, palette, tolerance, trns)
    return [[cells[g][1][:-1] + pixel[-1:] if kind in (4, 6) else cells[g][1] for g, pixel in zip(gs, row)]
            for gs, row in zip(group, pixels)]


def plain_means(header, pixels, palette, tolerance=20, trns=b""):
    """Each pixel's colour at 8 bits when it takes its group's mean, rounded
    to nearest, stored at the picture's depth."""
    depth, kind = header[2], header[3]
    cells, group = plain_groups(header, pixels, palette, tolerance, trns)
    sums = [[0, 0, 0, 0] for _ in cells]
    for gs, row in zip(group, pixels):
        for g, pixel in zip(gs, row):
            for i, v in enumerate(colour(pixel, depth, kind, palette)):
                sums[g][i] += v
            sums[g][3] += 1
    means = [tuple((2 * s + n) // (2 * n) for s in (r, g, b)) for r, g, b, n in sums]
    if kind != 3 and depth < 8:
        # Grey of few bits: the sample nearest the mean, widened back.
        means = [colour(((m[0] * ((1 << depth) - 1) + 127) // 255,), depth, 0, []) for m in means]
    return [means[g] for gs in group for g in gs]


def run(*arguments, stdin=None):
    done = subprocess.run([*HOST, *arguments], input=stdin, capture_output=True)
    check(done.returncode in (0, 1, 2), f"{arguments}: exit {done.returncode}, {done.stderr[-300:]}")
    return done


def flatten_and_compare(work, name, what):
    """Runs the flatten on a PNG and checks pixels, encoding and chunks."""
    source = os.path.join(work, name)
    result = os.path.join(work, "flat-" + name)
    done = run("--keep-encoding", source, result)
    if done.returncode != 0:
        check(False, f"{what}: {done.stderr.decode()}")
        return
    header, pixels, palette, chunks = read_png(source)
    out_header, out_pixels, _, out_chunks = read_png(result)
    check(out_header == header, f"{what}: encoding {header} became {out_header}")
    trns = b"".join(c[8:-4] for t, c in chunks if t == b"tRNS")
    check(out_pixels == plain_flatten(header, pixels, palette, trns=trns), f"{what}: pixels differ from the plain walk")
    check([p[3] for p in rgba8(result)] == [p[3] for p in rgba8(source)], f"{what}: a pixel's alpha changed")
    kept = [c for t, c in chunks if t != b"IDAT"]
    check([c for t, c in out_chunks if t != b"IDAT"] == kept, f"{what}: chunks not carried byte for byte")
    Image.open(result).load()  # and Pillow reads it
    # The mean fill: the same groups, each at its mean, in the same encoding.
    run("--keep-encoding", "--fill", "mean", source, result)
    check(read_png(result)[0] == header, f"{what}: the mean fill changed the encoding")
    check([p[:3] for p in rgba8(result)] == plain_means(header, pixels, palette, trns=trns),
          f"{what}: mean colours differ from the plain walk's")
    check([p[3] for p in rgba8(result)] == [p[3] for p in rgba8(source)], f"{what}: the mean fill changed an alpha")


def rgba8(path):
    """A PNG's pixels as they decode at 8 bits a sample, tRNS applied."""
    (width, height, depth, kind, _), pixels, palette, chunks = read_png(path)
    trns = b"".join(c[8:-4] for t, c in chunks if t == b"tRNS")
    key = struct.unpack(f">{len(trns) // 2}H", trns) if kind in (0, 2) and trns else None
    out = []
    for row in pixels:
        for pixel in row:
            rgb = colour(pixel, depth, kind, palette)
            if kind == 3:
                alpha = trns[pixel[0]] if pixel[0] < len(trns) else 255
            elif kind in (4, 6):
                alpha = pixel[-1] >> 8 if depth == 16 else pixel[-1]
            else:
                alpha = 0 if key is not None and pixel == key[:len(pixel)] else 255
            out.append(rgb + (alpha,))
    return out


def smallest_encoding(colours, keep_header):
    """The colour type and depth the smallest PNG of these colours takes."""
    if keep_header[2] == 16:
        return keep_header[3], 16
    grey = all(r == g == b for r, g, b, _ in colours)
    opaque = all(a == 255 for *_, a in colours)
    grey_depth = next(d for d in (1, 2, 4, 8) if all(colour((r >> (8 - d),), d, 0, [])[0] == r for r, *_ in colours))
    index_depth = next((d for d in (1, 2, 4, 8) if len(colours) <= 1 << d), None)
    if grey and opaque and (index_depth is None or grey_depth <= index_depth):
        return 0, grey_depth
    if index_depth is not None:
        return 3, index_depth
    return (4, 8) if grey else (keep_header[3], keep_header[2])


def test_smallest_png_holds_the_same_pixels(work):
    """By default a PNG is written in the smallest encoding of its pixels;
    it decodes to exactly what --keep-encoding writes, whose chunks the
    flatten test checks."""
    for name in make_pngs(work):
        source = os.path.join(work, name)
        for name_of_filter in ("flatten", "gray", "threshold", "red", "blur"):
            small, kept = os.path.join(work, "small.png"), os.path.join(work, "kept.png")
            a = run("--filter", name_of_filter, source, small)
            b = run("--keep-encoding", "--filter", name_of_filter, source, kept)
            what = f"{name} {name_of_filter}"
            if a.returncode != 0 or b.returncode != 0:
                check(False, f"{what}: {a.stderr}{b.stderr}")
                continue
            pixels = rgba8(kept)
            check(rgba8(small) == pixels, f"{what}: the smallest PNG decodes to other pixels")
            header, keep_header = read_png(small)[0], read_png(kept)[0]
            if name_of_filter != "flatten" and read_png(source)[0][3] == keep_header[3] == 3:
                check([p[3] for p in pixels] == [p[3] for p in rgba8(source)], f"{what}: the palette's alpha is lost")
            expected = smallest_encoding(set(pixels), keep_header)
            check((header[3], header[2]) == expected, f"{what}: written as {header}, not as {expected}")
            check(header[4] == 0 or header[2] == 16, f"{what}: interlaced")
            Image.open(small).load()


def test_each_effort_holds_the_same_samples(work):
    """--effort fast, default and max write every colour type and depth,
    at widths around the filters' reach, to the same samples (libdeflate's
    path with the rows filtered here, or zlib's); max is the smallest."""
    names = make_pngs(work)
    rng = random.Random(11)
    for mode in ("L", "LA", "RGB", "RGBA", "I;16"):
        for width in (1, 2, 3, 5, 8, 9):
            image = Image.new(mode, (width, 4))
            top = 65535 if mode == "I;16" else 255  # 16-bit values of distinct top bytes: the flatten at 0 keeps them
            image.putdata([tuple((x * 37 + y * 11 + c * 5 + rng.randrange(3)) % 256 for c in range(len(mode)))
                           if len(mode) > 1 and mode != "I;16" else (x * 35 + y * 7 + rng.randrange(3)) % 256 * top // 255
                           for y in range(4) for x in range(width)])
            names.append(f"effort-{mode.replace(';', '')}-{width}.png")
            image.save(os.path.join(work, names[-1]))
    sizes = {}
    for effort in ("fast", "default", "max"):
        sizes[effort] = 0
        for name in names:
            source, out = os.path.join(work, name), os.path.join(work, "effort.png")
            done = run("--effort", effort, "--keep-encoding", "--tolerance", "0", source, out)
            same = done.returncode == 0 and read_png(out)[1] == read_png(source)[1]
            check(same, f"--effort {effort} {name}: other samples {done.stderr}")
            sizes[effort] += os.path.getsize(out) if same else 0
    check(sizes["max"] <= sizes["default"] <= sizes["fast"], f"--effort sizes {sizes}")
    check(run("--effort", "most", names[0], os.path.join(work, "x.png")).returncode == 2, "--effort most")

    # The smallest encoding at max, its palette maybe sorted, holds the
    # default's colours and alpha (a palette of over 16 entries, some clear).
    picture = test_picture(61, 47, 4).convert("RGBA")
    picture.putdata([(r, g, b, 0 if (r + g) % 7 == 0 else 255) for r, g, b, _ in picture.getdata()])
    source = os.path.join(work, "effort-sorted.png")
    picture.save(source)
    outs = [os.path.join(work, f"effort-sorted-{effort}.png") for effort in ("default", "max")]
    for effort, out in zip(("default", "max"), outs):
        run("--effort", effort, "--colors", "200", source, out)
    check(read_png(outs[1])[0][3] == 3 and pixels_rgba(outs[0]) == pixels_rgba(outs[1]) and
          os.path.getsize(outs[1]) <= os.path.getsize(outs[0]), "--effort max: other colours than the default's")

    # A profile stored at zlib's level 1: max compresses it again, with its
    # name and profile; other efforts, and --keep-encoding, carry it as stored.
    def profile_chunk(path):
        return next(c for t, c in chunks_of(open(path, "rb").read()) if t == b"iCCP")

    icc = ImageCms.ImageCmsProfile(ImageCms.createProfile("sRGB")).tobytes()
    source, out = os.path.join(work, "effort-icc.png"), os.path.join(work, "effort-icc-out.png")
    Image.new("RGB", (9, 7), (200, 10, 10)).save(source, icc_profile=icc)
    blob = open(source, "rb").read()
    stored = profile_chunk(source)
    loose = b"ICC Profile\0\0" + zlib.compress(icc, 1)
    loose = struct.pack(">I", len(loose)) + b"iCCP" + loose + struct.pack(">I", zlib.crc32(b"iCCP" + loose))
    open(source, "wb").write(blob.replace(stored, loose))
    # (A host without libdeflate carries every profile as stored.)
    deflate = os.environ.get("QUENVALE_HOST_DEFLATE") == "1"
    if not deflate:
        print("SKIP: profiles compressed again at max: the host has no libdeflate")
    for options, remade in [(["--effort", "max"], deflate), ([], False), (["--effort", "max", "--keep-encoding"], False)]:
        done = run(*options, source, out)
        chunk = profile_chunk(out) if done.returncode == 0 else b""
        body = chunk[8:-4]
        check(body[:13] == b"ICC Profile\0\0" and zlib.decompress(body[13:]) == icc and
              (len(chunk) < len(loose) if remade else chunk == loose), f"{options}: profile chunk {chunk[:40]}")
    # Profiles that cannot be inflated (cut short, no name's end, another
    # method) are carried as stored at max too.
    for name, broken in [("cut", b"ICC Profile\0\0" + zlib.compress(icc, 1)[:-40]),
                         ("unnamed", b"x" * 90), ("method", b"ICC Profile\0\1" + zlib.compress(icc, 1))]:
        broken = struct.pack(">I", len(broken)) + b"iCCP" + broken + struct.pack(">I", zlib.crc32(b"iCCP" + broken))
        open(source, "wb").write(blob.replace(stored, broken))
        done = run("--effort", "max", source, out)
        check(done.returncode == 0 and profile_chunk(out) == broken, f"{name} profile: {done.stderr}")


def filtered(rows, step, rng):
    """Rows as PNG image data, each under a filter drawn at random."""
    data, previous = bytearray(), bytearray(len(rows[0]))
    for row in rows:
        kind = rng.randrange(5)
        line = bytearray(row)
        for i in range(len(row)):
            left = row[i - step] if i >= step else 0
            up, corner = previous[i], previous[i - step] if i >= step else 0
            p = left + up - corner
            pa, pb, pc = abs(p - left), abs(p - up), abs(p - corner)
            predicted = [0, left, up, (left + up) // 2, left if pa <= pb and pa <= pc else up if pb <= pc else corner][kind]
            line[i] = (row[i] - predicted) & 0xFF
        data += bytes([kind]) + line
        previous = row
    return bytes(data)


def test_png_rows_read_under_every_filter(work):
    """Every colour type and depth, at widths around the filters' reach,
    under every filter and with the image data split over IDATs, reads
    to its samples (libdeflate's path, unfiltered here, or libspng's);
    damaged image data is judged as libspng judges it."""
    rng = random.Random(5)

    def chunk(kind, body):
        return struct.pack(">I", len(body)) + kind + body + struct.pack(">I", zlib.crc32(kind + body))

    def png(width, height, depth, kind, data, pieces=1, after=b""):
        entries = range(1 << depth) if kind == 3 else []
        palette = chunk(b"PLTE", b"".join(bytes([i, i * 3 & 0xFF, i * 7 & 0xFF]) for i in entries)) if entries else b""
        cut = [len(data) * i // pieces for i in range(pieces + 1)]
        image = b"".join(chunk(b"IDAT", data[cut[i]:cut[i + 1]]) for i in range(pieces))
        return (SIGNATURE + chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, depth, kind, 0, 0, 0)) + palette +
                image + after + chunk(b"IEND", b""))

    def outcome(name, blob):
        source, out = os.path.join(work, name), os.path.join(work, "rows-out.png")
        open(source, "wb").write(blob)
        done = run("--keep-encoding", "--tolerance", "0", source, out)
        return done, read_png(out)[1] if done.returncode == 0 else None

    for kind, depth in [(0, 1), (0, 2), (0, 4), (0, 8), (0, 16), (2, 8), (2, 16), (3, 1), (3, 2), (3, 4), (3, 8),
                        (4, 8), (4, 16), (6, 8), (6, 16)]:
        channels = CHANNELS[kind]
        for width in (1, 2, 3, 5, 8, 9):
            height = 5
            # 16-bit samples whose low byte follows the high one, so that the
            # flatten at 0 keeps them and a swapped pair shows.
            samples = [[rng.randrange(1 << min(depth, 8)) for _ in range(width * channels)] for _ in range(height)]
            if depth == 16:
                rows = [b"".join(bytes([s, (s * 37 + 11) & 0xFF]) for s in line) for line in samples]
            else:
                rows = []
                for line in samples:
                    bits = "".join(format(s, f"0{depth}b") for s in line)
                    bits += "0" * (-len(bits) % 8)
                    rows.append(bytes(int(bits[i:i + 8], 2) for i in range(0, len(bits), 8)))
            data = zlib.compress(filtered(rows, max(1, channels * depth // 8), rng))
            name = f"rows-{kind}-{depth}-{width}.png"
            done, got = outcome(name, png(width, height, depth, kind, data, pieces=1 + width % 3))
            want = [[tuple(line[x * channels:(x + 1) * channels]) if depth != 16 else
                     tuple(s << 8 | (s * 37 + 11) & 0xFF for s in line[x * channels:(x + 1) * channels])
                     for x in range(width)] for line in samples]
            check(got == want, f"{name}: other samples, {done.stderr}")

    # The damage libspng lets pass (data past the last row, an IDAT past
    # the stream's end) and the damage it refuses.
    width, height = 9, 6
    rows = [bytes(rng.randrange(256) for _ in range(width * 3)) for _ in range(height)]
    raw = filtered(rows, 3, rng)
    good = zlib.compress(raw)
    _, want = outcome("rows-good.png", png(width, height, 8, 2, good))
    for name, blob in [("past-rows", png(width, height, 8, 2, zlib.compress(raw + bytes(40)))),
                       ("idat-past-end", png(width, height, 8, 2, good, after=chunk(b"IDAT", b"\0\1")))]:
        done, got = outcome(f"rows-{name}.png", blob)
        check(done.returncode == 0 and got == want, f"{name}: exit {done.returncode}, {done.stderr}")
    bad_filter = bytearray(raw)
    bad_filter[(width * 3 + 1) * 2] = 5
    for name, blob in [("adler", png(width, height, 8, 2, good[:-4] + bytes(4))),
                       ("short", png(width, height, 8, 2, zlib.compress(raw[:-10]))),
                       ("cut", png(width, height, 8, 2, good[:len(good) // 2])),
                       ("filter-5", png(width, height, 8, 2, zlib.compress(bytes(bad_filter)))),
                       ("idat-after-text", png(width, height, 8, 2, good,
                                               after=chunk(b"tEXt", b"a\0b") + chunk(b"IDAT", good))),
                       ("critical-after", png(width, height, 8, 2, good, after=chunk(b"QUUX", b"")))]:
        done, _ = outcome(f"rows-{name}.png", blob)
        check(done.returncode == 1 and b"damaged PNG" in done.stderr, f"{name}: exit {done.returncode}, {done.stderr}")

    # Image data beyond a byte a pixel and a MiB is streamed by libspng
    # from where its chunks ended, not copied whole: it reads to its samples.
    width, height = 700, 500
    highs = [rng.randbytes(width * 3) for _ in range(height)]
    data = zlib.compress(b"".join(b"\0" + bytes(b for s in line for b in (s, (s * 37 + 11) & 0xFF)) for line in highs))
    check(len(data) > max(width * height, 1 << 20), f"the streamed case holds only {len(data)} bytes")
    done, got = outcome("rows-streamed.png", png(width, height, 16, 2, data, pieces=3))
    want = [[tuple(s << 8 | (s * 37 + 11) & 0xFF for s in line[x * 3:x * 3 + 3]) for x in range(width)] for line in highs]
    check(got == want, f"rows-streamed.png: other samples, {done.stderr}")


def with_chunk(path, kind, data, before=b"IDAT"):
    """Inserts a chunk before the first chunk of a type."""
    blob = open(path, "rb").read()
    chunk = struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))
    at = blob.index(before) - 4
    open(path, "wb").write(blob[:at] + chunk + blob[at:])


def test_picture(width=37, height=29, seed=7):
    """A picture with flat areas, gradients and noise: the flatten has
    cells to merge and to keep apart."""
    rng = random.Random(seed)
    image = Image.new("RGB", (width, height))
    image.putdata([((x * 9) % 256, (y * 13) % 256, rng.randrange(0, 256, 17) if (x + y) % 3 else 40)
                   for y in range(height) for x in range(width)])
    return image


def make_pngs(work):
    """Every colour type and depth, interlaced and not, with a spread of
    ancillary chunks; returns their names."""
    picture = test_picture()
    grey = picture.convert("L")
    alpha = Image.linear_gradient("L").resize(picture.size)
    info = PngImagePlugin.PngInfo()
    info.add_text("Title", "flat")
    info.add_text("Comment", "compressed " * 20, zip=True)
    info.add_itxt("Author", "Quenvale", lang="en", tkey="Auteur")
    icc = ImageCms.ImageCmsProfile(ImageCms.createProfile("sRGB")).tobytes()
    exif = Image.Exif()
    exif[0x010F] = "Quenvale"
    names = []

    def pillow(name, image, **options):
        image.save(os.path.join(work, name), **options)
        names.append(name)

    pillow("rgb8.png", picture, pnginfo=info, icc_profile=icc, exif=exif.tobytes(), dpi=(300, 300))
    rgba = picture.copy()
    rgba.putalpha(alpha)
    pillow("rgba8.png", rgba)
    pillow("grey8.png", grey, pnginfo=info)
    grey_alpha = grey.copy()
    grey_alpha.putalpha(alpha)
    pillow("greyalpha8.png", grey_alpha)
    pillow("grey1.png", grey.convert("1"))
    pillow("grey16.png", Image.eval(grey, lambda v: v).convert("I").point(lambda v: v * 257 + 3).convert("I;16"))
    pillow("palette8.png", picture.quantize(200), transparency=3)
    pillow("grey8-key.png", grey, transparency=grey.getpixel((3, 4)))
    grey16 = grey.convert("I").point(lambda v: v * 257 + 5).convert("I;16")
    pillow("grey16-key.png", grey16)
    with_chunk(os.path.join(work, "grey16-key.png"), b"tRNS", struct.pack(">H", grey16.getpixel((6, 2))))
    # Near-white entries of every alpha: an opaque pixel must not join a
    # transparent founder, nor lend it its colour.
    whites = Image.new("P", picture.size)
    whites.putpalette([255, 255, 255, 242, 242, 242, 250, 250, 250, 240, 240, 240, 30, 30, 30, 20, 20, 20])
    whites.putdata([(x * 7 + y * 3 + (x * y) % 5) % 6 for y in range(picture.height) for x in range(picture.width)])
    pillow("palette-alpha.png", whites, transparency=bytes([0, 255, 128, 0, 255, 64]))
    pillow("rgb8-key.png", picture, transparency=picture.getpixel((5, 6)))
    pillow("palette4.png", picture.quantize(16), bits=4)
    pillow("palette2.png", picture.quantize(4), bits=2)
    pillow("palette1.png", picture.quantize(2), bits=1)

    def magick(name, source, *options, prefix=""):
        subprocess.run([CONVERT, os.path.join(work, source), *options, prefix + os.path.join(work, name)], check=True)
        names.append(name)

    magick("rgb16.png", "rgb8.png", "-depth", "16", "-evaluate", "add", "0.3%", prefix="PNG48:")
    shutil.copy(os.path.join(work, "rgb16.png"), os.path.join(work, "rgb16-key.png"))
    key = read_png(os.path.join(work, "rgb16.png"))[1][4][9]
    with_chunk(os.path.join(work, "rgb16-key.png"), b"tRNS", struct.pack(">3H", *key))
    names.append("rgb16-key.png")
    magick("rgba16-interlaced.png", "rgba8.png", "-depth", "16", "-interlace", "PNG", prefix="PNG64:")
    magick("greyalpha16.png", "greyalpha8.png", "-depth", "16", "-evaluate", "add", "0.2%",
           "-define", "png:color-type=4")
    magick("grey2.png", "grey8.png", "-posterize", "4", "-colorspace", "gray", "-depth", "2")
    magick("grey4-interlaced.png", "grey8.png", "-posterize", "16", "-colorspace", "gray", "-depth", "4",
           "-interlace", "PNG")
    magick("rgb8-interlaced.png", "rgb8.png", "-interlace", "PNG")
    magick("palette8-interlaced.png", "palette8.png", "-interlace", "PNG", prefix="PNG8:")
    # A private chunk the encoder knows nothing of, before and after the data.
    with_chunk(os.path.join(work, "rgb8.png"), b"quVa", b"private bytes")
    with_chunk(os.path.join(work, "grey8.png"), b"quVz", b"after", before=b"IEND")
    return names


def test_flatten_keeps_every_encoding(work):
    for name in make_pngs(work):
        header = read_png(os.path.join(work, name))[0]
        flatten_and_compare(work, name, f"{name} {header}")


def pixels_rgba(path):
    return list(Image.open(path).convert("RGBA").getdata())


def test_bmp_and_png_agree(work):
    """One picture as BMP and as PNG gives the same pixels, for every filter."""
    filters = ["flatten", "red", "green", "blue", "gray", "threshold", "blur", "darkest"]
    picture = test_picture(23, 19, 3)
    for mode, image in (("RGB", picture), ("P", picture.quantize(60)), ("L", picture.convert("L"))):
        image.save(os.path.join(work, "same.png"))
        image.save(os.path.join(work, "same.bmp"))
        for name in filters:
            a = run("--keep-encoding", "--filter", name, os.path.join(work, "same.png"),
                    os.path.join(work, "same-out.png"))
            b = run("--filter", name, os.path.join(work, "same.bmp"), os.path.join(work, "same-out.bmp"))
            check(a.returncode == 0 and b.returncode == 0, f"{mode} {name}: {a.stderr}{b.stderr}")
            if a.returncode == 0 and b.returncode == 0:
                check(pixels_rgba(os.path.join(work, "same-out.png")) == pixels_rgba(os.path.join(work, "same-out.bmp")),
                      f"{mode} {name}: the PNG's result differs from the BMP's")
                kind = read_png(os.path.join(work, "same-out.png"))[0][3]
                expected = {"RGB": 2, "P": 2 if name == "blur" else 3, "L": 0 if name not in ("red", "green", "blue") else 2}
                check(kind == expected[mode], f"{mode} {name}: colour type {kind}, not {expected[mode]}")
        # The mean fill, which the library's call does not do, reads a bitmap
        # as a picture: the same means as from the PNG, written as either.
        means = [os.path.join(work, "mean" + e) for e in (".png", ".bmp", "-bmp.png", "-bmp.bmp")]
        for source, out in zip(("same.png", "same.png", "same.bmp", "same.bmp"), means):
            done = run("--fill", "mean", os.path.join(work, source), out)
            check(done.returncode == 0, f"{mode} --fill mean {source} to {out}: {done.stderr}")
        check(all(pixels_rgba(out) == pixels_rgba(means[0]) for out in means[1:]), f"{mode}: means differ by format")
    # A bitmap written as PNG is filtered in memory: the same pixels as the
    # bitmap the library writes, RLE streams and palettes included.
    rle = os.path.join(work, "same-rle.bmp")
    subprocess.run([CONVERT, os.path.join(work, "same.png"), "-colors", "40", "-compress", "RLE", "BMP3:" + rle],
                   check=True)
    for source in (rle, os.path.join(work, "same.bmp")):
        for name in filters:
            a = run("--filter", name, source, os.path.join(work, "from-bmp.png"))
            b = run("--filter", name, source, os.path.join(work, "from-bmp.bmp"))
            check(a.returncode == 0 and b.returncode == 0 and
                  pixels_rgba(os.path.join(work, "from-bmp.png")) == pixels_rgba(os.path.join(work, "from-bmp.bmp")),
                  f"{source} {name}: the PNG differs from the bitmap {a.stderr}{b.stderr}")


def test_bitmap_to_png_says_what_bitmap_to_bitmap_says(work):
    """A bitmap written as PNG is read as the library reads it: with -v the
    same counter lines and messages as the same bitmap written as a bitmap,
    and for a refused one the same reason on standard error."""
    good = os.path.join(work, "same.bmp")
    data = open(good, "rb").read()
    cut = os.path.join(work, "cut.bmp")
    open(cut, "wb").write(data[:len(data) // 2])
    bad = os.path.join(work, "bad.bmp")
    open(bad, "wb").write(b"BM" + b"x" * 60)
    for source in (good, cut, bad):
        for name in ("flatten", "gray", "blur"):
            as_bmp = run("-v", "--filter", name, source, os.path.join(work, "said.bmp"))
            as_png = run("-v", "--filter", name, source, os.path.join(work, "said.png"))
            check(as_bmp.stdout == as_png.stdout and as_bmp.returncode == as_png.returncode and
                  as_bmp.stderr.replace(b"said.bmp", b"said.png") == as_png.stderr,
                  f"{source} {name}: {as_bmp.stdout!r} {as_bmp.stderr!r} against {as_png.stdout!r} {as_png.stderr!r}")


def test_colors_choose_the_tolerance(work):
    """--colors --first-fit flattens at the tolerance -v names: at most that
    many colours there, more at the one below; the same for PNG and BMP.
    --colors alone chooses at most that many of the picture's own colours
    (fully transparent pixels one of them), each pixel the nearest in RGBA,
    and a palette PNG holds them."""
    picture = test_picture(40, 30, 9)
    # Alpha in the stored value keeps pixels apart: those count too.
    keyed = dict(transparency=picture.getpixel((2, 3)))
    quantized = picture.quantize(40)
    alphas = dict(transparency=bytes(range(0, 256, 7)))
    for name, image, options in (("count.png", picture, {}), ("count.bmp", picture, {}),
                                 ("count-key.png", picture, keyed), ("count-alpha.png", quantized, alphas)):
        source = os.path.join(work, name)
        image.save(source, **options)
        out, again = os.path.join(work, "count-out" + name[-4:]), os.path.join(work, "count-again" + name[-4:])
        seen = set(pixels_rgba(source))
        for asked in (1, 4, 16, 100):
            done = run("-v", "--colors", str(asked), source, out)
            chosen = set(pixels_rgba(out))
            check(done.returncode == 0 and f"chosen (--colors {asked})" in done.stdout.decode() and
                  chosen <= seen and len(chosen) <= asked, f"{name} --colors {asked}: {len(chosen)} chosen")
            for before, after in zip(pixels_rgba(source), pixels_rgba(out)):
                if before[3] == 0 and after[3] == 0 and asked > 1:
                    continue  # the transparent pixels' one entry
                gap = sum((a - b) ** 2 for a, b in zip(before, after))
                if any(sum((a - b) ** 2 for a, b in zip(before, c)) < gap for c in chosen):
                    check(False, f"{name} --colors {asked}: {before} took {after}, not its nearest")
                    break
            check(name.endswith(".bmp") or read_png(out)[0][3] in (0, 3), f"{name} --colors {asked}: neither palette nor grey")
            done = run("-v", "--colors", str(asked), "--first-fit", source, out)
            said = [line for line in done.stdout.decode().splitlines() if "tolerance" in line]
            check(done.returncode == 0 and len(said) == 1, f"{name} --colors {asked}: {done.stdout} {done.stderr}")
            if not said:
                continue
            import re
            tolerance, colours = map(int, re.search(r"tolerance (\d+) gives (\d+)", said[0]).groups())
            reached = not said[0].split(": ", 1)[1].startswith("no tolerance")
            run("--tolerance", str(tolerance), source, again)
            check(open(out, "rb").read() == open(again, "rb").read(), f"{name} --colors {asked}: not the flatten at {tolerance}")
            # An entry is a colour of one alpha; fully transparent pixels are no colour.
            written = len(set(p for p in pixels_rgba(out) if p[3] != 0))
            check(written == colours and (colours <= asked) == reached and (reached or tolerance == 255),
                  f"{name} --colors {asked}: {said[0]}, {written} written")
            if tolerance > 0:
                run("--tolerance", str(tolerance - 1), source, again)
                check(len(set(p for p in pixels_rgba(again) if p[3] != 0)) > asked,
                      f"{name} --colors {asked}: {tolerance - 1} fits too")
    for wrong in (["--colors", "0"], ["--colors", "65537"], ["--colors", "4", "--tolerance", "3"],
                  ["--colors", "4", "--filter", "gray"], ["--first-fit"]):
        check(run(*wrong, source, out).returncode == 2, f"{wrong} is a usage error")


def test_remap(work):
    """--remap FILE: every pixel the nearest of FILE's colours (RGBA, the
    lower index on a tie; fully transparent pixels the first transparent
    one), a palette PNG in FILE's order; from every palette format, a
    written palette read back gives its picture again, and damaged files
    are refused by their line, touching no output."""
    import json
    picture = test_picture(33, 21, 5)
    alphas = dict(transparency=bytes(range(0, 256, 9)))
    inks = [(0, 0, 0, 255), (255, 255, 255, 255), (255, 0, 0, 255), (0, 255, 0, 255), (0, 0, 255, 255),
            (255, 255, 0, 255), (255, 128, 0, 255), (40, 40, 40, 128), (9, 9, 9, 0)]
    files = {
        "inks.txt": "".join("#%02x%02x%02x%02x\n" % (r, g, b, a) for r, g, b, a in inks),
        "inks.json": json.dumps({"colors": [{"rgb": [r, g, b], "alpha": a} for r, g, b, a in inks]}),
        "opaque.gpl": "GIMP Palette\nName: inks\n#\n" + "".join("%d %d %d\tink\n" % c[:3] for c in inks[:7]),
    }
    act = bytearray(772)
    for i, (r, g, b, a) in enumerate(inks[:7]):
        act[3 * i:3 * i + 3] = bytes((r, g, b))
    act[768:772] = bytes((0, 7, 0xFF, 0xFF))
    for name, text in files.items():
        open(os.path.join(work, name), "w").write(text)
    open(os.path.join(work, "inks.act"), "wb").write(bytes(act))
    for source_name, image, options in (("remap.png", picture, {}), ("remap.bmp", picture, {}),
                                        ("remap-alpha.png", picture.quantize(60), alphas)):
        source = os.path.join(work, source_name)
        image.save(source, **options)
        for palette in ("inks.txt", "inks.json", "opaque.gpl", "inks.act"):
            given = inks if palette.startswith("inks.t") or palette.endswith(".json") else [c[:3] + (255,) for c in inks[:7]]
            out = os.path.join(work, "remapped.png")
            done = run("-v", "--remap", os.path.join(work, palette), source, out)
            check(done.returncode == 0 and b"mapped to the %d colours" % len(given) in done.stdout,
                  f"{source_name} --remap {palette}: {done.stderr}")
            header, _, plte, _ = read_png(out)
            check(header[3] == 3 and plte == [c[:3] for c in given], f"{source_name} --remap {palette}: not a palette PNG in the file's order")
            clear = next((c for c in given if c[3] == 0), None)
            for before, after in zip(pixels_rgba(source), pixels_rgba(out)):
                if before[3] == 0 and clear is not None:
                    want = clear
                else:
                    want = min(given, key=lambda c: (sum((a - b) ** 2 for a, b in zip(before, c)), given.index(c)))
                if after != want:
                    check(False, f"{source_name} --remap {palette}: {before} took {after}, not {want}")
                    break
        # A palette the run writes, read back, gives the run's picture again.
        for written in ("back.json", "back.gpl", "back.txt"):
            out, again = os.path.join(work, "first.png"), os.path.join(work, "again.png")
            run("--colors", "12", "--palette", os.path.join(work, written), source, out)
            done = run("--remap", os.path.join(work, written), out, again)
            seen = lambda path: [p if p[3] else (0, 0, 0, 0) for p in pixels_rgba(path)]  # transparent is transparent
            check(done.returncode == 0 and seen(out) == seen(again) or
                  (written == "back.gpl" and "alpha" in source_name), f"{source_name} {written}: not the same picture {done.stderr}")
    # --pin: the pinned colours first, in order; the rest the picture's own; each pixel its nearest.
    open(os.path.join(work, "pin.txt"), "w").write("#ff00ff\n#00ffff80\n")
    for source_name in ("remap.png", "remap.bmp", "remap-alpha.png"):
        source, out = os.path.join(work, source_name), os.path.join(work, "pinned.png")
        done = run("-v", "--colors", "8", "--pin", os.path.join(work, "pin.txt"), source, out)
        check(done.returncode == 0 and b"2 pinned" in done.stdout, f"{source_name} --pin: {done.stderr}")
        header, _, plte, chunks = read_png(out)
        trns = next((c[8:-4] for t, c in chunks if t == b"tRNS"), b"")
        entries = [p + (trns[i] if i < len(trns) else 255,) for i, p in enumerate(plte)]
        seen = set(pixels_rgba(source))
        check(header[3] == 3 and len(entries) <= 8 and entries[:2] == [(255, 0, 255, 255), (0, 255, 255, 128)] and
              all(e in seen or e[3] == 0 for e in entries[2:]), f"{source_name} --pin: {entries}")
        for before, after in zip(pixels_rgba(source), pixels_rgba(out)):
            clear = next((e for e in entries if e[3] == 0), None)
            want = clear if before[3] == 0 and clear else min(entries, key=lambda c: (sum((a - b) ** 2 for a, b in zip(before, c)), entries.index(c)))
            if after != want:
                check(False, f"{source_name} --pin: {before} took {after}, not {want}")
                break
    for wrong in (["--pin", "pin.txt"], ["--colors", "1", "--pin", "pin.txt"], ["--colors", "4", "--first-fit", "--pin", "pin.txt"],
                  ["--colors", "4", "--pin", "pin.txt", "--remap", "pin.txt"]):
        wrong = [os.path.join(work, w) if w == "pin.txt" else w for w in wrong]
        check(run(*wrong, source, out).returncode == 2, f"{wrong} is a usage error")
    # --shared-palette: one palette over every input, the same PNG palette in
    # every output whatever --jobs is, each pixel the nearest of it.
    frames = []
    for i in range(3):
        frame = os.path.join(work, f"frame{i}.png")
        test_picture(29, 17, 11 + i).save(frame)
        frames.append(frame)
    frames.append(os.path.join(work, "remap.bmp"))
    palettes = {}
    for jobs in ("1", "4"):
        folder = os.path.join(work, "shared" + jobs)
        os.mkdir(folder)
        done = run("--colors", "10", "--shared-palette", "-j", jobs, "--output-dir", folder, *frames)
        check(done.returncode == 0, f"--shared-palette -j {jobs}: {done.stderr}")
        outputs = [os.path.join(folder, os.path.basename(f)) for f in frames]
        palettes[jobs] = [open(out, "rb").read() for out in outputs[:3]]
        plte = [read_png(out)[2] for out in outputs[:3]]
        union = set()
        for f in frames:
            union |= set(pixels_rgba(f))
        entries = [c + (255,) for c in plte[0]]
        check(plte[0] == plte[1] == plte[2] and len(entries) <= 10 and set(entries) <= union,
              f"--shared-palette: {plte}")
        for source, out in zip(frames, outputs):
            for before, after in zip(pixels_rgba(source), pixels_rgba(out)):
                want = min(entries, key=lambda c: (sum((a - b) ** 2 for a, b in zip(before, c)), entries.index(c)))
                if after != want:
                    check(False, f"--shared-palette {source}: {before} took {after}, not {want}")
                    break
    check(palettes["1"] == palettes["4"], "--shared-palette: -j 1 and -j 4 differ")
    # Its one palette file lists the PNGs' palette, and remaps each input to its output.
    folder, listed = os.path.join(work, "shared-file"), os.path.join(work, "shared.txt")
    os.mkdir(folder)
    done = run("--colors", "10", "--shared-palette", "--palette", listed, "--output-dir", folder, *frames)
    written = [tuple(int(line[i:i + 2], 16) for i in (1, 3, 5)) for line in open(listed).read().split()]
    check(done.returncode == 0 and written == read_png(os.path.join(folder, "frame0.png"))[2],
          f"--shared-palette --palette: {written} {done.stderr}")
    again = os.path.join(work, "again.png")
    run("--remap", listed, frames[1], again)
    check(pixels_rgba(again) == pixels_rgba(os.path.join(folder, "frame1.png")), "the shared palette remaps an input to its output")
    done = run("--colors", "4", "--shared-palette", "--palette", frames[0], "--palette-format", "txt",
               "--output-dir", folder, *frames[:2])
    check(done.returncode == 2 and b"would replace" in done.stderr, f"a shared palette over an input: {done.stderr}")
    gif = os.path.join(work, "not.gif")
    open(gif, "wb").write(b"GIF89a" + bytes(20))
    done = run("--colors", "4", "--shared-palette", "--output-dir", os.path.join(work, "shared1"), frames[0], gif)
    check(done.returncode == 1 and b"not.gif" in done.stderr, f"--shared-palette with a GIF: {done.stderr}")
    for wrong in (["--shared-palette"], ["--colors", "4", "--first-fit", "--shared-palette"]):
        check(run(*wrong, frames[0], os.path.join(work, "x.png")).returncode == 2, f"{wrong} is a usage error")
    # Each format read exactly: the palette PNG's PLTE and tRNS are the file's colours in order.
    dot = os.path.join(work, "dot.png")
    test_picture(1, 1, 3).save(dot)
    act = bytearray(772)
    act[0:9] = bytes((1, 2, 3, 4, 5, 6, 7, 8, 9))
    act[768:772] = bytes((0, 3, 0, 1))
    formats = {
        "read.gpl": (b"GIMP Palette\r\nName: x\r\nColumns: 4\r\n# note\r\n 16  32  48\tdeep\r\n"
                     b"255 128 0\t#ff8000 alpha 128 9 px\r\n# 5 fully transparent pixels, no colour\r\n",
                     [(16, 32, 48, 255), (255, 128, 0, 128), (0, 0, 0, 0)]),
        "read.json": (b'{"name": "x", "nested": {"a": [1, {"b": null}, -2.5e3, true]}, "colors": [{"hex": "#102030"},'
                      b' {"rgb": [1, 2, 3], "alpha": 4, "extra": "s\\"q\\u00e9"}], "transparent": 3}',
                      [(16, 32, 48, 255), (1, 2, 3, 4), (0, 0, 0, 0)]),
        "read.txt": (b"#AbCdEf\n\n  102030ff  \n", [(171, 205, 239, 255), (16, 32, 48, 255)]),
        "read.act": (bytes(act), [(1, 2, 3, 255), (4, 5, 6, 0), (7, 8, 9, 255)]),
    }
    for name, (text, want) in formats.items():
        path, out = os.path.join(work, name), os.path.join(work, "dot-out.png")
        open(path, "wb").write(text)
        done = run("--remap", path, dot, out)
        _, _, plte, chunks = read_png(out) if done.returncode == 0 else (None, None, [], [])
        trns = next((c[8:-4] for t, c in chunks if t == b"tRNS"), b"")
        got = [p + (trns[i] if i < len(trns) else 255,) for i, p in enumerate(plte)]
        check(got == want, f"--remap {name}: {got}, not {want} {done.stderr}")
    damaged_more = {"open.json": ('{"colors": [{"hex": "#000000}]}', "line 1"),
                    "after.json": ('{"colors": [{"hex": "#000000"}]} x', "more text"),
                    "byte.gpl": ("GIMP Palette\n1 2 256\n", "line 2"), "nogimp.gpl": ("1 2 3\n", "line 1"),
                    "count.act": ("\0" * 768 + "\0\0\xff\xff", "0 colours")}
    for name, (text, said) in damaged_more.items():
        path = os.path.join(work, name)
        open(path, "w", encoding="latin-1").write(text)
        done = run("--remap", path, dot, os.path.join(work, "dot-out.png"))
        check(done.returncode == 2 and said in done.stderr.decode(), f"--remap {name}: {done.stderr[:200]}")
    damaged = {"bad.gpl": ("GIMP Palette\n1 2 3 a\n1 2\n", "line 3"), "bad.txt": ("#ffffff\n#fffff\n", "line 2"),
               "bad.json": ('{"colors": [\n{"rgb": [1, 2, 300]}]}', "line 2"), "empty.txt": ("\n", "no colour"),
               "big.txt": ("#000000\n" * 65537, "more than 65,536"), "bad.act": ("x" * 10, "768 or 772"),
               "deep.json": ("[" * 100000, "line 1"), "other.pal": ("#000000", "name a .gpl")}
    out = os.path.join(work, "kept.png")
    open(out, "wb").write(b"kept")
    for name, (text, said) in damaged.items():
        path = os.path.join(work, name)
        open(path, "w").write(text)
        done = run("--remap", path, source, out)
        check(done.returncode == 2 and said in done.stderr.decode() and open(out, "rb").read() == b"kept",
              f"--remap {name}: {done.returncode} {done.stderr[:200]}")
    for wrong in (["--colors", "4"], ["--tolerance", "3"], ["--filter", "gray"], ["--fill", "mean"]):
        check(run("--remap", os.path.join(work, "inks.txt"), *wrong, source, out).returncode == 2, f"--remap {wrong}")


def test_palette_files(work):
    """--palette: every colour of the output once, in the order the flatten
    founded them (columns from the left, each from the bottom), its count
    and founder; the counts sum to the pixels. The same in every format,
    from PNG and BMP, to a file, to standard output and to a folder."""
    import json
    picture = test_picture(31, 23, 4)
    sources = []
    for name, image in (("pal-rgb.png", picture), ("pal-p.png", picture.quantize(90)), ("pal.bmp", picture)):
        image.save(os.path.join(work, name))
        sources.append(os.path.join(work, name))
    for source in sources:
        out = os.path.join(work, "pal-out" + source[-4:])
        json_path, gpl_path = os.path.join(work, "p.json"), os.path.join(work, "p.gpl")
        done = run("--tolerance", "30", "--palette", json_path, source, out)
        check(done.returncode == 0, f"{source}: {done.stderr}")
        entries = json.load(open(json_path))["colors"]
        width, height = picture.size
        seen = [p[:3] for p in pixels_rgba(out)]
        first = {}
        for x in range(width):
            for y in range(height - 1, -1, -1):
                first.setdefault(seen[y * width + x], (x, y))
        check([tuple(e["rgb"]) for e in entries] == list(first), f"{source}: entries are not the output's colours in order")
        check([(e["founder"]["x"], e["founder"]["y"]) for e in entries] == list(first.values()), f"{source}: founders")
        check([e["count"] for e in entries] == [seen.count(c) for c in first], f"{source}: counts")
        check(sum(e["count"] for e in entries) == width * height, f"{source}: counts do not sum to the pixels")
        run("--tolerance", "30", "--palette", gpl_path, source, out)
        lines = open(gpl_path).read().splitlines()
        check(lines[0] == "GIMP Palette" and [tuple(map(int, l.split("\t")[0].split())) for l in lines[4:]] ==
              list(first), f"{source}: the .gpl file")
        layers = os.path.join(work, "layers-" + os.path.basename(source))
        os.mkdir(layers)
        run("--tolerance", "30", "--layers", layers, source, out)
        masks = sorted(os.listdir(layers))
        digits = max(2, len(str(len(first) - 1)))
        expected = ["pal-out.%0*d-%02x%02x%02x.png" % ((digits, i) + c) for i, c in enumerate(first)]
        check(masks == expected, f"{source}: layers {masks[:3]}, not {expected[:3]}")
        for name, c in zip(masks, first):
            black = [p[0] == 0 for p in pixels_rgba(os.path.join(layers, name))]
            check(black == [s == c for s in seen], f"{source}: layer {name} is not where the output has its colour")
        listed = run("-v", "--tolerance", "30", "--palette", "-", "--palette-format", "txt", source, out)
        check(listed.stdout.decode().split() == ["#%02x%02x%02x" % c for c in first] and b"Current" in listed.stderr,
              f"{source}: to standard output {listed.stdout[:80]} {listed.stderr[:80]}")
    folder = os.path.join(work, "palettes")
    os.mkdir(folder)
    done = run("--palette-dir", folder, "--output-dir", folder, *sources[:2])
    check(sorted(os.listdir(folder)) == ["pal-p.gpl", "pal-p.png", "pal-rgb.gpl", "pal-rgb.png"],
          f"--palette-dir: {os.listdir(folder)} {done.stderr}")
    for wrong in (["--palette", "p.png"], ["--palette", "p.gpl", "--filter", "blur"],
                  ["--palette", "p.gpl", "--output-dir", folder]):
        check(run(*wrong, sources[0], out).returncode == 2, f"{wrong} is a usage error")


def test_palette_and_layers_keep_alpha_apart(work):
    """A palette logo (transparent black ground, opaque black text, a red
    mark) and an icon on transparent white: fully transparent pixels are no
    colour (no entry, no mask, counted apart), and entries of two palette
    alphas stay two entries and two masks."""
    import json
    logo = Image.new("P", (12, 8), 0)
    logo.putpalette([0, 0, 0, 0, 0, 0, 255, 0, 0, 0, 0, 0])
    for x in range(2, 6):
        logo.putpixel((x, 3), 1)
    logo.putpixel((9, 5), 2)
    logo.putpixel((10, 5), 3)  # black again, half transparent
    logo_path = os.path.join(work, "logo.png")
    logo.save(logo_path, transparency=bytes([0, 255, 255, 128]))
    icon = Image.new("RGBA", (10, 6), (255, 255, 255, 0))
    for x in range(3, 7):
        icon.putpixel((x, 2), (0, 90, 200, 255))
    icon_path = os.path.join(work, "icon.png")
    icon.save(icon_path)
    for source, colours, transparent in ((logo_path, [((0, 0, 0), 255), ((255, 0, 0), 255), ((0, 0, 0), 128)], 90),
                                         (icon_path, [((0, 90, 200), 255)], 56)):
        layers = os.path.join(work, "alpha-layers-" + os.path.basename(source))
        os.mkdir(layers)
        palette = os.path.join(work, "alpha.json")
        out = os.path.join(work, "alpha-out.png")
        done = run("--tolerance", "0", "--palette", palette, "--layers", layers, source, out)
        check(done.returncode == 0, f"{source}: {done.stderr}")
        written = json.load(open(palette))
        got = [(tuple(e["rgb"]), e.get("alpha", 255)) for e in written["colors"]]
        check(got == colours and written.get("transparent") == transparent, f"{source}: palette {written}")
        masks = sorted(os.listdir(layers))
        check(len(masks) == len(colours), f"{source}: layers {masks}")
        seen = pixels_rgba(out)
        for name, (rgb, alpha) in zip(masks, colours):
            black = [p[0] == 0 for p in pixels_rgba(os.path.join(layers, name))]
            check(black == [s[:3] == rgb and s[3] == alpha for s in seen], f"{source}: layer {name}")


def test_webp_round_trips(work):
    """WebP in and out: lossless, so a WebP written holds exactly the
    pixels of the PNG written of the same input, alpha included; an
    animation and damaged files are refused with a reason."""
    if b"WebP" not in run("--version").stdout:
        print("this build has no WebP: skipped")
        return
    picture = test_picture(29, 21, 6)
    rgba = picture.copy()
    rgba.putalpha(Image.linear_gradient("L").resize(picture.size))
    for name, image, options in (("lossless.webp", picture, {"lossless": True}), ("lossy.webp", picture, {"quality": 70}),
                                 ("alpha.webp", rgba, {"lossless": True})):
        source = os.path.join(work, name)
        image.save(source, **options)
        for extra in ([], ["--filter", "blur"], ["--colors", "8", "--fill", "mean"]):
            webp, png = os.path.join(work, "out.webp"), os.path.join(work, "out.png")
            a, b = run(*extra, source, webp), run(*extra, source, png)
            check(a.returncode == 0 and b.returncode == 0, f"{name} {extra}: {a.stderr}{b.stderr}")
            check(pixels_rgba(webp) == pixels_rgba(png), f"{name} {extra}: the WebP holds other pixels than the PNG")
    frames = os.path.join(work, "animated.webp")
    picture.save(frames, save_all=True, append_images=[rgba], lossless=True)
    done = run(frames, os.path.join(work, "out.png"))
    check(done.returncode == 1 and b"animated" in done.stderr, f"animated WebP: {done.stderr}")
    data = open(os.path.join(work, "lossy.webp"), "rb").read()
    rng = random.Random(3)
    for cut in [12, 20, 30, len(data) // 2, len(data) - 1] + [None] * 20:
        broken = bytearray(data[:cut] if cut else data)
        if cut is None:
            broken[rng.randrange(12, len(broken))] ^= 1 << rng.randrange(8)
        path = os.path.join(work, "broken.webp")
        open(path, "wb").write(broken)
        done = run(path, os.path.join(work, "out.png"))
        check(done.returncode in (0, 1) and (done.returncode == 0 or b"WebP" in done.stderr),
              f"broken WebP ({cut}): {done.returncode} {done.stderr}")


def test_jpeg_in(work):
    picture = test_picture(41, 27, 5)
    icc = ImageCms.ImageCmsProfile(ImageCms.createProfile("sRGB")).tobytes()
    exif = Image.Exif()
    exif[0x0110] = "camera"
    for mode in ("RGB", "L"):
        path = os.path.join(work, f"photo-{mode}.jpg")
        picture.convert(mode).save(path, quality=85, icc_profile=icc, exif=exif.tobytes())
        out = os.path.join(work, f"photo-{mode}.png")
        done = run("--keep-encoding", path, out)
        check(done.returncode == 0, f"JPEG {mode}: {done.stderr}")
        if done.returncode != 0:
            continue
        decoded = Image.open(path)
        channels = 3 if mode == "RGB" else 1
        samples = list(decoded.getdata())
        pixels = [[(samples[y * decoded.width + x],) if channels == 1 else samples[y * decoded.width + x]
                   for x in range(decoded.width)] for y in range(decoded.height)]
        header = (decoded.width, decoded.height, 8, 2 if channels == 3 else 0, 0)
        out_header, out_pixels, _, _ = read_png(out)
        check(out_header == header, f"JPEG {mode}: encoding {out_header}")
        check(out_pixels == plain_flatten(header, pixels, []), f"JPEG {mode}: pixels differ from the plain walk")
        written = Image.open(out)
        check(written.info.get("icc_profile") == icc, f"JPEG {mode}: ICC profile not carried")
        check(written.getexif().get(0x0110) == "camera", f"JPEG {mode}: EXIF not carried")
    cmyk = os.path.join(work, "cmyk.jpg")
    picture.convert("CMYK").save(cmyk)
    done = run(cmyk, os.path.join(work, "cmyk.png"))
    check(done.returncode == 1 and b"CMYK" in done.stderr, f"CMYK JPEG: {done.stderr}")


def test_hostile_files_are_refused(work):
    """Truncations and flips: refused with one line and nothing written, or
    read whole; never a crash."""
    rng = random.Random(11)
    sources = [os.path.join(work, n) for n in ("rgb8.png", "rgba16-interlaced.png", "palette2.png", "photo-RGB.jpg")]
    for source in sources:
        blob = open(source, "rb").read()
        variants = [blob[:n] for n in sorted(rng.sample(range(1, len(blob)), 12))]
        for _ in range(24):
            flipped = bytearray(blob)
            flipped[rng.randrange(8, len(blob))] ^= 1 << rng.randrange(8)
            variants.append(bytes(flipped))
        for number, variant in enumerate(variants):
            bad = os.path.join(work, "bad-input")
            out = os.path.join(work, "bad-output.png")
            open(bad, "wb").write(variant)
            done = run(bad, out)
            what = f"{os.path.basename(source)} variant {number}"
            if done.returncode == 0:
                try:
                    Image.open(out).load()
                except Exception as error:
                    shutil.copy(bad, "/tmp/failing-input")
                    check(False, f"{what}: {error}")
                os.remove(out)
            else:
                check(done.returncode == 1 and not os.path.exists(out), f"{what}: exit {done.returncode}, output left")
                check(done.stderr.startswith(f"quenvale: {bad}: ".encode()) and done.stderr.count(b"\n") == 1,
                      f"{what}: {done.stderr}")


def png_of(width, height, color_type=0, before_data=b"", data=None):
    """A PNG of zero samples, or of the given image data, with chunks before it."""
    def chunk(kind, body):
        return struct.pack(">I", len(body)) + kind + body + struct.pack(">I", zlib.crc32(kind + body))
    if data is None:
        row = b"\0" * (1 + width * CHANNELS[color_type])
        data = zlib.compress(row * height)
    header = struct.pack(">IIBBBBB", width, height, 8, color_type, 0, 0, 0)
    return SIGNATURE + chunk(b"IHDR", header) + before_data + chunk(b"IDAT", data) + chunk(b"IEND", b"")


def test_budgets_and_legitimate_files(work):
    """Bombs are refused before their cost, naming the budget; legitimate
    files with large metadata or unusual coding are read."""
    def refused(name, blob, want, *options):
        path = os.path.join(work, name)
        out = os.path.join(work, "budget-out.png")
        open(path, "wb").write(blob)
        done = run(*options, path, out)
        check(done.returncode == 1 and want in done.stderr and not os.path.exists(out),
              f"{name}: exit {done.returncode}, {done.stderr}")

    def text(kind, body):
        return struct.pack(">I", len(body)) + kind + body + struct.pack(">I", zlib.crc32(kind + body))

    # 60000 x 60000 grey whose rows are never there, and 999 zTXt of 4 MiB each.
    refused("claims.png", png_of(60000, 60000, data=zlib.compress(b"\0" * 4096)), b"that --max-pixels allows")
    bomb = text(b"zTXt", b"Comment\0\0" + zlib.compress(b"a" * (4 << 20), 9))
    refused("ztxt-bomb.png", png_of(16, 16, before_data=bomb * 999), b"chunks hold more than 64 MiB")
    refused("small-budget.png", png_of(16, 16), b"16 x 16 pixels, more than the 255 that --max-pixels allows",
            "--max-pixels", "255")
    # An RLE8 bitmap of 64 bytes that claims 65535 x 65535, made into PNG;
    # as a bitmap it stays a stream of two bytes and is flattened.
    rle = (b"BM" + struct.pack("<IHHI", 64, 0, 0, 62) +
           struct.pack("<IiiHHIIiiII", 40, 65535, 65535, 1, 8, 1, 2, 0, 0, 2, 0) + bytes(8) + b"\0\1")
    refused("rle-bomb.bmp", rle, b"65535 x 65535 pixels, more than the 178956970")
    done = run(os.path.join(work, "rle-bomb.bmp"), os.path.join(work, "rle-bomb-out.bmp"))
    check(done.returncode == 0, f"RLE bomb to BMP: {done.stderr}")
    check(run("--max-pixels", "0", "a", "b").returncode == 2, "--max-pixels 0 is a usage error")

    # XMP in zTXt larger than its small file, and a 63 KiB ICC profile on one pixel.
    xmp = b"<x:xmpmeta>" + b"<rdf:li>a line of metadata</rdf:li>\n" * 400 + b"</x:xmpmeta>"
    rng = random.Random(5)
    profile = bytes(rng.randrange(256) for _ in range(63 * 1024))
    for name, extra in (("xmp-icon.png", text(b"zTXt", b"XML:com.adobe.xmp\0\0" + zlib.compress(xmp, 9))),
                        ("icc-pixel.png", text(b"iCCP", b"ICC profile\0\0" + zlib.compress(profile)))):
        open(os.path.join(work, name), "wb").write(png_of(16 if "icon" in name else 1, 16 if "icon" in name else 1,
                                                          2, before_data=extra))
        flatten_and_compare(work, name, name)
    # An arithmetic-coded, progressive JPEG, which libjpeg decodes whole in memory.
    cjpeg = shutil.which("cjpeg")
    if cjpeg is not None:
        ppm = os.path.join(work, "white.ppm")
        open(ppm, "wb").write(b"P6 2000 1500 255\n" + b"\xff" * (2000 * 1500 * 3))
        jpeg = os.path.join(work, "arithmetic.jpg")
        subprocess.run([cjpeg, "-arithmetic", "-progressive", "-outfile", jpeg, ppm], check=True)
        done = run(jpeg, os.path.join(work, "arithmetic.png"))
        check(done.returncode == 0, f"arithmetic progressive JPEG: {done.stderr}")
        done = run("--max-pixels", "1000000", jpeg, os.path.join(work, "arithmetic2.png"))
        check(done.returncode == 1 and b"2000 x 1500 pixels, more than the 1000000" in done.stderr,
              f"JPEG over the budget: {done.stderr}")
    # A batch's jobs share the budget: pictures that each fill it run one
    # at a time, all of them, and give what one job gives.
    shared = [os.path.join(work, "shared%d.png" % i) for i in range(6)]
    for i, path in enumerate(shared):
        test_picture(30, 20, i).save(path)
    results = {}
    for jobs in ("1", "4"):
        folder = os.path.join(work, "shared-out-" + jobs)
        os.mkdir(folder)
        done = subprocess.run([*HOST, "--jobs", jobs, "--max-pixels", "600", "--output-dir", folder, *shared],
                              capture_output=True, timeout=60)
        check(done.returncode == 0, f"--jobs {jobs} within one budget: {done.stderr}")
        results[jobs] = [open(os.path.join(folder, os.path.basename(p)), "rb").read() for p in shared]
    check(results["1"] == results["4"], "--jobs 4 within one budget gives other bytes than --jobs 1")


def test_gif_in_and_out(work):
    """GIF in: a still one, its transparent index honoured, and an
    animation's first frame with a warning; GIF out: the PNG output's
    pixels, refused past 256 colours (naming --colors) or with partial
    alpha; frames to an animation; a damaged one refused by name."""
    if b"GIF" not in run("--version").stdout:
        print("skipped the GIF checks: this host was built without giflib (libgif-dev)")
        return
    picture = test_picture(41, 27, 6)
    still = os.path.join(work, "still.gif")
    picture.quantize(50).save(still, transparency=7)
    out, png = os.path.join(work, "still-out.png"), os.path.join(work, "still-out2.png")
    done = run("--tolerance", "0", still, out)
    check(done.returncode == 0 and pixels_rgba(out) == pixels_rgba(still), f"a still GIF read: {done.stderr}")
    opaque = os.path.join(work, "opaque-inks.txt")
    open(opaque, "w").write("#000000\n#ffffff\n#ff0000\n#0000ff\n#00000000\n")
    seen = lambda path: [p if p[3] else (0, 0, 0, 0) for p in pixels_rgba(path)]  # transparent is transparent
    for options in ([], ["--colors", "9"], ["--remap", opaque]):
        gif = os.path.join(work, "still-out.gif")
        done = run(*options, still, gif)
        run(*options, still, png)
        check(done.returncode == 0 and open(gif, "rb").read(6) == b"GIF89a" and seen(gif) == seen(png),
              f"GIF out {options}: {done.stderr}")
    from PIL import ImageOps
    frames = [ImageOps.posterize(picture, bits).quantize(16) for bits in (2, 3)]
    animation = os.path.join(work, "two.gif")
    frames[0].save(animation, save_all=True, append_images=frames[1:], duration=100)
    done = run(animation, out)
    check(done.returncode == 0 and b"two.gif: warning: an animated GIF: only its first frame is read" in done.stderr,
          f"an animation: {done.stderr}")
    check(run("-q", animation, out).stderr == b"", "-q says nothing of the frames left out")
    folder = os.path.join(work, "frames-out")
    os.mkdir(folder)
    done = run("-j", "2", "--output-dir", folder, animation, still)
    check(done.returncode == 0 and b"two.gif: warning" in done.stderr, f"a batch's warnings: {done.stderr}")
    from PIL import Image as PilImage
    many = os.path.join(work, "many.png")
    PilImage.frombytes("RGB", (32, 16), random.Random(3).randbytes(32 * 16 * 3)).save(many)
    done = run("--tolerance", "0", many, os.path.join(work, "many.gif"))
    check(done.returncode == 1 and b"--colors" in done.stderr and not os.path.exists(os.path.join(work, "many.gif")),
          f"more than 256 colours: {done.stderr}")
    alpha = os.path.join(work, "alpha.png")
    PilImage.new("RGBA", (4, 4), (10, 20, 30, 128)).save(alpha)
    done = run(alpha, os.path.join(work, "alpha.gif"))
    check(done.returncode == 1 and b"partial transparency" in done.stderr, f"partial alpha: {done.stderr}")
    # Frames to one animation: each frame the shared palette's PNG output,
    # opaque ones written as their changes only, clear ones whole.
    from PIL import ImageSequence
    for name, mode in (("opaque", "RGB"), ("clear", "RGBA")):
        sources = []
        for i in range(4):
            frame = test_picture(37, 23, 3).convert("RGBA")
            frame.paste((200, 40, 40, 255), (5 + 6 * i, 4, 12 + 6 * i, 11))  # a square that moves
            if mode == "RGBA":
                frame.paste((0, 0, 0, 0), (0, 0, 4 + 3 * i, 3))
            sources.append(os.path.join(work, f"{name}{i}.png"))
            frame.convert(mode).save(sources[-1])
        folder, animation = os.path.join(work, name + "-frames"), os.path.join(work, name + ".gif")
        os.mkdir(folder)
        run("--colors", "12", "--shared-palette", "--output-dir", folder, *sources)
        done = run("--colors", "12", "--shared-palette", "--delay", "7", "-o", animation, *sources)
        shown = PilImage.open(animation)
        check(done.returncode == 0 and shown.n_frames == 4 and shown.info.get("loop") == 0, f"{name} frames: {done.stderr}")
        for i, frame in enumerate(ImageSequence.Iterator(shown)):
            want = seen(os.path.join(folder, f"{name}{i}.png"))
            got = [p if p[3] else (0, 0, 0, 0) for p in frame.convert("RGBA").getdata()]
            check(got == want and frame.info.get("duration") == 70, f"{name} frame {i} is not its PNG output")
    odd = os.path.join(work, "odd.png")
    test_picture(9, 9, 1).save(odd)
    open(animation, "wb").write(b"kept")
    done = run("--colors", "4", "--shared-palette", "-o", animation, sources[0], odd)
    check(done.returncode == 1 and b"odd.png: 9 x 9 pixels, not the first frame's 37 x 23" in done.stderr and
          open(animation, "rb").read() == b"kept", f"frames of two sizes: {done.stderr}")
    for wrong in (["--colors", "300", "--shared-palette", "-o", animation], ["--delay", "5", "-o", animation],
                  ["--colors", "4", "-o", animation], ["--colors", "4", "--shared-palette", "--delay", "x", "-o", animation]):
        check(run(*wrong, sources[0], odd).returncode == 2, f"{wrong} is a usage error")
    broken = os.path.join(work, "broken.gif")
    open(broken, "wb").write(open(still, "rb").read()[:40])
    done = run(broken, out)
    check(done.returncode == 1 and b"broken.gif: damaged GIF" in done.stderr, f"a damaged GIF: {done.stderr}")


def regions_of(pixels, width, height):
    """The 4-connected regions of equal pixels: a list of (colour, [places])."""
    seen, regions = [False] * (width * height), []
    for start in range(width * height):
        if seen[start]:
            continue
        seen[start], places = True, [start]
        for p in places:
            x, y = p % width, p // width
            for q, inside in ((p - 1, x > 0), (p + 1, x + 1 < width), (p - width, y > 0), (p + width, y + 1 < height)):
                if inside and not seen[q] and pixels[q] == pixels[p]:
                    seen[q] = True
                    places.append(q)
        regions.append((pixels[start], places))
    return regions


def test_min_region_and_svg(work):
    """--min-region after each way of flattening leaves no region smaller
    than asked and no colour the flatten did not give; an SVG holds a path
    a visible region and renders to the PNG output's pixels exactly."""
    source = os.path.join(work, "specks.png")
    picture = test_picture(41, 31, 9).convert("RGBA")
    picture.paste((0, 0, 0, 0), (30, 20, 41, 31))
    picture.save(source)
    inks = os.path.join(work, "specks-inks.txt")
    open(inks, "w").write("#102030\n#f0e0d0\n#c03020\n#2080f0\n#00000000\n")
    for way in (["--tolerance", "40"], ["--colors", "6"], ["--remap", inks]):
        flat, cleaned = os.path.join(work, "flat.png"), os.path.join(work, "cleaned.png")
        run(*way, source, flat)
        done = run(*way, "-v", "--min-region", "9", source, cleaned)
        said = re.search(rb"(\d+) regions? and (\d+) pixels? changed \(--min-region 9\), the largest change (\d+)", done.stdout)
        before, after = pixels_rgba(flat), pixels_rgba(cleaned)
        changed = [(a, b) for a, b in zip(before, after) if a != b]
        largest = max((abs(x - y) for a, b in changed for x, y in zip(a, b)), default=0)
        check(done.returncode == 0 and said is not None and int(said.group(2)) == len(changed) and
              int(said.group(3)) == largest, f"--min-region after {way}: {done.stdout} {done.stderr}")
        check(set(after) <= set(before), f"--min-region after {way} invented a colour")
        sizes = [len(places) for _, places in regions_of(after, 41, 31)]
        check(min(sizes) >= 9 or len(sizes) == 1, f"--min-region 9 after {way} left a region of {min(sizes)}")
    bitmap, cleaned = os.path.join(work, "specks.bmp"), os.path.join(work, "specks-out.bmp")
    Image.open(source).convert("RGB").save(bitmap)
    done = run("--min-region", "5", bitmap, cleaned)
    check(done.returncode == 0 and open(cleaned, "rb").read(2) == b"BM", f"--min-region on a BMP: {done.stderr}")
    check(run("--filter", "gray", "--min-region", "5", source, cleaned).returncode == 2, "--min-region with a filter")
    # SVG: noise of three colours is all corners where regions meet.
    noise = os.path.join(work, "noise.png")
    rng = random.Random(5)
    Image.frombytes("P", (23, 17), bytes(rng.randrange(3) for _ in range(23 * 17))).save(
        noise, transparency=2, palette=[200, 30, 30, 20, 20, 180, 0, 0, 0] + [0] * 759)
    if shutil.which("rsvg-convert") is None:
        print("skipped the SVG renderings: no rsvg-convert (librsvg2-bin)")
        return
    for name, options in (("specks.png", ["--colors", "6", "--min-region", "4"]), ("specks.png", ["--tolerance", "30"]),
                          ("noise.png", [])):
        svg, png, shown = (os.path.join(work, "drawn" + e) for e in (".svg", ".png", "-svg.png"))
        done = run(*options, os.path.join(work, name), svg)
        run(*options, os.path.join(work, name), png)
        subprocess.run(["rsvg-convert", svg, "-o", shown], check=True)
        text = open(svg).read()
        visible = [r for r in regions_of(pixels_rgba(png), *Image.open(png).size) if r[0][3] != 0]
        seen = lambda path: [p if p[3] else (0, 0, 0, 0) for p in pixels_rgba(path)]
        check(done.returncode == 0 and 'shape-rendering="crispEdges"' in text and seen(shown) == seen(png) and
              text.count("<path") == len(visible), f"the SVG of {name} {options}: {done.stderr}")


def test_formats_by_name_and_option(work):
    png = os.path.join(work, "grey8.png")
    bmp = os.path.join(work, "same.bmp")
    done = run(png, os.path.join(work, "as-bitmap.BMP"))
    check(done.returncode == 0 and open(os.path.join(work, "as-bitmap.BMP"), "rb").read(2) == b"BM", "PNG to .BMP")
    done = run("--format", "png", bmp, "-")
    check(done.returncode == 0 and done.stdout[:8] == SIGNATURE, "--format png to standard output")
    done = run(bmp, "-", stdin=None)
    check(done.stdout[:2] == b"BM", "a BMP to standard output stays BMP")
    done = run(png, os.path.join(work, "out.jpg"))
    check(done.returncode == 1 and b"JPEG is not written" in done.stderr and
          not os.path.exists(os.path.join(work, "out.jpg")), f"JPEG output: {done.stderr}")
    check(run("--format", "jpeg", png, "x.png").returncode == 2, "--format jpeg is a usage error")
    folder = os.path.join(work, "batch")
    os.mkdir(folder)
    done = run("--format", "png", "--output-dir", folder, bmp, os.path.join(work, "photo-RGB.jpg"), png)
    check(done.returncode == 0 and sorted(os.listdir(folder)) == ["grey8.png", "photo-RGB.png", "same.png"],
          f"batch names: {os.listdir(folder)} {done.stderr}")
    done = run("--in-place", os.path.join(work, "photo-RGB.jpg"))
    check(done.returncode == 2 and b"--in-place keeps" in done.stderr, f"in place JPEG: {done.stderr}")
    pipe = run(png, "-", stdin=None)
    check(pipe.stdout[:8] == SIGNATURE, "a PNG to standard output stays PNG")
    back = run("-", os.path.join(work, "from-pipe.png"), stdin=open(png, "rb").read())
    check(back.returncode == 0, "a PNG from standard input")


def peak_kib(*arguments):
    """The host's peak resident memory, in KiB, measured in a process of its own."""
    script = ("import resource, subprocess, sys; subprocess.run(sys.argv[1:], capture_output=True); "
              "print(resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss)")
    done = subprocess.run([sys.executable, "-c", script, *HOST, *arguments], capture_output=True)
    return int(done.stdout)


def test_pictures_stay_in_memory(work):
    """A PNG is read once and held no longer than its pixels need: only the
    output's temporary is made, and the peak stays within the decoded
    picture and the encoded output (the host's own footprint measured on a
    tiny picture)."""
    if len(HOST) > 1:
        return  # an emulator's own files and memory would be counted
    big = os.path.join(work, "big.png")
    random.seed(3)
    Image.frombytes("RGB", (2000, 1500), bytes(random.getrandbits(5) * 8 for _ in range(2000 * 1500 * 3))).save(big)
    out = os.path.join(work, "big-out.png")
    bitmap = os.path.join(work, "big.bmp")
    Image.open(big).save(bitmap)
    for source, arguments in ((big, []), (big, ["--filter", "blur"]), (bitmap, []), (bitmap, ["--filter", "gray"])):
        if not shutil.which("strace"):
            break
        traced = subprocess.run(["strace", "-f", "-e", "trace=openat,creat", *HOST, *arguments, source, out],
                                capture_output=True)
        calls = [line for line in traced.stderr.decode().splitlines() if "openat(" in line or "creat(" in line]
        opened = [line for line in calls if '"' + source + '"' in line]
        made = [line for line in calls if "O_CREAT" in line or "creat(" in line]
        check(len(opened) == 1 and len(made) == 1 and ".big-out.png." in made[0],
              f"{source} {arguments}: the input opened once, only the output's temporary made: {opened} {made}")
    if os.environ.get("QUENVALE_SANITIZED"):
        return  # a sanitizer's shadow memory and quarantine would be counted
    tiny = os.path.join(work, "tiny.png")
    Image.new("RGB", (1, 1)).save(tiny)
    footprint = peak_kib(tiny, os.path.join(work, "tiny-out.png"))
    peak = peak_kib(big, out)
    decoded, encoded = 2000 * 1500 * 3, os.path.getsize(out)
    check(peak - footprint <= (decoded + encoded) // 1024 + 4096,
          f"peak {peak - footprint} KiB beyond the host's own, for {decoded} decoded and {encoded} encoded bytes")


def main():
    work = tempfile.mkdtemp(prefix="quenvale-pictures-")
    try:
        test_flatten_keeps_every_encoding(work)
        test_smallest_png_holds_the_same_pixels(work)
        test_each_effort_holds_the_same_samples(work)
        test_png_rows_read_under_every_filter(work)
        test_bmp_and_png_agree(work)
        test_bitmap_to_png_says_what_bitmap_to_bitmap_says(work)
        test_colors_choose_the_tolerance(work)
        test_palette_files(work)
        test_remap(work)
        test_palette_and_layers_keep_alpha_apart(work)
        test_webp_round_trips(work)
        test_jpeg_in(work)
        test_hostile_files_are_refused(work)
        test_budgets_and_legitimate_files(work)
        test_formats_by_name_and_option(work)
        test_gif_in_and_out(work)
        test_min_region_and_svg(work)
        test_pictures_stay_in_memory(work)
    finally:
        shutil.rmtree(work)
    print(f"{len(failures)} failures")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
