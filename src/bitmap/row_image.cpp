// The whole of an image's rows in one block, as the file stores them. The
// exported flatten works on them in place: one read, one write, and no
// copy between row order and column order on either side.
#include <cstring>

#include "bitmap.h"

namespace quenvale {

namespace {

// Zero the padding: the output's padding is zero whatever the input held,
// and the last row's may be missing from the input altogether.
void ClearPadding(RowImage image, size_t rowBytes, size_t stride, uint32_t height) {
    if (stride == rowBytes) {
        return;
    }
    uint8_t* padding = image.bytes + rowBytes;
    for (uint32_t y = 0; y < height; ++y, padding += stride) {
        std::memset(padding, 0, stride - rowBytes);
    }
}

}  // namespace

bool RowImageSize(uint32_t width, uint32_t height, int32_t padding, size_t* size) {
    // Rows of a width-0 image are padding alone, written without memory.
    uint64_t stride = width == 0 ? 0 : 3 * uint64_t{width} + static_cast<uint64_t>(padding);
    if (height != 0 && stride > SIZE_MAX / height) {
        return false;
    }
    *size = static_cast<size_t>(stride * height);
    return true;
}

RowImage AllocRowImage(uint32_t width, uint32_t height, int32_t padding) {
    size_t size = 0;
    if (!RowImageSize(width, height, padding, &size)) {
        return RowImage{nullptr};
    }
    // A spare word after the rows lets filters load the last pixel a word at a time.
    if (size > SIZE_MAX - kRowImageSpareBytes) {
        return RowImage{nullptr};
    }
    return RowImage{static_cast<uint8_t*>(AllocateBytes(size + kRowImageSpareBytes))};
}

void FreeRowImage(RowImage image) { ReleaseBytes(image.bytes); }

int32_t ReadRowImage(FILE* input, RowImage image, uint32_t width, uint32_t height, uint64_t offset,
                     int32_t padding) {
    if (width == 0 || height == 0) {
        return ResultDone;
    }
    size_t rowBytes = 3 * size_t{width};  // fits: the image was allocated
    size_t stride = rowBytes + static_cast<size_t>(padding);
    if (!SeekFile(input, offset)) {
        return ResultInputInvalid;
    }
    // The last row's padding may be missing from the file.
    size_t wanted = (height - 1) * stride + rowBytes;
    if (std::fread(image.bytes, 1, height * stride, input) < wanted) {
        return ResultInputInvalid;
    }
    ClearPadding(image, rowBytes, stride, height);
    return ResultDone;
}

int32_t WriteRowImage(FILE* output, RowImage image, uint32_t width, uint32_t height, int32_t padding) {
    if (width != 0) {
        size_t size = (3 * size_t{width} + static_cast<size_t>(padding)) * height;
        return WriteBytes(output, image.bytes, size) ? ResultDone : ResultOutputWriteFailed;
    }
    // Rows of padding alone: the file held them, so their bytes are bounded by its length.
    return WriteZeros(output, uint64_t{height} * static_cast<uint64_t>(padding)) ? ResultDone
                                                                                : ResultOutputWriteFailed;
}

}  // namespace quenvale
