// The pixel data in one block, as the file stores it. Filters work on it in
// place: one read, one write, and no copy between row order and column
// order on either side.
#include <cstring>

#include "base/file_io.h"
#include "base/memory.h"
#include "bmp/row_image.h"

namespace quenvale {

namespace {

// Zero what follows each row's last pixel: the output's padding is zero
// whatever the input held, and the last row's may be missing altogether.
void ClearRowEnds(const BitmapFormat& format, uint8_t* rows) {
    uint64_t rowBits = uint64_t{format.width} * format.bitsPerPixel;
    size_t fullBytes = static_cast<size_t>(rowBits / 8);
    auto stride = static_cast<size_t>(format.stride);
    uint8_t partialMask = static_cast<uint8_t>(0xFF00 >> (rowBits % 8));  // the last byte's pixel bits
    for (uint32_t y = 0; y < format.rowCount; ++y, rows += stride) {
        size_t end = fullBytes;
        if (rowBits % 8 != 0) {
            rows[end++] &= partialMask;
        }
        std::memset(rows + end, 0, stride - end);
    }
}

}  // namespace

bool RowImageSize(const BitmapFormat& format, size_t* size) {
    uint64_t bytes = PaddingOnly(format) ? 0 : format.rowsEnd - format.pixelOffset;
    // Filters step through the block with signed offsets.
    if (bytes > static_cast<uint64_t>(PTRDIFF_MAX) - kRowImageSpareBytes) {
        return false;
    }
    *size = static_cast<size_t>(bytes);
    return true;
}

RowImage AllocRowImage(const BitmapFormat& format) {
    size_t size = 0;
    if (!RowImageSize(format, &size)) {
        return RowImage{nullptr};
    }
    // A spare word after the rows lets filters load the last pixel a word at a time.
    size += kRowImageSpareBytes;
    return RowImage{static_cast<uint8_t*>(IsRle(format) ? AllocateSequentialBytes(size) : AllocateBytes(size))};
}

void FreeRowImage(RowImage image) { ReleaseBytes(image.bytes); }

bool ReadRowImage(FILE* input, RowImage image, const BitmapFormat& format, Failure* failure) {
    size_t size = 0;
    if (!RowImageSize(format, &size) || size == 0) {
        return true;
    }
    if (!SeekFile(input, format.pixelOffset)) {
        *failure = FailWith(StatusInputReadFailed, ReasonReadError);
        return false;
    }
    size_t got = std::fread(image.bytes, 1, size, input);
    // An RLE stream is read whole; the last row's padding may be missing.
    size_t needed = IsRle(format) ? size : size - static_cast<size_t>(format.padding);
    if (got < needed) {
        *failure = FailWith(StatusInputReadFailed, ReasonReadError);
        return false;
    }
    if (!IsRle(format)) {
        ClearRowEnds(format, image.bytes);
    }
    return true;
}

bool CopyHeaderBytes(FILE* input, FILE* output, uint32_t pixelOffset, Failure* failure) {
    return CopyFileBytes(input, 0, pixelOffset, output, failure);
}

bool WriteRowImage(FILE* output, RowImage image, const BitmapFormat& format, Failure* failure) {
    size_t size = 0;
    // Rows of padding alone are bounded by the file's length, since it held them.
    bool written = RowImageSize(format, &size) &&
                   (PaddingOnly(format) ? WriteZeros(output, uint64_t{format.rowCount} * format.stride)
                                        : WriteBytes(output, image.bytes, size));
    if (!written) {
        *failure = FailWithErrno(StatusOutputWriteFailed);
    }
    return written;
}

}  // namespace quenvale
