#!/usr/bin/env python3
"""Writes the fuzzer's seed corpus: small valid 24-bit bitmaps of every
padding class, information-header size and orientation, some with an
image-size field of 0, a gap before the rows or bytes after them; and
bitmaps of every other encoding: palettes of 1 to 8 bits under each header
kind, 16- and 32-bit bit fields, RLE8 and RLE4 streams."""
import os
import struct
import sys


def bitmap(width, height, info_size=40, top_down=False, size_zero=False, gap=0, tail=b""):
    padding = (4 - (3 * width) % 4) % 4
    offset = 14 + info_size + gap
    rows = bytearray()
    for y in range(height):
        for x in range(width):
            rows += bytes(((x * 37 + y * 11) % 256, (x * 5 + y * 71) % 256, (x * y * 13) % 256))
        rows += b"\0" * padding
    info = struct.pack("<IiiHHIIiiII", info_size, width, -height if top_down else height, 1, 24, 0,
                       0 if size_zero else len(rows), 2835, 2835, 0, 0)
    info += bytes((i * 3) % 256 for i in range(info_size - 40))
    body = info + b"\x5a" * gap + bytes(rows) + tail
    return b"BM" + struct.pack("<IHHI", 14 + len(body), 0, 0, offset) + body


def raw(info_size, width, height, bits, compression=0, masks=(), palette=b"", pixels=b""):
    """A bitmap of any encoding, its palette and pixel data given as stored."""
    if info_size == 12:
        info = struct.pack("<IHHHH", 12, width, height, 1, bits)
    else:
        info = struct.pack("<IiiHHIIiiII", 40, width, height, 1, bits, compression, len(pixels), 0, 0, 0, 0)
        info = struct.pack("<I", info_size) + info[4:info_size] + b"\0" * max(0, info_size - 40)
        fields = b"".join(struct.pack("<I", m) for m in masks)
        if info_size == 40:
            info += fields
        elif masks:
            info = info[:40] + fields + info[40 + len(fields):]
    body = info + palette + pixels
    return b"BM" + struct.pack("<IHHI", 14 + len(body), 0, 0, 14 + len(info) + len(palette)) + body


def packed_rows(width, height, bits, seed):
    stride = (width * bits + 31) // 32 * 4
    return bytes((seed * 29 + i * 7 + (i // stride) * 3) % 256 for i in range(stride * height))


def other_encodings():
    seeds = {}
    for info_size, entry in ((40, 4), (12, 3), (64, 4), (16, 4), (124, 4)):
        for bits in (1, 2, 4, 8):
            count = min(1 << bits, 12)
            palette = bytes((i * 53 + c * 90) % 256 for i in range(count) for c in range(entry))
            seeds["pal%d-h%d.bmp" % (bits, info_size)] = raw(info_size, 5, 3, bits, 0, (), palette,
                                                             packed_rows(5, 3, bits, bits))
    for bits, masks in ((16, (0xF800, 0x07E0, 0x001F)), (16, (0x7C00, 0x03E0, 0x001F, 0x8000)),
                        (32, (0x3FF00000, 0x000FFC00, 0x000003FF)), (32, (0xFF0000, 0xFF00, 0xFF, 0xFF000000))):
        compression = 6 if len(masks) == 4 else 3
        seeds["bf%d-%x.bmp" % (bits, masks[0])] = raw(40, 4, 3, bits, compression, masks, b"",
                                                      packed_rows(4, 3, bits, len(masks)))
        seeds["bf%d-%x-v5.bmp" % (bits, masks[0])] = raw(124, 4, 3, bits, 3, masks[:3], b"",
                                                         packed_rows(4, 3, bits, 7))
    palette = bytes((i * 40) % 256 for i in range(16 * 4))
    seeds["rle8.bmp"] = raw(40, 7, 4, 8, 1, (), palette,
                            bytes((3, 1, 2, 5, 0, 0, 0, 4, 1, 2, 3, 4, 0, 2, 1, 1, 9, 7, 0, 0, 2, 3, 0, 1)))
    seeds["rle4.bmp"] = raw(40, 7, 4, 4, 2, (), palette,
                            bytes((5, 0x12, 0, 0, 0, 5, 0x34, 0x56, 0x70, 0, 0, 2, 2, 1, 8, 0xAB, 0, 1)))
    return seeds


def main():
    directory = sys.argv[1] if len(sys.argv) > 1 else "corpus"
    os.makedirs(directory, exist_ok=True)
    count = 0
    for width in (1, 2, 3, 4, 5, 0):
        for info_size in (40, 52, 56, 108, 124):
            for top_down in (False, True):
                for size_zero in (False, True):
                    data = bitmap(width, 3, info_size, top_down, size_zero,
                                  gap=width % 3, tail=b"\x01\x02" if info_size == 124 else b"")
                    name = "w%d-h%d-%s-%s%s.bmp" % (width, info_size, "down" if top_down else "up",
                                                     "size0" if size_zero else "sized", "-tail" if info_size == 124 else "")
                    with open(os.path.join(directory, name), "wb") as f:
                        f.write(data)
                    count += 1
    for name, data in other_encodings().items():
        with open(os.path.join(directory, name), "wb") as f:
            f.write(data)
        count += 1
    print("wrote %d seeds to %s" % (count, directory))


if __name__ == "__main__":
    main()
