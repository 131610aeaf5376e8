// RLE8 and RLE4 streams. A stream is pairs of bytes: a count and an index
// (an encoded run; RLE4 alternates the index's two nibbles), or a zero and
// an escape: end of line, end of bitmap, a delta that skips pixels, or an
// absolute run of indices padded to an even length.
#include <algorithm>

#include "pixel_values.h"

namespace quenvale {

namespace {

void Report(const BitmapFormat& format, uint64_t x, uint32_t y, uint32_t pixels, uint8_t* indices, bool absolute,
            RleVisitor visit, void* context) {
    // A run reaching past the row's end sets only the pixels inside the image.
    if (x >= format.width || pixels == 0) {
        return;
    }
    auto x32 = static_cast<uint32_t>(x);
    visit(RleRun{x32, y, std::min(pixels, format.width - x32), indices, absolute}, context);
}

}  // namespace

void WalkRleStream(const BitmapFormat& format, uint8_t* data, size_t length, RleVisitor visit, void* context) {
    bool four = format.encoding == EncodingRle4;
    // x may run far past the width; 64 bits cannot wrap on 255 a byte pair.
    uint64_t x = 0;
    uint32_t y = 0;
    size_t at = 0;
    while (y < format.rowCount && length - at >= 2) {
        uint8_t count = data[at];
        uint8_t code = data[at + 1];
        at += 2;
        if (count != 0) {
            Report(format, x, y, count, data + at - 1, false, visit, context);
            x += count;
        } else if (code == 0) {
            x = 0;
            ++y;
        } else if (code == 1) {
            return;
        } else if (code == 2) {
            if (length - at < 2) {
                return;
            }
            x += data[at];
            y += data[at + 1];
            at += 2;
        } else {
            size_t bytes = four ? (size_t{code} + 1) / 2 : code;
            // A stream cut inside the run sets the pixels whose indices it holds.
            size_t held = std::min(bytes, length - at);
            auto pixels = static_cast<uint32_t>(four ? std::min<size_t>(code, 2 * held) : held);
            Report(format, x, y, pixels, data + at, true, visit, context);
            if (held < bytes) {
                return;
            }
            at += std::min(length - at, (bytes + 1) & ~size_t{1});
            x += code;
        }
    }
}

}  // namespace quenvale
