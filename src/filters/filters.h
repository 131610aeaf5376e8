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

// Flatten. Entries lie pairwise more than the tolerance apart on some
// channel, so no two share a cell of a 13 x 13 x 13 split of the colour
// cube into 21-wide steps: a palette never holds more than 2197 entries.
constexpr int kColorTolerance = 20;
constexpr uint32_t kMaxPaletteEntries = 13 * 13 * 13;

struct PaletteEntry {
    Rgb color;  // the founding pixel's colour, never changed
};

// Entries in order of creation.
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
