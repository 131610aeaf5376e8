// A picture's regions: the 4-connected runs of pixels with one stored
// value, each numbered in the order of its first pixel (rows from the top),
// and their colours numbered oldest first: by the first pixel of the
// flatten's visiting order (column by column, each from the bottom row up)
// that has the colour, which is the first-fit palette's order, and is the
// same whether the picture is held indexed or as samples.
#ifndef QUENVALE_PIXEL_REGIONS_H
#define QUENVALE_PIXEL_REGIONS_H

#include <cstdint>

#include "base/status.h"
#include "picture/picture_model.h"

namespace quenvale {

struct PixelRegion {
    uint32_t size;   // pixels
    uint32_t seed;   // its first pixel, y * width + x
    uint32_t color;  // its colour's number
};
struct RegionColor {
    uint64_t value;  // the stored bits of its pixels
    uint32_t rgba;   // 0xAARRGGBB at 8 bits (ReadPictureRgba)
};
struct PixelRegions {
    uint32_t* labels;  // each pixel's region, rows from the top
    PixelRegion* regions;
    uint32_t count;
    RegionColor* colors;  // oldest first
    uint32_t colorCount;
};

// The most pixels a picture labelled may have: a pixel's place fits in 32 bits with one spare.
constexpr uint64_t kMostLabelledPixels = (uint64_t{1} << 31) - 1;
// That spare bit of a label, for a walk to mark the pixels it has taken.
constexpr uint32_t kWalkedLabel = 0x80000000u;

// The root of a union-find's set, halving the path on the way.
inline uint32_t RootOf(uint32_t* parent, uint32_t label) {
    while (parent[label] != label) {
        parent[label] = parent[parent[label]];
        label = parent[label];
    }
    return label;
}

// The regions of a picture of at most kMostLabelledPixels pixels (else
// StatusUnsupported); StatusOutOfMemory leaves *regions empty.
Status LabelRegions(const Picture& picture, PixelRegions* regions);
void FreePixelRegions(PixelRegions* regions);

// A pixel's stored bits, read and written.
uint64_t StoredPixel(const Picture& picture, uint32_t x, uint32_t y);
void WriteStoredPixel(const Picture& picture, uint32_t x, uint32_t y, uint64_t value);

}  // namespace quenvale

#endif
