// Filters: operations from a source grid to a destination grid of the same
// size. They do no file or console work.
#ifndef QUENVALE_FILTERS_H
#define QUENVALE_FILTERS_H

#include <cstddef>
#include <cstdint>

#include "bitmap.h"

namespace quenvale {

// A whole-grid filter: fills every pixel of destination from source and
// returns ResultDone, or ResultOutOfMemory when its working storage could
// not be had.
using GridFilter = int32_t (*)(PixelGrid source, PixelGrid destination, uint32_t width, uint32_t height);
// A filter in place on the pixel data as the file stores it (a RowImage's
// bytes). Returns as a grid filter does.
// The tolerance is the flatten's reach per channel, 0 to 255.
using RowFilter = int32_t (*)(const BitmapFormat& format, uint8_t* pixels, int tolerance);

// Flatten. Entries lie pairwise more than the tolerance apart on some
// channel, so no two share a cell of a 13 x 13 x 13 split of the colour
// cube into 21-wide steps: a palette never holds more than 2197 entries.
constexpr int kColorTolerance = 20;
constexpr uint32_t kMaxPaletteEntries = 13 * 13 * 13;

// The most entries a palette can hold at a tolerance: one to a cell of
// tolerance + 1 values per channel.
uint64_t MaxPaletteEntries(int tolerance);

struct PaletteEntry {
    Rgb color;  // the founding pixel's colour, never changed
};

// The plain first-fit walk over the entries in order of creation.
// FlattenColors gives, for every pixel, the entry this walk gives.
struct Palette {
    PaletteEntry entries[kMaxPaletteEntries];
    uint32_t count;
};

bool IsNearColor(const PaletteEntry& entry, Rgb pixel);
// The oldest entry within tolerance of the pixel, appending one when none is.
const PaletteEntry& MatchPaletteEntry(Palette& palette, Rgb pixel);
// Visits the pixels column by column, each column in stored row order: that
// order decides which pixel founds each entry.
int32_t FlattenColors(PixelGrid source, PixelGrid destination, uint32_t width, uint32_t height);
// The same flatten, in place on 24-bit rows: blue-green-red, the first
// visited row at rows and each next one stride bytes on (negative for a
// top-down file). Padding bytes are not touched. Pixels are read a word at
// a time, so the byte after the last pixel must be readable, as a
// RowImage's spare bytes make it.
int32_t FlattenRows(uint8_t* rows, ptrdiff_t stride, uint32_t width, uint32_t height,
                    int tolerance = kColorTolerance);
// The exported call's filter: the flatten in place on any bitmap's pixel
// data, each visited pixel given its founder's value in the file's own
// encoding (an index, masked bits with the others kept, or bytes).
int32_t FlattenBitmap(const BitmapFormat& format, uint8_t* pixels, int tolerance);

// The search behind every flatten: packed 0xRRGGBB colours in visiting
// order, each replaced by its entry's colour at the given tolerance. It keeps its palette from one
// piece to the next; a piece holds at most the capacity it was made with.
struct CellIndex;
CellIndex* NewCellIndex(uint32_t pieceCapacity, int tolerance);  // null when out of memory
void FreeCellIndex(CellIndex* index);               // null is ignored
uint32_t* CellIndexPiece(CellIndex* index);        // pieceCapacity words to fill
void FlattenPiece(CellIndex& index, uint32_t* colors, size_t count);

// Per-pixel kernels: each writes all three channels of destination pixel
// (x, y) from the source alone, so the order of visits does not matter.
using PixelKernel = void (*)(PixelGrid source, PixelGrid destination, int32_t x, int32_t y, uint32_t width,
                             uint32_t height);

// Rows outer, columns inner.
void ForEachPixel(PixelKernel kernel, PixelGrid source, PixelGrid destination, uint32_t width, uint32_t height);

void KeepRedChannel(PixelGrid source, PixelGrid destination, int32_t x, int32_t y, uint32_t width, uint32_t height);
void KeepGreenChannel(PixelGrid source, PixelGrid destination, int32_t x, int32_t y, uint32_t width,
                      uint32_t height);
void KeepBlueChannel(PixelGrid source, PixelGrid destination, int32_t x, int32_t y, uint32_t width, uint32_t height);
// Mean of the three channels, truncated, on every channel.
void GrayscaleAverage(PixelGrid source, PixelGrid destination, int32_t x, int32_t y, uint32_t width,
                      uint32_t height);
// White when the mean is above 127, else black.
void ThresholdBlackWhite(PixelGrid source, PixelGrid destination, int32_t x, int32_t y, uint32_t width,
                         uint32_t height);
// Mean of each channel over the 7 x 7 window clamped to the grid, truncated.
void BoxBlur7x7(PixelGrid source, PixelGrid destination, int32_t x, int32_t y, uint32_t width, uint32_t height);
// The colour of the neighbour with the smallest channel sum in the 5 x 5
// window clamped to the grid, centre excluded, first visited (columns outer,
// rows inner) on a tie; only neighbours whose sum is below the centre's sum
// plus 255 are eligible. With none eligible the source pixel is kept.
void DarkestNeighbor5x5(PixelGrid source, PixelGrid destination, int32_t x, int32_t y, uint32_t width,
                        uint32_t height);

// Whole-grid forms of the kernels, with results identical to ForEachPixel
// with the kernel, for the host's filters.
int32_t ApplyKeepRedChannel(PixelGrid source, PixelGrid destination, uint32_t width, uint32_t height);
int32_t ApplyKeepGreenChannel(PixelGrid source, PixelGrid destination, uint32_t width, uint32_t height);
int32_t ApplyKeepBlueChannel(PixelGrid source, PixelGrid destination, uint32_t width, uint32_t height);
int32_t ApplyGrayscaleAverage(PixelGrid source, PixelGrid destination, uint32_t width, uint32_t height);
int32_t ApplyThresholdBlackWhite(PixelGrid source, PixelGrid destination, uint32_t width, uint32_t height);
int32_t ApplyBoxBlur7x7(PixelGrid source, PixelGrid destination, uint32_t width, uint32_t height);
int32_t ApplyDarkestNeighbor5x5(PixelGrid source, PixelGrid destination, uint32_t width, uint32_t height);

// Whether a grid filter can read and write the bitmap's pixels: 24-bit
// rows, or 32-bit ones with a byte to each channel (the fourth is carried).
bool GridFilterAccepts(const BitmapFormat& format);

struct NamedFilter {
    const char* name;
    const char* summary;
    GridFilter filter;
};
extern const NamedFilter kNamedFilters[];
extern const size_t kNamedFilterCount;
// Null for an unknown name.
const NamedFilter* FindNamedFilter(const char* name);

}  // namespace quenvale

#endif
