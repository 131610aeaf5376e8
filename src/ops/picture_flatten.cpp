// The flatten on a picture of any storage, through the flatten that suits
// it. The search treats the three channels alike, so RGB bytes go the way of
// BGR ones; grey and grey with alpha are indices or masked words that give
// the same colours; 16-bit RGB, too wide for a word, records its founders
// by position.
#include <algorithm>
#include <cstring>

#include "base/memory.h"
#include "bmp/pixel_values.h"
#include "ops/flatten.h"
#include "ops/founder_table.h"
#include "ops/picture_flatten.h"

namespace quenvale {

namespace {

// The bitmap layout that stores a picture's rows as they are.
BitmapFormat RowsFormat(const Picture& picture, PixelEncoding encoding, uint16_t bitsPerPixel) {
    BitmapFormat format{};
    format.width = picture.width;
    format.rowCount = picture.height;
    format.topDown = picture.topDown;
    format.bitsPerPixel = bitsPerPixel;
    format.encoding = encoding;
    format.stride = picture.stride;
    return format;
}

// Masked words whose three channels are one and the same sample of the
// given bits from bit 0: grey, with alpha above it where there is alpha.
BitmapFormat GreyWordsFormat(const Picture& picture, uint16_t wordBits, uint32_t sampleBits) {
    BitmapFormat format = RowsFormat(picture, EncodingMasked, wordBits);
    uint32_t mask = (uint32_t{1} << sampleBits) - 1;
    for (ChannelMask& channel : format.channels) {
        channel = ChannelMask{mask, 0, sampleBits};
    }
    format.colorBits = mask;
    return format;
}

// The layout the bitmap flatten takes the picture in; false for 16-bit RGB.
bool FormatOfPicture(const Picture& picture, BitmapFormat* format) {
    switch (picture.storage) {
        case StorageBgr24:
            *format = RowsFormat(picture, EncodingRgb24, 24);
            return true;
        case StorageIndexed:
            *format = RowsFormat(picture, EncodingIndexed, picture.bits);
            format->paletteCount = picture.paletteCount;
            std::memcpy(format->palette, picture.palette, sizeof picture.palette);
            return true;
        case StorageMasked:
            *format = RowsFormat(picture, EncodingMasked, picture.bits);
            std::memcpy(format->channels, picture.channels, sizeof picture.channels);
            format->colorBits = picture.colorBits;
            return true;
        case StorageGrey:
            if (!picture.alpha && picture.bits <= 8) {
                // Each grey value an index into a palette of the greys.
                *format = RowsFormat(picture, EncodingIndexed, picture.bits);
                format->paletteCount = uint32_t{1} << picture.bits;
                ChannelMask sample{(uint32_t{1} << picture.bits) - 1, 0, picture.bits};
                for (uint32_t value = 0; value < format->paletteCount; ++value) {
                    format->palette[value] = WidenChannel(value, sample) * 0x010101u;
                }
                return true;
            }
            *format = GreyWordsFormat(picture, picture.alpha ? 2 * picture.bits : picture.bits, picture.bits);
            return true;
        case StorageRgb:
            break;
    }
    return false;
}

// RGB of 16-bit samples, too wide for a word, or RGB with a transparent key
// colour, which takes no part: each founder is recorded by its place, and
// its colour samples copied.
Status FlattenRgbByPlace(const Picture& picture, int tolerance) {
    const uint32_t width = picture.width, height = picture.height;
    const size_t sampleBytes = picture.bits / 8;
    const size_t pixelBytes = (picture.alpha ? 4 : 3) * sampleBytes;
    if (uint64_t{width} * height > UINT32_MAX) {
        return StatusUnsupported;  // a place must fit the founder table's words
    }
    auto pixel = [&picture, height, pixelBytes](uint32_t x, uint32_t visited) {
        uint32_t stored = picture.topDown ? height - 1 - visited : visited;
        return picture.rows + size_t{stored} * picture.stride + x * pixelBytes;
    };
    auto read = [&picture, &pixel, width, sampleBytes](uint32_t x, uint32_t y, uint32_t* color, uint32_t* place) {
        const uint8_t* at = pixel(x, y);
        uint64_t value = 0;
        for (size_t i = 0; i < 3 * sampleBytes; i += sampleBytes) {
            value = value << picture.bits | (sampleBytes == 2 ? uint32_t{at[i]} | uint32_t{at[i + 1]} << 8 : at[i]);
        }
        // The high byte of each sample (little-endian when 16-bit).
        size_t high = sampleBytes - 1;
        *color = uint32_t{at[high]} << 16 | uint32_t{at[high + sampleBytes]} << 8 | at[high + 2 * sampleBytes];
        *place = y * width + x;
        return !picture.keyed || value != picture.key;
    };
    auto write = [&pixel, width, sampleBytes](uint32_t x, uint32_t y, uint32_t founder, uint32_t) {
        std::memmove(pixel(x, y), pixel(founder % width, founder / width), 3 * sampleBytes);
    };
    return FlattenByFounders(width, height, tolerance, read, write);
}

// The class of each value of a picture flattened as the format: its alpha
// where a palette gives one, whether it is the key for grey; null where
// there is none, or when memory runs out (*failed).
uint8_t* AlphaClasses(const Picture& picture, const BitmapFormat& format, bool* failed) {
    *failed = false;
    bool palette = picture.storage == StorageIndexed && picture.alphaCount != 0;
    bool key = picture.storage == StorageGrey && !picture.alpha && picture.keyed;
    if (!palette && !key) {
        return nullptr;
    }
    uint64_t values = uint64_t{1} << format.bitsPerPixel;
    auto* classes = static_cast<uint8_t*>(AllocateBytes(values));
    *failed = classes == nullptr;
    for (uint64_t value = 0; classes != nullptr && value < values; ++value) {
        classes[value] = palette ? (value < picture.alphaCount ? picture.paletteAlpha[value] : 0xFF)
                                 : (value == picture.key ? 0 : 0xFF);
    }
    return classes;
}

}  // namespace

Status FlattenPicture(const Picture& picture, int tolerance) {
    if (picture.width == 0 || picture.height == 0) {
        return StatusOk;
    }
    Status status = StatusOk;
    BitmapFormat format{};
    if (picture.storage == StorageRgb && (picture.bits == 16 || picture.keyed)) {
        status = FlattenRgbByPlace(picture, tolerance);
    } else if (picture.storage == StorageRgb) {
        // The visiting order starts at the picture's bottom row.
        auto stride = static_cast<ptrdiff_t>(picture.stride);
        uint8_t* bottom = picture.rows + (picture.topDown ? (picture.height - 1) * picture.stride : 0);
        status = FlattenRows(bottom, picture.topDown ? -stride : stride, picture.width, picture.height, tolerance,
                             picture.alpha ? 4 : 3);
    } else if (FormatOfPicture(picture, &format)) {
        bool failed = false;
        uint8_t* classes = AlphaClasses(picture, format, &failed);
        status = failed              ? StatusOutOfMemory
                 : classes != nullptr ? FlattenValuesInClasses(format, picture.rows, tolerance, classes)
                                      : FlattenBitmap(format, picture.rows, tolerance);
        ReleaseBytes(classes);
    }
    return status;
}

}  // namespace quenvale
