// The filter's result put back into its source's encoding: the library
// works at 8 bits a channel on a bitmap, the PNG keeps its colour type and
// depth where the result allows.
#include <cstring>
#include <unordered_map>

#include "codecs/picture.h"

namespace quenvale_host {

namespace {

// A result pixel's colour, 0xAARRGGBB.
uint32_t ResultColor(const Picture& result, const uint8_t* row, uint32_t x) {
    if (PngColorTypeOf(result) == PngPalette) {
        return 0xFF000000u | result.palette[ReadSample(result, row, x)];
    }
    const uint8_t* pixel = row + size_t{x} * ChannelsOf(result);
    uint32_t alpha = PngColorTypeOf(result) == PngRgba ? pixel[3] : 0xFF;
    return alpha << 24 | uint32_t{pixel[0]} << 16 | uint32_t{pixel[1]} << 8 | pixel[2];
}

bool IsGrey(uint32_t color) {
    return (color >> 16 & 0xFF) == (color >> 8 & 0xFF) && (color >> 8 & 0xFF) == (color & 0xFF);
}

// Whether every colour is grey, and the fewest bits (up to the source's
// own depth, under 8) that hold every grey exactly.
void SurveyResult(const Picture& result, uint8_t sourceDepth, bool* grey, uint8_t* depth) {
    *grey = true;
    *depth = sourceDepth < 8 ? sourceDepth : 8;
    for (uint32_t y = 0; y < result.height && *grey; ++y) {
        const uint8_t* row = result.rows + size_t{y} * result.stride;
        for (uint32_t x = 0; x < result.width; ++x) {
            uint32_t color = ResultColor(result, row, x);
            uint32_t value = color & 0xFF;
            *grey = *grey && IsGrey(color);
            // A depth under 8 holds only the values its bits repeat to.
            if (WidenSample(value >> (8 - *depth), *depth) != value) {
                *depth = 8;
            }
        }
    }
}

// The founders' full 16-bit samples by their 8-bit colour: the first pixel
// of the flatten's visiting order (columns, each from the bottom row up)
// with a colour is the one that gave it.
using FounderMap = std::unordered_map<uint32_t, uint64_t>;

uint64_t SourceChannels(const Picture& source, uint32_t x, uint32_t y) {
    const uint8_t* row = source.rows + size_t{y} * source.stride;
    size_t first = size_t{x} * ChannelsOf(source);
    if (PngColorTypeOf(source) == PngGray || PngColorTypeOf(source) == PngGrayAlpha) {
        uint64_t grey = ReadSample(source, row, first);
        return grey << 32 | grey << 16 | grey;
    }
    return uint64_t{ReadSample(source, row, first)} << 32 | uint64_t{ReadSample(source, row, first + 1)} << 16 |
           ReadSample(source, row, first + 2);
}

FounderMap FindFounders(const Picture& source, const Picture& result) {
    FounderMap founders;
    for (uint32_t x = 0; x < result.width; ++x) {
        for (uint32_t y = result.height; y-- > 0;) {
            uint32_t color = ResultColor(result, result.rows + size_t{y} * result.stride, x) & 0xFFFFFF;
            founders.emplace(color, SourceChannels(source, x, y));
        }
    }
    return founders;
}

// Writes the mapped picture's samples from the result, pixel by pixel.
void FillSamples(const Picture& source, const Picture& result, const FounderMap* founders, Picture* out) {
    uint32_t channels = ChannelsOf(*out);
    bool alpha = channels == 2 || channels == 4;
    bool sourceAlpha = PngColorTypeOf(source) == PngGrayAlpha || PngColorTypeOf(source) == PngRgba;
    for (uint32_t y = 0; y < out->height; ++y) {
        const uint8_t* from = result.rows + size_t{y} * result.stride;
        const uint8_t* sourceRow = source.rows + size_t{y} * source.stride;
        uint8_t* to = out->rows + size_t{y} * out->stride;
        for (uint32_t x = 0; x < out->width; ++x) {
            uint32_t color = ResultColor(result, from, x);
            uint64_t wide = 0;
            if (founders != nullptr) {
                wide = founders->at(color & 0xFFFFFF);
            } else {
                // 8 bits to the out depth: widened to 16, or cut to fewer.
                for (int i = 0; i < 3; ++i) {
                    uint32_t byte = color >> (8 * i) & 0xFF;
                    uint64_t value = out->bits == 16 ? byte * 257 : byte >> (8 - out->bits);
                    wide |= value << (16 * i);
                }
            }
            size_t first = size_t{x} * channels;
            if (channels <= 2) {
                WriteSample(*out, to, first, static_cast<uint32_t>(wide & 0xFFFF));
            } else {
                WriteSample(*out, to, first, static_cast<uint32_t>(wide >> 32 & 0xFFFF));
                WriteSample(*out, to, first + 1, static_cast<uint32_t>(wide >> 16 & 0xFFFF));
                WriteSample(*out, to, first + 2, static_cast<uint32_t>(wide & 0xFFFF));
            }
            if (alpha) {
                // The source's alpha at its own depth where it had one.
                uint32_t value = sourceAlpha && source.bits == out->bits
                                     ? ReadSample(source, sourceRow, size_t{x} * ChannelsOf(source) +
                                                                         ChannelsOf(source) - 1)
                                 : out->bits == 16 ? (color >> 24) * 257
                                                       : color >> 24;
                WriteSample(*out, to, first + channels - 1, value);
            }
        }
    }
}

// Indices of one depth repacked to another, the palette kept.
bool Repack(uint8_t depth, Picture* result, PictureError* error) {
    Picture out = *result;
    out.bits = depth;
    out.rows = nullptr;
    if (!AllocateRows(&out, error)) {
        return false;
    }
    for (uint32_t y = 0; y < out.height; ++y) {
        const uint8_t* from = result->rows + size_t{y} * result->stride;
        uint8_t* to = out.rows + size_t{y} * out.stride;
        for (uint32_t x = 0; x < out.width; ++x) {
            WriteSample(out, to, x, ReadSample(*result, from, x));
        }
    }
    ReleasePicture(result);
    *result = out;
    return true;
}

// The source's transparency, where the result keeps its encoding: a
// palette's alpha by index, or the key colour of the same type and depth.
void KeepTransparency(const Picture& source, Picture* result) {
    if (PngColorTypeOf(*result) != PngColorTypeOf(source) || result->bits != source.bits) {
        return;
    }
    result->alphaCount = source.alphaCount;
    std::memcpy(result->paletteAlpha, source.paletteAlpha, sizeof source.paletteAlpha);
    result->keyed = source.keyed;
    result->key = source.key;
}

// The result's pixels in the source's type and depth where it can hold
// them.
bool MapPixels(const Picture& source, bool flatten, Picture* result, PictureError* error) {
    result->interlace = source.interlace;
    if (PngColorTypeOf(source) == PngPalette) {
        // An indexed result keeps the source's depth; blur's RGB stays RGB.
        bool repack = PngColorTypeOf(*result) == PngPalette && result->bits != source.bits;
        return !repack || Repack(source.bits, result, error);
    }
    bool sourceGrey = PngColorTypeOf(source) == PngGray || PngColorTypeOf(source) == PngGrayAlpha;
    bool sourceAlpha = PngColorTypeOf(source) == PngGrayAlpha || PngColorTypeOf(source) == PngRgba;
    bool grey = false;
    uint8_t depth = 8;
    SurveyResult(*result, source.bits, &grey, &depth);
    grey = grey && sourceGrey;
    Picture out = *result;
    SetPngEncoding(&out, grey ? (sourceAlpha ? PngGrayAlpha : PngGray) : sourceAlpha ? PngRgba : PngRgb, source.bits == 16 ? 16 : grey ? depth : 8);
    out.paletteCount = 0;
    if (PngColorTypeOf(out) == PngColorTypeOf(*result) && out.bits == result->bits) {
        return true;  // the result is already in the source's encoding
    }
    out.rows = nullptr;
    if (!AllocateRows(&out, error)) {
        return false;
    }
    if (flatten && source.bits == 16) {
        FounderMap founders = FindFounders(source, *result);
        FillSamples(source, *result, &founders, &out);
    } else {
        FillSamples(source, *result, nullptr, &out);
    }
    ReleasePicture(result);
    *result = out;
    return true;
}

}  // namespace

bool MapToSourceEncoding(const Picture& source, bool flatten, Picture* result, PictureError* error) {
    bool mapped = MapPixels(source, flatten, result, error);
    if (mapped) {
        KeepTransparency(source, result);
    }
    return mapped;
}

}  // namespace quenvale_host
