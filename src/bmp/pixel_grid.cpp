// Pixel grids and the module-wide count of the bytes they hold.
#include <atomic>
#include <cinttypes>
#include <cstdint>

#include "base/console.h"
#include "base/memory.h"
#include "bmp/pixel_grid.h"

namespace quenvale {

namespace {

// 64 bits: two grids of a large image pass the 32-bit range. Module-wide,
// and atomic, so that calls on several threads count without a race.
std::atomic<int64_t> allocationCounter{0};

void PrintAllocationCounter(int64_t value) {
    char line[80];
    std::snprintf(line, sizeof line, "Current amount of memory allocated: %" PRId64 " bytes\n\n", value);
    PrintLine(line);
}

}  // namespace

int64_t AllocationCounter() { return allocationCounter; }

uint64_t GridByteCount(uint32_t width, uint32_t height) {
    // At most 4 * 2^32 + 3 * 2^64: cannot happen for a grid that was allocated,
    // whose pixels fit in memory, so the counter never overflows.
    return 4 * uint64_t{width} + 3 * (uint64_t{width} * height);
}

PixelGrid AllocPixelGrid(uint32_t width, uint32_t height) {
    PixelGrid grid{nullptr};
    grid.pixels = AllocateArrayOf<Rgb>(uint64_t{width} * height);  // fits: (2^32 - 1)^2 < 2^64
    if (grid.pixels == nullptr) {
        return grid;
    }
    CountPixelGrid(width, height);
    return grid;
}

void FreePixelGrid(PixelGrid grid, uint32_t width, uint32_t height) {
    if (grid.pixels == nullptr) {
        return;
    }
    ReleaseBytes(grid.pixels);
    UncountPixelGrid(width, height);
}

void CountPixelGrid(uint32_t width, uint32_t height) {
    PrintAllocationCounter(allocationCounter += static_cast<int64_t>(GridByteCount(width, height)));
}

void UncountPixelGrid(uint32_t width, uint32_t height) {
    PrintAllocationCounter(allocationCounter -= static_cast<int64_t>(GridByteCount(width, height)));
}

void CountCallGrids(uint32_t width, uint32_t height) {
    CountPixelGrid(width, height);
    CountPixelGrid(width, height);
}

void UncountCallGrids(uint32_t width, uint32_t height) {
    UncountPixelGrid(width, height);
    UncountPixelGrid(width, height);
}

}  // namespace quenvale
