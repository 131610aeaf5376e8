// The parts of the streamed kernels that kernel_stream.cpp drives: the row
// codecs between stored rows and the ring of colours (kernel_rows.cpp), and
// the window operations over the ring (kernel_windows.cpp).
#ifndef QUENVALE_KERNEL_PARTS_H
#define QUENVALE_KERNEL_PARTS_H

#include <cstddef>
#include <cstdint>

#include "ops/kernel_stream.h"

namespace quenvale::stream {

// The rows of the window above and below a pixel.
inline uint32_t WindowRadius(KernelWindow window) {
    switch (window) {
        case WindowNone:
            return 0;
        case WindowBlur:
            return 3;
        case WindowDarkest:
            return 2;
    }
    return 0;
}
inline uint32_t ChannelSum(uint32_t color) { return (color >> 16) + (color >> 8 & 0xFF) + (color & 0xFF); }
inline bool IsPointMap(const Kernel& kernel) { return kernel.mapColor != nullptr; }
// Where stored row y's pixels lie in the ring.
inline size_t RowAt(const KernelWork& work, uint32_t y) { return size_t{y % work.ringRows} * work.width; }

// The output's bits a pixel and bytes a row.
uint32_t OutputBits(const KernelWork& work);
uint64_t OutputStride(const KernelWork& work);
// Where a pixel keeps each channel's byte: 24-bit pixels, and 32-bit ones
// whose masks are whole bytes. False for others.
bool FindByteChannels(const BitmapFormat& format, int* positions);
inline bool HasByteChannels(const KernelWork& work) { return work.byteChannels[0] >= 0; }
// The stored bits nearest to an 8-bit result, for each channel of a masked
// format.
void BuildEncoding(const BitmapFormat& format, uint32_t encode[3][256]);
// A stored row (bytes as stored, or an RLE row of one index a byte) into
// ring slot y: colours, and the values and sums where kept.
void DecodeRow(KernelWork& work, const uint8_t* row, bool indices, uint32_t y);
// The row of results for row t into the output row.
void EncodeRow(KernelWork& work, uint32_t t);

// The blur's column sums hold the rows [low, high).
struct BlurSums {
    uint32_t low;
    uint32_t high;
};
// The results of output row t, its window's rows being in the ring.
void Blur(KernelWork& work, BlurSums& sums, uint32_t t);
void Darkest(KernelWork& work, uint32_t t);
// Output row t's results by the kernel's window or colour rule: colours,
// or the darkest neighbour's ring offsets.
void MakeRowResults(KernelWork& work, BlurSums& sums, uint32_t t);

}  // namespace quenvale::stream

#endif
