// The per-pixel kernels on a bitmap of any encoding, streamed: the pixel
// data is read, filtered and written a few stored rows at a time, so memory
// stays bounded whatever the picture's size. Each kernel is computed on the
// pixels' colours, as the flatten sees them, with the definitions of
// kernels.h; y is the stored row.
#ifndef QUENVALE_KERNEL_STREAM_H
#define QUENVALE_KERNEL_STREAM_H

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "base/status.h"
#include "bmp/bitmap_format.h"
#include "ops/point_rules.h"

namespace quenvale {

// The window operations, over a pixel's neighbours.
enum KernelWindow : uint8_t { WindowNone, WindowBlur, WindowDarkest };

// A kernel: a point rule on each pixel's colour (point_rules.h), or a
// window operation. It is made only by the three functions below, and has
// no default, so that a table row without its rule or window does not
// compile.
struct Kernel {
    uint32_t (*mapColor)(uint32_t color);  // the rule on packed 0xRRGGBB; null for a window operation
    void (*mapBytes)(uint8_t* pixels, size_t pixelBytes, size_t count, const int* channels);
    KernelWindow window;

    Kernel() = delete;
    constexpr Kernel(uint32_t (*color)(uint32_t), void (*bytes)(uint8_t*, size_t, size_t, const int*),
                     KernelWindow operation)
        : mapColor(color), mapBytes(bytes), window(operation) {}
};
template <PointRule rule>
constexpr Kernel PointKernel() {
    return Kernel(MapPackedColor<rule>, MapPixelBytes<rule>, WindowNone);
}
constexpr Kernel WindowKernel(KernelWindow window) { return Kernel(nullptr, nullptr, window); }
// The flatten's row, which is no kernel.
constexpr Kernel NoKernel() { return Kernel(nullptr, nullptr, WindowNone); }

// How a kernel's result is stored: in the file's own encoding where it can
// be, else as a new uncompressed bitmap.
enum KernelOutput : uint8_t {
    OutputPixels,      // the input's bytes with the pixel values replaced
    OutputPalette,     // the input's bytes with the palette entries replaced
    OutputNewRgb24,    // a new 24-bit bitmap: a 54-byte header and the rows
    OutputNewIndexed,  // a new uncompressed bitmap of the input's depth and palette
};
KernelOutput KernelOutputOf(const Kernel& kernel, const BitmapFormat& format);

// The working storage of one kernel on one bitmap.
struct KernelWork {
    const Kernel* kernel;  // a row's, in the filter table
    const BitmapFormat* format;  // null for a picture in memory (kernel_picture.h)
    uint32_t width;              // of the rows the ring holds
    uint32_t height;
    KernelOutput output;
    uint32_t radius;    // of the kernel's window: 0, 2 or 3
    uint32_t ringRows;  // stored rows the ring holds
    uint32_t* colors;   // the ring: packed 0xRRGGBB, width per row
    uint32_t* values;   // the ring: each pixel's stored value (darkest, masked)
    uint16_t* sums;     // the ring: each pixel's channel sum (darkest)
    uint32_t* columns;  // blur: three sums a column; darkest: each column's two darkest
    uint32_t* results;  // one row of results: colours, or the darkest's chosen pixels
    uint32_t* lookup;   // a stored value's colour, for values of up to 16 bits
    uint8_t* inRow;     // one stored row as read
    uint8_t* outRow;    // one row as written
    uint8_t* stream;    // an RLE stream, whole
    int byteChannels[3];      // where a pixel keeps each channel's byte; -1 where it does not
    uint32_t encode[3][256];  // masked: a channel's 8-bit result to its stored bits, the nearest value
};

// Takes the storage before the output is opened; refuses an RLE stream too
// sparse for its declared size to be decoded in proportion to the file.
bool PrepareKernel(const Kernel& kernel, const BitmapFormat& format, FILE* input, KernelWork* work,
                   Failure* failure);
// Writes the whole output: the input read from its start, the output at
// its start, or, written directly over the input, at the pixel data.
bool WriteKernelOutput(KernelWork& work, FILE* input, uint64_t fileLength, FILE* output, bool inPlace,
                       Failure* failure);
void ReleaseKernel(KernelWork& work);

// The same kernel on pixel data in memory, for pictures the host decoded:
// the stored rows, format.stride apart (an RLE stream is taken by
// PrepareKernel from its file), and the output's rows written to out,
// KernelOutputStride apart, in the same row order. OutputPalette writes no
// rows: MapKernelPalette gives the palette's entries mapped.
uint64_t KernelOutputStride(const KernelWork& work);
bool RunKernelOnRows(KernelWork& work, const uint8_t* rows, uint8_t* out, Failure* failure);
void MapKernelPalette(const KernelWork& work, uint32_t* palette);
// What comes before the output's rows, as WriteKernelOutput writes it, from
// the input's bytes up to its pixel data (headers).
bool WriteKernelHeaders(const KernelWork& work, const uint8_t* headers, FILE* output, Failure* failure);

}  // namespace quenvale

#endif
