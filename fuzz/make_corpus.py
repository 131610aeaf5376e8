#!/usr/bin/env python3
"""Writes the fuzzer's seed corpus: small valid 24-bit bitmaps of every
padding class, information-header size and orientation, some with an
image-size field of 0, a gap before the rows or bytes after them."""
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
    print("wrote %d seeds to %s" % (count, directory))


if __name__ == "__main__":
    main()
