// Bitmap files built from a list of header fields: the one writer of the
// tests, the benchmarks, the fuzz targets and the sample maker, with the
// little-endian helpers and whole-file reads and writes they share.
#ifndef QUENVALE_BITMAP_WRITER_H
#define QUENVALE_BITMAP_WRITER_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace quenvale_writer {

struct BitmapFields {
    uint32_t infoSize = 40;        // 12 for OS/2 1.x, 16 to 64 for OS/2 2.x, 40 to 124 for Windows
    int32_t width = 0;
    int32_t height = 0;            // negative: rows stored top-down
    uint16_t bits = 24;
    uint32_t compression = 0;
    int64_t imageSize = -1;        // -1: the pixel data's length
    int32_t resolution = 0;        // pixels per metre, both ways
    uint32_t colorsUsed = 0;
    std::vector<uint32_t> masks;   // after a 40-byte header, or inside a larger one
    std::vector<uint8_t> palette;  // entries as stored: 4 bytes, 3 after a 12-byte header
    uint32_t gap = 0;              // zero bytes between the palette and the pixel data
};

// The whole file: headers, masks, palette, gap, the pixel data as given and
// the tail. The file size and pixel offset follow from them; fields past a
// short OS/2 header are left out.
std::vector<uint8_t> EncodeBitmapFile(const BitmapFields& fields, const std::vector<uint8_t>& pixels,
                                      const std::vector<uint8_t>& tail = {});
// Bytes from one stored row to the next, rows padded to 4 bytes.
uint64_t RowStride(uint64_t width, uint32_t bits);

// count little-endian bytes of value at bytes[at], within the vector.
void PutLe(std::vector<uint8_t>& bytes, size_t at, uint64_t value, int count);
uint64_t GetLe(const std::vector<uint8_t>& bytes, size_t at, int count);

bool WriteWholeFile(const std::string& path, const std::vector<uint8_t>& bytes);
// The file's bytes; empty when it cannot be read.
std::vector<uint8_t> ReadWholeFile(const std::string& path);

}  // namespace quenvale_writer

#endif
