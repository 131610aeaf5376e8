// The two shapes a filter takes, and the filters by the names the
// command-line host knows them by.
#ifndef QUENVALE_FILTER_TABLE_H
#define QUENVALE_FILTER_TABLE_H

#include <cstddef>
#include <cstdint>

#include "bitmap_format.h"
#include "pixel_grid.h"
#include "status.h"

namespace quenvale {

// A whole-grid filter: fills every pixel of destination from source.
using GridFilter = Status (*)(PixelGrid source, PixelGrid destination, uint32_t width, uint32_t height);
// A filter in place on the pixel data as the file stores it (a RowImage's
// bytes), at a tolerance of 0 to 255 where it takes one.
using RowFilter = Status (*)(const BitmapFormat& format, uint8_t* pixels, int tolerance);

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
