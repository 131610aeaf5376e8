// The per-pixel kernels and the driver that applies one to every pixel of a
// grid: the definitions that the kernels streamed over a bitmap's rows
// (kernel_stream.h) give the same results as.
#ifndef QUENVALE_KERNELS_H
#define QUENVALE_KERNELS_H

#include <cstdint>

#include "bmp/pixel_grid.h"

namespace quenvale {

// Per-pixel kernels: each writes all three channels of destination pixel
// (x, y) from the source alone, so the order of visits does not matter.
using PixelKernel = void (*)(PixelGrid source, PixelGrid destination, int32_t x, int32_t y, uint32_t width,
                             uint32_t height);

// Rows outer, columns inner.
void ForEachPixel(PixelKernel kernel, PixelGrid source, PixelGrid destination, uint32_t width, uint32_t height);

void KeepRedChannel(PixelGrid source, PixelGrid destination, int32_t x, int32_t y, uint32_t width, uint32_t height);
void KeepGreenChannel(PixelGrid source, PixelGrid destination, int32_t x, int32_t y, uint32_t width,
                      uint32_t height);
void KeepBlueChannel(PixelGrid source, PixelGrid destination, int32_t x, int32_t y, uint32_t width, uint32_t height);
// Mean of the three channels, truncated, on every channel.
void GrayscaleAverage(PixelGrid source, PixelGrid destination, int32_t x, int32_t y, uint32_t width,
                      uint32_t height);
// White when the mean is above 127, else black.
void ThresholdBlackWhite(PixelGrid source, PixelGrid destination, int32_t x, int32_t y, uint32_t width,
                         uint32_t height);
// Mean of each channel over the 7 x 7 window clamped to the grid, truncated.
void BoxBlur7x7(PixelGrid source, PixelGrid destination, int32_t x, int32_t y, uint32_t width, uint32_t height);
// The colour of the neighbour with the smallest channel sum in the 5 x 5
// window clamped to the grid, centre excluded, first visited (columns outer,
// rows inner) on a tie; only neighbours whose sum is below the centre's sum
// plus 255 are eligible. With none eligible the source pixel is kept.
void DarkestNeighbor5x5(PixelGrid source, PixelGrid destination, int32_t x, int32_t y, uint32_t width,
                        uint32_t height);

}  // namespace quenvale

#endif
