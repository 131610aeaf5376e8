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
// A filter in place on the rows as the file stores them: blue-green-red,
// stride bytes apart, in stored order. Returns as a grid filter does.
using RowFilter = int32_t (*)(uint8_t* rows, size_t stride, uint32_t width, uint32_t height);

// Flatten. Entries lie pairwise more than the tolerance apart on some
// channel, so no two share a cell of a 13 x 13 x 13 split of the colour
// cube into 21-wide steps: a palette never holds more than 2197 entries.
constexpr int kColorTolerance = 20;
constexpr uint32_t kMaxPaletteEntries = 13 * 13 * 13;

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
// The same flatten, in place on the rows as the file stores them
// (blue-green-red, stride bytes apart, stored order): the exported call's
// filter, which needs no grid of its own. Padding bytes are not touched.
// Pixels are read a word at a time, so the byte after the last pixel must
// be readable, as a RowImage's spare bytes make it.
int32_t FlattenRows(uint8_t* rows, size_t stride, uint32_t width, uint32_t height);

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
