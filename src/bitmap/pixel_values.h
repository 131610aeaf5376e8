// Pixel values as a format stores them: uncompressed values in rows, the
// runs of RLE streams, the colour a value stands for, and the copies
// between byte-channel rows and a pixel grid.
#ifndef QUENVALE_PIXEL_VALUES_H
#define QUENVALE_PIXEL_VALUES_H

#include <cstddef>
#include <cstdint>

#include "bitmap_format.h"
#include "pixel_grid.h"

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
// Whether 32-bit pixels hold each channel in a byte of its own; fills the
// three byte positions (red, green, blue).
bool ByteChannels(const BitmapFormat& format, uint32_t* positions);
// Copies such rows' pixels into a grid (y in stored order) and back; false
// for any other format.
bool RowsToGrid(const BitmapFormat& format, const uint8_t* rows, PixelGrid grid);
bool GridToRows(const BitmapFormat& format, PixelGrid grid, uint8_t* rows);

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
void WalkRleStream(const BitmapFormat& format, uint8_t* data, size_t length, RleVisitor visit, void* context);

}  // namespace quenvale

#endif
