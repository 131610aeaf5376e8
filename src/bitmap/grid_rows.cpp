// Pixels between the stored rows and the column-major grid, for the
// filters that work on grids: 24-bit rows, or 32-bit ones with a byte to
// each channel.
#include "pixel_values.h"

namespace quenvale {

namespace {

// Where each channel's byte lies in a pixel, and how far pixels and rows
// lie apart; false for a format without a byte to each channel.
struct ByteLayout {
    uint32_t at[3];  // red, green, blue
    size_t pixelBytes;
    size_t stride;
};

bool LayoutOf(const BitmapFormat& format, ByteLayout* layout) {
    layout->pixelBytes = format.bitsPerPixel / 8;
    layout->stride = static_cast<size_t>(format.stride);
    return ByteChannels(format, layout->at);
}

}  // namespace

bool RowsToGrid(const BitmapFormat& format, const uint8_t* rows, PixelGrid grid) {
    ByteLayout layout;
    if (!LayoutOf(format, &layout)) {
        return false;
    }
    for (uint32_t x = 0; x < format.width; ++x) {
        Rgb* column = GridColumn(grid, x, format.rowCount);
        const uint8_t* source = rows + layout.pixelBytes * x;
        for (uint32_t y = 0; y < format.rowCount; ++y, source += layout.stride) {
            column[y] = Rgb{source[layout.at[0]], source[layout.at[1]], source[layout.at[2]]};
        }
    }
    return true;
}

bool GridToRows(const BitmapFormat& format, PixelGrid grid, uint8_t* rows) {
    ByteLayout layout;
    if (!LayoutOf(format, &layout)) {
        return false;
    }
    for (uint32_t x = 0; x < format.width; ++x) {
        const Rgb* column = GridColumn(grid, x, format.rowCount);
        uint8_t* target = rows + layout.pixelBytes * x;
        // A 32-bit pixel's fourth byte (alpha, or unused) stays as it was.
        for (uint32_t y = 0; y < format.rowCount; ++y, target += layout.stride) {
            target[layout.at[0]] = column[y].red;
            target[layout.at[1]] = column[y].green;
            target[layout.at[2]] = column[y].blue;
        }
    }
    return true;
}

}  // namespace quenvale
