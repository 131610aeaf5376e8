// Whole-grid forms of the per-pixel kernels. Each gives exactly what
// ForEachPixel with its kernel gives, with the work shared between
// neighbouring pixels: running window sums for the blur, precomputed channel
// sums for the darkest neighbour.
#include <algorithm>

#include "kernels.h"
#include "memory.h"

namespace quenvale {

namespace {

size_t PixelCount(uint32_t width, uint32_t height) { return static_cast<size_t>(width) * height; }

template <typename Map>
Status MapPixels(PixelGrid source, PixelGrid destination, uint32_t width, uint32_t height, Map map) {
    size_t count = PixelCount(width, height);
    for (size_t i = 0; i < count; ++i) {
        destination.pixels[i] = map(source.pixels[i]);
    }
    return StatusOk;
}

uint8_t Mean(Rgb pixel) { return static_cast<uint8_t>((pixel.red + pixel.green + pixel.blue) / 3); }

// Sums of one column over the clamped vertical window of radius 3.
void VerticalSums(const Rgb* column, uint32_t height, uint16_t* sums) {
    uint32_t red = 0, green = 0, blue = 0;
    for (uint32_t y = 0; y < height && y <= 3; ++y) {
        red += column[y].red;
        green += column[y].green;
        blue += column[y].blue;
    }
    for (uint32_t y = 0; y < height; ++y) {
        sums[3 * size_t{y}] = static_cast<uint16_t>(red);
        sums[3 * size_t{y} + 1] = static_cast<uint16_t>(green);
        sums[3 * size_t{y} + 2] = static_cast<uint16_t>(blue);
        if (y + 4 < height) {
            red += column[y + 4].red;
            green += column[y + 4].green;
            blue += column[y + 4].blue;
        }
        if (y >= 3) {
            red -= column[y - 3].red;
            green -= column[y - 3].green;
            blue -= column[y - 3].blue;
        }
    }
}

uint32_t WindowLength(uint32_t centre, uint32_t radius, uint32_t size) {
    uint32_t low = centre >= radius ? centre - radius : 0;
    uint32_t high = std::min<uint64_t>(uint64_t{centre} + radius, size - 1);
    return high - low + 1;
}

}  // namespace

Status ApplyKeepRedChannel(PixelGrid source, PixelGrid destination, uint32_t width, uint32_t height) {
    return MapPixels(source, destination, width, height, [](Rgb p) { return Rgb{p.red, 0, 0}; });
}

Status ApplyKeepGreenChannel(PixelGrid source, PixelGrid destination, uint32_t width, uint32_t height) {
    return MapPixels(source, destination, width, height, [](Rgb p) { return Rgb{0, p.green, 0}; });
}

Status ApplyKeepBlueChannel(PixelGrid source, PixelGrid destination, uint32_t width, uint32_t height) {
    return MapPixels(source, destination, width, height, [](Rgb p) { return Rgb{0, 0, p.blue}; });
}

Status ApplyGrayscaleAverage(PixelGrid source, PixelGrid destination, uint32_t width, uint32_t height) {
    return MapPixels(source, destination, width, height, [](Rgb p) {
        uint8_t mean = Mean(p);
        return Rgb{mean, mean, mean};
    });
}

Status ApplyThresholdBlackWhite(PixelGrid source, PixelGrid destination, uint32_t width, uint32_t height) {
    return MapPixels(source, destination, width, height, [](Rgb p) {
        uint8_t level = Mean(p) > 127 ? 255 : 0;
        return Rgb{level, level, level};
    });
}

Status ApplyBoxBlur7x7(PixelGrid source, PixelGrid destination, uint32_t width, uint32_t height) {
    if (width == 0 || height == 0) {
        return StatusOk;
    }
    // Vertical sums of the last seven columns in a ring, and their running
    // horizontal total: a window sum stays below 49 * 255, within 16 bits.
    uint64_t columnValues = 3 * uint64_t{height};
    uint16_t* ring = AllocateArrayOf<uint16_t>(8 * columnValues);
    if (ring == nullptr) {
        return StatusOutOfMemory;
    }
    uint16_t* total = ring + 7 * columnValues;
    std::fill(total, total + columnValues, uint16_t{0});
    auto slot = [&](uint32_t column) { return ring + (column % 7) * columnValues; };
    auto addColumn = [&](uint32_t column) {
        uint16_t* sums = slot(column);
        VerticalSums(GridColumn(source, column, height), height, sums);
        for (uint64_t i = 0; i < columnValues; ++i) {
            total[i] = static_cast<uint16_t>(total[i] + sums[i]);
        }
    };
    // Exact truncating division by a window size of at most 49 as a
    // multiply: the error stays below 1 / 49 for sums under 2^26.
    uint64_t reciprocal[50] = {};
    for (uint32_t d = 1; d < 50; ++d) {
        reciprocal[d] = ((uint64_t{1} << 32) + d - 1) / d;
    }
    for (uint32_t column = 0; column < width && column <= 3; ++column) {
        addColumn(column);
    }
    for (uint32_t x = 0; x < width; ++x) {
        if (x >= 4) {
            // Leave before the entering column takes the same ring slot.
            const uint16_t* leaving = slot(x - 4);
            for (uint64_t i = 0; i < columnValues; ++i) {
                total[i] = static_cast<uint16_t>(total[i] - leaving[i]);
            }
        }
        if (uint64_t{x} + 3 < width && x >= 1) {
            addColumn(x + 3);
        }
        uint32_t columns = WindowLength(x, 3, width);
        Rgb* out = GridColumn(destination, x, height);
        for (uint32_t y = 0; y < height; ++y) {
            uint64_t scale = reciprocal[columns * WindowLength(y, 3, height)];
            const uint16_t* sum = total + 3 * size_t{y};
            out[y] = Rgb{static_cast<uint8_t>(sum[0] * scale >> 32), static_cast<uint8_t>(sum[1] * scale >> 32),
                         static_cast<uint8_t>(sum[2] * scale >> 32)};
        }
    }
    ReleaseBytes(ring);
    return StatusOk;
}

Status ApplyDarkestNeighbor5x5(PixelGrid source, PixelGrid destination, uint32_t width, uint32_t height) {
    size_t count = PixelCount(width, height);
    if (count == 0) {
        return StatusOk;
    }
    uint16_t* sums = AllocateArrayOf<uint16_t>(count);
    if (sums == nullptr) {
        return StatusOutOfMemory;
    }
    for (size_t i = 0; i < count; ++i) {
        sums[i] = static_cast<uint16_t>(source.pixels[i].red + source.pixels[i].green + source.pixels[i].blue);
    }
    for (uint32_t x = 0; x < width; ++x) {
        uint32_t left = x >= 2 ? x - 2 : 0;
        uint32_t right = std::min<uint64_t>(uint64_t{x} + 2, width - 1);
        for (uint32_t y = 0; y < height; ++y) {
            uint32_t top = y >= 2 ? y - 2 : 0;
            uint32_t bottom = std::min<uint64_t>(uint64_t{y} + 2, height - 1);
            size_t centre = static_cast<size_t>(x) * height + y;
            // Eligible: a sum below the centre's plus 255. Strictly smaller
            // wins, so the first visited (columns outer) keeps a tie.
            uint32_t bestSum = sums[centre] + 255u;
            size_t best = centre;
            for (uint32_t column = left; column <= right; ++column) {
                size_t base = static_cast<size_t>(column) * height;
                for (uint32_t row = top; row <= bottom; ++row) {
                    size_t at = base + row;
                    uint32_t sum = sums[at];
                    bool better = sum < bestSum && at != centre;
                    bestSum = better ? sum : bestSum;
                    best = better ? at : best;
                }
            }
            destination.pixels[centre] = source.pixels[best];
        }
    }
    ReleaseBytes(sums);
    return StatusOk;
}

}  // namespace quenvale
