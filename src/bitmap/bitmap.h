// Pixel grids, the allocation counter, console text and the 24-bit BMP codec.
#ifndef QUENVALE_BITMAP_H
#define QUENVALE_BITMAP_H

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "quenvale.h"

namespace quenvale {

// One pixel, channels in memory order red, green, blue.
struct Rgb {
    uint8_t red;
    uint8_t green;
    uint8_t blue;
};

// The image in memory, column-major: width columns of height pixels, one
// block. Pixel (x, y) is pixels[x * height + y]; y is the row's position in
// the file. Width and height travel beside the grid as arguments.
struct PixelGrid {
    Rgb* pixels;
};

inline Rgb* GridColumn(PixelGrid grid, uint32_t x, uint32_t height) {
    return grid.pixels + static_cast<size_t>(x) * height;
}

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

constexpr uint32_t kHeaderBytes = 54;

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
    ChannelMask channels[3];  // red, green, blue
    uint32_t colorBits;       // the union of the three masks
};

inline bool IsRle(const BitmapFormat& format) {
    return format.encoding == EncodingRle8 || format.encoding == EncodingRle4;
}

// The header bytes ParseBitmapFormat needs at most: file header, the
// largest information header, four masks and 256 palette entries.
constexpr size_t kFormatPrefixBytes = 14 + 124 + 16 + 256 * 4;

// Memory: every allocation of the library goes through here.
void* AllocateBytes(size_t size);
void ReleaseBytes(void* block);
// Makes the allocation that many calls from now fail, for testing the
// out-of-memory paths; a negative value turns this off.
void SetAllocationFailureCountdown(int64_t countdown);
// The most bytes held at once since the last reset.
uint64_t PeakAllocatedBytes();
void ResetPeakAllocatedBytes();

// Console text, on standard output unless the host sends it elsewhere: to
// another stream, or nowhere for a null one.
void PrintText(const char* text);
void SetConsoleStream(FILE* stream);
FILE* ConsoleStream();
// Whether the last text printed left its line open.
bool ConsoleLineOpen();

// Bytes held by live grids: 4 per column slot and 3 per pixel, whatever the
// target's pointer width, so the printed values are the same everywhere.
int64_t AllocationCounter();
uint64_t GridByteCount(uint32_t width, uint32_t height);
// Returns a grid with null pixels when the allocation fails; the counter and
// the console are then untouched.
PixelGrid AllocPixelGrid(uint32_t width, uint32_t height);
void FreePixelGrid(PixelGrid grid, uint32_t width, uint32_t height);
// A call that keeps its pixels as rows counts the grids it stands in for,
// so that the counter prints the same whatever the storage.
void CountPixelGrid(uint32_t width, uint32_t height);
void UncountPixelGrid(uint32_t width, uint32_t height);

// File access in 64-bit positions.
bool RegularFileLength(FILE* file, uint64_t* length);
bool SeekFile(FILE* file, uint64_t position);
bool ReadBytes(FILE* file, void* buffer, size_t count);
bool WriteBytes(FILE* file, const void* buffer, size_t count);
bool WriteZeros(FILE* file, uint64_t count);
// Copies count bytes of input from start; ResultInputInvalid when the input
// is shorter or unreadable, ResultOutputWriteFailed when a write fails.
int32_t CopyFileBytes(FILE* input, uint64_t start, uint64_t count, FILE* output);
// Makes the write step (a write, flush, close or rename of the output) that
// many steps from now fail with ENOSPC, for testing; negative turns it off.
void SetFileFailureCountdown(int64_t countdown);
// Consumed by every write step: whether this one is made to fail.
bool FileStepFails();

// Decodes 54 little-endian header bytes.
void DecodeBitmapHeader(const uint8_t* bytes, BitmapHeader* header);
int32_t RowPadding(const BitmapHeader& header);
// The number of stored rows: |height| in the format's signed reading.
uint32_t RowCount(const BitmapHeader& header);
// Decides from the file's first bytes (up to kFormatPrefixBytes of them)
// whether its pixels can be read, and how. On refusal writes a short reason.
bool ParseBitmapFormat(const uint8_t* prefix, size_t prefixLength, uint64_t fileLength, BitmapFormat* format,
                       char* reason, size_t reasonSize);

// Pixel values of uncompressed rows, x pixels into a row.
uint32_t ReadPixelValue(const uint8_t* row, uint32_t x, uint32_t bitsPerPixel);
void WritePixelValue(uint8_t* row, uint32_t x, uint32_t bitsPerPixel, uint32_t value);
// The colour a value stands for: its palette entry (black past the
// palette), or its masked channels widened to 8 bits.
uint32_t ValueColor(const BitmapFormat& format, uint32_t value);
// The stored row that the visiting order takes as its y-th: the picture's
// bottom row first.
uint8_t* VisitRow(const BitmapFormat& format, uint8_t* rows, uint32_t y);
// Whether 32-bit pixels hold each channel in a byte of its own; fills the
// three byte positions (red, green, blue).
bool ByteChannels(const BitmapFormat& format, uint32_t* positions);
// Copies such rows' pixels into a grid (y in stored order) and back; false
// for any other format.
bool RowsToGrid(const BitmapFormat& format, const uint8_t* rows, PixelGrid grid);
bool GridToRows(const BitmapFormat& format, PixelGrid grid, uint8_t* rows);

// The runs of an RLE stream, in stream order. Only pixels inside the image
// are reported; the stream ends at its end-of-bitmap mark, at the end of
// the data, or on a row past the top.
struct RleRun {
    uint32_t x;        // the run's first pixel
    uint32_t y;        // stored row, the bottom one first
    uint32_t count;    // pixels inside the image
    uint8_t* indices;  // the run's index bytes: one for an encoded run
    bool absolute;     // indices holds one index (RLE4: a nibble) per pixel
};
using RleVisitor = void (*)(const RleRun& run, void* context);
void WalkRleStream(const BitmapFormat& format, uint8_t* data, size_t length, RleVisitor visit, void* context);

// Copies the input's bytes up to the pixel-data offset to the output.
int32_t CopyHeaderBytes(FILE* input, FILE* output, uint32_t pixelOffset);

// The pixel data as the file stores it, in one block, for filters that work
// in place: uncompressed rows in stored order, or the whole RLE stream.
// Rows of a width-0 image hold no bytes.
struct RowImage {
    uint8_t* bytes;  // followed by kRowImageSpareBytes of slack
};
constexpr size_t kRowImageSpareBytes = 4;
// The bytes the image holds in memory; false when they do not fit.
bool RowImageSize(const BitmapFormat& format, size_t* size);
// Null bytes when the allocation fails or its size does not fit.
RowImage AllocRowImage(const BitmapFormat& format);
void FreeRowImage(RowImage image);
// Reads the pixel data, then zeroes what follows each row's last pixel.
int32_t ReadRowImage(FILE* input, RowImage image, const BitmapFormat& format);
// Writes the pixel data, padding included, at the output's current position.
int32_t WriteRowImage(FILE* output, RowImage image, const BitmapFormat& format);

}  // namespace quenvale

#endif
