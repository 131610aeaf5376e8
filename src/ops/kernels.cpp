// Per-pixel kernels and the driver that applies one to every pixel.
#include <algorithm>

#include "ops/kernels.h"
#include "ops/point_rules.h"

namespace quenvale {

namespace {

Rgb SourcePixel(PixelGrid source, int32_t x, int32_t y, uint32_t height) {
    return GridColumn(source, static_cast<uint32_t>(x), height)[y];
}

void SetPixel(PixelGrid destination, int32_t x, int32_t y, uint32_t height, Rgb pixel) {
    GridColumn(destination, static_cast<uint32_t>(x), height)[y] = pixel;
}

int ChannelSum(Rgb pixel) { return pixel.red + pixel.green + pixel.blue; }

// The window of radius r around a coordinate, clamped to [0, size - 1].
void ClampWindow(int32_t centre, int32_t radius, uint32_t size, int32_t* low, int32_t* high) {
    *low = std::max(centre - radius, 0);
    *high = static_cast<int32_t>(std::min<int64_t>(int64_t{centre} + radius, int64_t{size} - 1));
}

}  // namespace

void ForEachPixel(PixelKernel kernel, PixelGrid source, PixelGrid destination, uint32_t width, uint32_t height) {
    // An empty grid ends here, whatever its other side: a width of 0 with a
    // height of billions has no pixel to visit.
    if (width == 0 || height == 0) {
        return;
    }
    for (uint32_t y = 0; y < height; ++y) {
        for (uint32_t x = 0; x < width; ++x) {
            kernel(source, destination, static_cast<int32_t>(x), static_cast<int32_t>(y), width, height);
        }
    }
}

namespace {

template <PointRule rule>
void MapPixel(PixelGrid source, PixelGrid destination, int32_t x, int32_t y, uint32_t height) {
    SetPixel(destination, x, y, height, rule(SourcePixel(source, x, y, height)));
}

}  // namespace

void KeepRedChannel(PixelGrid source, PixelGrid destination, int32_t x, int32_t y, uint32_t, uint32_t height) {
    MapPixel<RedOnly>(source, destination, x, y, height);
}

void KeepGreenChannel(PixelGrid source, PixelGrid destination, int32_t x, int32_t y, uint32_t, uint32_t height) {
    MapPixel<GreenOnly>(source, destination, x, y, height);
}

void KeepBlueChannel(PixelGrid source, PixelGrid destination, int32_t x, int32_t y, uint32_t, uint32_t height) {
    MapPixel<BlueOnly>(source, destination, x, y, height);
}

void GrayscaleAverage(PixelGrid source, PixelGrid destination, int32_t x, int32_t y, uint32_t, uint32_t height) {
    MapPixel<GrayMean>(source, destination, x, y, height);
}

void ThresholdBlackWhite(PixelGrid source, PixelGrid destination, int32_t x, int32_t y, uint32_t,
                         uint32_t height) {
    MapPixel<BlackOrWhite>(source, destination, x, y, height);
}

void BoxBlur7x7(PixelGrid source, PixelGrid destination, int32_t x, int32_t y, uint32_t width, uint32_t height) {
    int32_t left, right, top, bottom;
    ClampWindow(x, 3, width, &left, &right);
    ClampWindow(y, 3, height, &top, &bottom);
    uint32_t red = 0, green = 0, blue = 0, count = 0;
    for (int32_t column = left; column <= right; ++column) {
        for (int32_t row = top; row <= bottom; ++row) {
            Rgb pixel = SourcePixel(source, column, row, height);
            red += pixel.red;
            green += pixel.green;
            blue += pixel.blue;
            ++count;
        }
    }
    SetPixel(destination, x, y, height,
             Rgb{static_cast<uint8_t>(red / count), static_cast<uint8_t>(green / count),
                 static_cast<uint8_t>(blue / count)});
}

void DarkestNeighbor5x5(PixelGrid source, PixelGrid destination, int32_t x, int32_t y, uint32_t width,
                        uint32_t height) {
    Rgb centre = SourcePixel(source, x, y, height);
    int total = ChannelSum(centre);
    int32_t left, right, top, bottom;
    ClampWindow(x, 2, width, &left, &right);
    ClampWindow(y, 2, height, &top, &bottom);
    int best = 255;
    // With no eligible neighbour (all at least 255 brighter in sum, or none
    // at all in a 1 x 1 grid) the pixel keeps its own colour.
    Rgb chosen = centre;
    for (int32_t column = left; column <= right; ++column) {
        for (int32_t row = top; row <= bottom; ++row) {
            if (column == x && row == y) {
                continue;
            }
            Rgb neighbor = SourcePixel(source, column, row, height);
            int difference = ChannelSum(neighbor) - total;
            if (difference < best) {
                best = difference;
                chosen = neighbor;
            }
        }
    }
    SetPixel(destination, x, y, height, chosen);
}

}  // namespace quenvale
