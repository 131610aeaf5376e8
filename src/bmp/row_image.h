// The pixel data as the file stores it, in one block, for filters that work
// in place: uncompressed rows in stored order, or the whole RLE stream. It
// is read whole and written whole, with the bytes around it copied.
#ifndef QUENVALE_ROW_IMAGE_H
#define QUENVALE_ROW_IMAGE_H

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "base/status.h"
#include "bmp/bitmap_format.h"

namespace quenvale {

// Rows of a width-0 image hold no bytes.
struct RowImage {
    uint8_t* bytes;  // followed by kRowImageSpareBytes of slack
};
constexpr size_t kRowImageSpareBytes = 4;
// The bytes the image holds in memory; false when they do not fit.
bool RowImageSize(const BitmapFormat& format, size_t* size);
// Null bytes when the allocation fails or its size does not fit.
RowImage AllocRowImage(const BitmapFormat& format);
void FreeRowImage(RowImage image);
// Reads the pixel data, then zeroes what follows each row's last pixel.
bool ReadRowImage(FILE* input, RowImage image, const BitmapFormat& format, Failure* failure);
// Writes the pixel data, padding included, at the output's current position.
bool WriteRowImage(FILE* output, RowImage image, const BitmapFormat& format, Failure* failure);
// Copies the input's bytes up to the pixel-data offset to the output.
bool CopyHeaderBytes(FILE* input, FILE* output, uint32_t pixelOffset, Failure* failure);

}  // namespace quenvale

#endif
