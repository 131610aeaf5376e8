// Pixel values as a format stores them: uncompressed values in rows, the
// runs of RLE streams, and the colour a value stands for.
#ifndef QUENVALE_PIXEL_VALUES_H
#define QUENVALE_PIXEL_VALUES_H

#include <cstddef>
#include <cstdint>

#include "bitmap_format.h"

namespace quenvale {

// Pixel values of uncompressed rows, x pixels into a row.
uint32_t ReadPixelValue(const uint8_t* row, uint32_t x, uint32_t bitsPerPixel);
void WritePixelValue(uint8_t* row, uint32_t x, uint32_t bitsPerPixel, uint32_t value);
// The colour a value stands for: its palette entry (black past the
// palette), or its masked channels widened to 8 bits.
uint32_t ValueColor(const BitmapFormat& format, uint32_t value);
// The stored row that the visiting order takes as its y-th: the picture's
// bottom row first.
uint8_t* VisitRow(const BitmapFormat& format, uint8_t* rows, uint32_t y);

// The runs of an RLE stream, in stream order. Only pixels inside the image
// are reported; the stream ends at its end-of-bitmap mark, at the end of
// the data, or on a row past the top.
struct RleRun {
    uint32_t x;        // the run's first pixel
    uint32_t y;        // stored row, the bottom one first
    uint32_t count;    // pixels inside the image
    uint8_t* indices;  // the run's index bytes: one for an encoded run
    bool absolute;     // indices holds one index (RLE4: a nibble) per pixel
};
using RleVisitor = void (*)(const RleRun& run, void* context);
// The index of a run's i-th pixel. An encoded RLE4 run alternates its byte's
// nibbles (the high one on its even pixels, the low one on its odd pixels);
// an absolute run's bytes hold one each.
inline uint32_t RleRunIndex(const RleRun& run, bool four, uint32_t i) {
    if (!four) {
        return run.absolute ? run.indices[i] : run.indices[0];
    }
    uint32_t byte = run.absolute ? run.indices[i / 2] : run.indices[0];
    return i % 2 == 0 ? byte >> 4 : byte & 0xF;
}
void WalkRleStream(const BitmapFormat& format, uint8_t* data, size_t length, RleVisitor visit, void* context);

}  // namespace quenvale

#endif
