// The pixel grid of the kernels and the grid flatten, and the module-wide
// counter of the bytes live grids hold, printed after each change.
#ifndef QUENVALE_PIXEL_GRID_H
#define QUENVALE_PIXEL_GRID_H

#include <cstddef>
#include <cstdint>

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
// The exported call's two grids (source and destination) at once.
void CountCallGrids(uint32_t width, uint32_t height);
void UncountCallGrids(uint32_t width, uint32_t height);

}  // namespace quenvale

#endif
