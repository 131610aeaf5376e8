// The colour maps' point rules: a pixel's result from its own colour alone.
// Each rule is written once, here, and used by its grid kernel (kernels.cpp)
// and by its streamed form (kernel_stream.cpp) alike.
#ifndef QUENVALE_POINT_RULES_H
#define QUENVALE_POINT_RULES_H

#include <cstddef>
#include <cstdint>

#include "bmp/pixel_grid.h"

namespace quenvale {

using PointRule = Rgb (*)(Rgb color);

inline Rgb RedOnly(Rgb color) { return Rgb{color.red, 0, 0}; }
inline Rgb GreenOnly(Rgb color) { return Rgb{0, color.green, 0}; }
inline Rgb BlueOnly(Rgb color) { return Rgb{0, 0, color.blue}; }

// The mean of the three channels, truncated.
inline uint8_t ChannelMean(Rgb color) {
    return static_cast<uint8_t>((uint32_t{color.red} + color.green + color.blue) / 3);
}
inline Rgb GrayMean(Rgb color) {
    uint8_t mean = ChannelMean(color);
    return Rgb{mean, mean, mean};
}
// White where the mean is above 127, else black.
inline Rgb BlackOrWhite(Rgb color) {
    uint8_t level = ChannelMean(color) > 127 ? 255 : 0;
    return Rgb{level, level, level};
}

// A rule on packed 0xRRGGBB colours.
template <PointRule rule>
uint32_t MapPackedColor(uint32_t color) {
    Rgb mapped = rule(Rgb{static_cast<uint8_t>(color >> 16), static_cast<uint8_t>(color >> 8),
                          static_cast<uint8_t>(color)});
    return uint32_t{mapped.red} << 16 | uint32_t{mapped.green} << 8 | mapped.blue;
}

// A rule on count pixels of pixelBytes each that keep red, green and blue
// in bytes of their own, at the offsets channels gives; other bytes kept.
template <PointRule rule>
void MapPixelBytes(uint8_t* pixels, size_t pixelBytes, size_t count, const int* channels) {
    auto r = static_cast<size_t>(channels[0]);
    auto g = static_cast<size_t>(channels[1]);
    auto b = static_cast<size_t>(channels[2]);
    for (uint8_t* pixel = pixels; pixel < pixels + pixelBytes * count; pixel += pixelBytes) {
        Rgb mapped = rule(Rgb{pixel[r], pixel[g], pixel[b]});
        pixel[r] = mapped.red;
        pixel[g] = mapped.green;
        pixel[b] = mapped.blue;
    }
}

}  // namespace quenvale

#endif
