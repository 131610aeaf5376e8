// The BMP headers of every kind, and the format a file's first bytes
// describe: how its pixels are encoded and where they lie.
#ifndef QUENVALE_BITMAP_FORMAT_H
#define QUENVALE_BITMAP_FORMAT_H

#include <cstddef>
#include <cstdint>

#include "base/status.h"

namespace quenvale {

// Header sizes, by the information header's own size field.
constexpr uint32_t kFileHeaderBytes = 14;
constexpr uint32_t kCoreHeaderBytes = 12;  // OS/2 1.x: 16-bit sizes, 3-byte palette entries
constexpr uint32_t kInfoHeaderBytes = 40;  // Windows BITMAPINFOHEADER; OS/2 2.x lays its fields out alike
constexpr uint32_t kV2HeaderBytes = 52;    // with the three masks
constexpr uint32_t kV3HeaderBytes = 56;    // with the alpha mask
constexpr uint32_t kV4HeaderBytes = 108;
constexpr uint32_t kV5HeaderBytes = 124;
constexpr uint32_t kOs2ShortestHeaderBytes = 16;  // OS/2 2.x headers may stop after any field
constexpr uint32_t kOs2LongestHeaderBytes = 64;
constexpr uint32_t kHeaderBytes = kFileHeaderBytes + kInfoHeaderBytes;

// Compression methods. OS/2 2.x headers give 3 and 4 other meanings.
enum CompressionMethod : uint32_t {
    CompressionNone = 0,
    CompressionRle8 = 1,
    CompressionRle4 = 2,
    CompressionBitFields = 3,  // OS/2: Huffman 1D
    CompressionJpeg = 4,       // OS/2: RLE24
    CompressionPng = 5,
    CompressionAlphaBitFields = 6,
};

// The BMP file header and the first 40 bytes of the information header.
struct BitmapHeader {
    uint8_t typeFirst;
    uint8_t typeSecond;
    uint32_t fileSize;
    uint16_t reservedFirst;
    uint16_t reservedSecond;
    uint32_t pixelOffset;
    uint32_t infoSize;
    uint32_t width;
    uint32_t height;
    uint16_t planes;
    uint16_t bitsPerPixel;
    uint32_t compression;
    uint32_t imageSize;
    int32_t horizontalResolution;
    int32_t verticalResolution;
    uint32_t colorsUsed;
    uint32_t importantColors;
};

// How a bitmap stores its pixel values.
enum PixelEncoding : uint8_t {
    EncodingRgb24,    // three bytes, blue-green-red
    EncodingIndexed,  // 1, 2, 4 or 8 bits, an index into the palette
    EncodingMasked,   // 16 or 32 bits, channels under bit masks
    EncodingRle8,     // run-length encoded 8-bit indices
    EncodingRle4,     // run-length encoded 4-bit indices
};

// One channel of a masked pixel: its mask, the mask's lowest bit and width.
struct ChannelMask {
    uint32_t mask;
    uint32_t shift;
    uint32_t bits;
};

// Everything the pipeline and the filters need to know of a bitmap that
// ParseBitmapFormat accepted. Colours are packed 0xRRGGBB.
struct BitmapFormat {
    uint32_t width;
    uint32_t rowCount;    // |height|
    bool topDown;         // the first stored row is the top of the picture
    uint16_t bitsPerPixel;
    PixelEncoding encoding;
    uint32_t pixelOffset;
    int32_t padding;      // uncompressed: bytes after a row's pixel bytes
    uint64_t stride;      // uncompressed: bytes from one stored row to the next
    uint64_t rowsEnd;     // uncompressed: end of the last row's padding; RLE: end of the file
    uint32_t paletteCount;
    uint32_t palette[256];
    uint32_t paletteOffset;      // where the entries lie in the file
    uint32_t paletteEntryBytes;  // 4, or 3 after a 12-byte header
    int32_t resolution[2];       // pixels per metre, across and down; 0 where the header has none
    ChannelMask channels[3];  // red, green, blue
    uint32_t colorBits;       // the union of the three masks
};

inline bool IsRle(const BitmapFormat& format) {
    return format.encoding == EncodingRle8 || format.encoding == EncodingRle4;
}

// Uncompressed rows of a width-0 image are padding alone: no pixel to
// filter, no memory to take, zeros to write. (An RLE stream is taken as it
// is, whatever its width.)
inline bool PaddingOnly(const BitmapFormat& format) { return !IsRle(format) && format.width == 0; }

// The header bytes ParseBitmapFormat needs at most: file header, the
// largest information header, four masks and 256 palette entries.
constexpr size_t kFormatPrefixBytes = kFileHeaderBytes + kV5HeaderBytes + 16 + 256 * 4;

inline uint32_t Le32(const uint8_t* bytes) {
    return uint32_t{bytes[0]} | uint32_t{bytes[1]} << 8 | uint32_t{bytes[2]} << 16 | uint32_t{bytes[3]} << 24;
}

// Decodes 54 little-endian header bytes.
void DecodeBitmapHeader(const uint8_t* bytes, BitmapHeader* header);
int32_t RowPadding(const BitmapHeader& header);
// The number of stored rows: |height| in the format's signed reading.
uint32_t RowCount(const BitmapHeader& header);
// Decides from the file's first bytes (up to kFormatPrefixBytes of them)
// whether its pixels can be read, and how; on refusal fills *failure.
bool ParseBitmapFormat(const uint8_t* prefix, size_t prefixLength, uint64_t fileLength, BitmapFormat* format,
                       Failure* failure);

}  // namespace quenvale

#endif
