// Pixels between the stored rows and the column-major grid, for the
// filters that work on grids: 24-bit rows, or 32-bit ones with a byte to
// each channel.
#include "bitmap.h"

namespace quenvale {

bool RowsToGrid(const BitmapFormat& format, const uint8_t* rows, PixelGrid grid) {
    uint32_t at[3];
    if (!ByteChannels(format, at)) {
        return false;
    }
    size_t pixelBytes = format.bitsPerPixel / 8;
    auto stride = static_cast<size_t>(format.stride);
    for (uint32_t x = 0; x < format.width; ++x) {
        Rgb* column = GridColumn(grid, x, format.rowCount);
        const uint8_t* source = rows + pixelBytes * x;
        for (uint32_t y = 0; y < format.rowCount; ++y, source += stride) {
            column[y] = Rgb{source[at[0]], source[at[1]], source[at[2]]};
        }
    }
    return true;
}

bool GridToRows(const BitmapFormat& format, PixelGrid grid, uint8_t* rows) {
    uint32_t at[3];
    if (!ByteChannels(format, at)) {
        return false;
    }
    size_t pixelBytes = format.bitsPerPixel / 8;
    auto stride = static_cast<size_t>(format.stride);
    for (uint32_t x = 0; x < format.width; ++x) {
        const Rgb* column = GridColumn(grid, x, format.rowCount);
        uint8_t* target = rows + pixelBytes * x;
        // A 32-bit pixel's fourth byte (alpha, or unused) stays as it was.
        for (uint32_t y = 0; y < format.rowCount; ++y, target += stride) {
            target[at[0]] = column[y].red;
            target[at[1]] = column[y].green;
            target[at[2]] = column[y].blue;
        }
    }
    return true;
}

}  // namespace quenvale
