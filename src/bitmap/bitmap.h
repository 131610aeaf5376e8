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

// Where the rows of a header that passed CheckBitmapHeader lie in the file.
struct RowLayout {
    uint32_t width;
    uint32_t rowCount;   // |height|: a negative height is a top-down bitmap
    int32_t padding;     // 0 to 3
    uint64_t stride;     // 3 * width + padding
    uint64_t rowsEnd;    // offset of the first byte after the last row's padding
};

// Memory: every allocation of the library goes through here.
void* AllocateBytes(size_t size);
void ReleaseBytes(void* block);
// Makes the allocation that many calls from now fail, for testing the
// out-of-memory paths; a negative value turns this off.
void SetAllocationFailureCountdown(int64_t countdown);
// The most bytes held at once since the last reset.
uint64_t PeakAllocatedBytes();
void ResetPeakAllocatedBytes();

// Console text on standard output.
void PrintText(const char* text);
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

// Reads the first 54 bytes; returns false when the file holds fewer.
bool ReadBitmapHeader(FILE* input, BitmapHeader* header);
// Decodes 54 little-endian header bytes.
void DecodeBitmapHeader(const uint8_t* bytes, BitmapHeader* header);
int32_t RowPadding(const BitmapHeader& header);
// The number of stored rows: |height| in the format's signed reading.
uint32_t RowCount(const BitmapHeader& header);
// True when the rows can be read from a file of that length; fills the
// layout. Otherwise writes a short reason for refusing the file.
bool CheckBitmapHeader(const BitmapHeader& header, uint64_t fileLength, RowLayout* layout,
                       char* reason, size_t reasonSize);

// Rows move between file and grid through a block of up to 16 MiB, taken
// once per call so that no allocation is left for after the output is opened.
struct RowBlock {
    uint8_t* bytes;
};
// Null bytes when the allocation fails.
RowBlock AllocRowBlock(uint32_t width, uint32_t height, int32_t padding);
void FreeRowBlock(RowBlock block);

// The row and header operations return ResultDone, or ResultInputInvalid
// for a failed read and ResultOutputWriteFailed for a failed write.
int32_t ReadPixelRows(FILE* input, PixelGrid grid, uint32_t width, uint32_t height, uint64_t offset,
                      int32_t padding, RowBlock block);
// Writes the input's bytes up to the pixel-data offset, read beforehand.
int32_t CopyHeaderBytes(const uint8_t* headerBytes, uint32_t count, FILE* output);
// Writes the rows at the output's current position, each followed by
// padding zero bytes.
int32_t WritePixelRows(FILE* output, PixelGrid grid, uint32_t width, uint32_t height, int32_t padding,
                       RowBlock block);

// The rows as the file stores them (blue-green-red, padded, in stored
// order) in one block, for filters that work in place. A width-0 image
// holds no bytes.
struct RowImage {
    uint8_t* bytes;  // followed by kRowImageSpareBytes of slack
};
constexpr size_t kRowImageSpareBytes = 4;
// False when the rows' bytes do not fit in memory's size type.
bool RowImageSize(uint32_t width, uint32_t height, int32_t padding, size_t* size);
// Null bytes when the allocation fails or its size does not fit.
RowImage AllocRowImage(uint32_t width, uint32_t height, int32_t padding);
void FreeRowImage(RowImage image);
// Reads the rows at offset, then zeroes their padding.
int32_t ReadRowImage(FILE* input, RowImage image, uint32_t width, uint32_t height, uint64_t offset,
                     int32_t padding);
// Writes the rows, padding included, at the output's current position.
int32_t WriteRowImage(FILE* output, RowImage image, uint32_t width, uint32_t height, int32_t padding);

}  // namespace quenvale

#endif
