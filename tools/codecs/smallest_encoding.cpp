// The smallest lossless PNG encoding of a picture of 8-bit (or narrower)
// samples: grey where every pixel is opaque grey and grey is no wider, a
// palette of 1 to 8 bits (with tRNS for alpha) where at most 256 colours
// occur, grey with alpha where every pixel is grey, else its own type. The
// pixels decode to the same 8-bit RGBA in every case.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>

#include "codecs/picture.h"

namespace quenvale_host {

namespace {

// Pixels as they decode, 0xRRGGBBAA: through a table where a pixel is one
// sample of at most 8 bits, else from its samples.
struct Decoded {
    const Picture& picture;
    uint32_t channels;
    uint32_t values[256];

    // Type is the picture's colour type, fixed per loop so that the loops
    // over every pixel branch on nothing but the colour.
    template <uint8_t Type>
    uint32_t At(const uint8_t* row, uint32_t x) const {
        if (Type == PngPalette || Type == PngGray) {
            return values[ReadSample(picture, row, x)];
        }
        const uint8_t* pixel = row + size_t{x} * channels;
        switch (Type) {
            case PngGrayAlpha:
                return pixel[0] * 0x01010100u | pixel[1];
            case PngRgb: {
                uint32_t rgba = uint32_t{pixel[0]} << 24 | uint32_t{pixel[1]} << 16 | uint32_t{pixel[2]} << 8 | 0xFF;
                bool key = picture.keyed && (rgba >> 8) == picture.key;  // 8-bit samples, packed as the key
                return key ? rgba & ~0xFFu : rgba;
            }
            default:
                return uint32_t{pixel[0]} << 24 | uint32_t{pixel[1]} << 16 | uint32_t{pixel[2]} << 8 | pixel[3];
        }
    }

    uint32_t At(const uint8_t* row, uint32_t x) const {
        switch (PngColorTypeOf(picture)) {
            case PngPalette:
            case PngGray:
                return At<PngGray>(row, x);
            case PngGrayAlpha:
                return At<PngGrayAlpha>(row, x);
            case PngRgb:
                return At<PngRgb>(row, x);
            default:
                return At<PngRgba>(row, x);
        }
    }
};

void MakeTable(Decoded* decoded) {
    const Picture& picture = decoded->picture;
    bool table = PngColorTypeOf(picture) == PngPalette || PngColorTypeOf(picture) == PngGray;
    for (uint32_t value = 0; value < 256 && table; ++value) {
        if (PngColorTypeOf(picture) == PngPalette) {
            uint32_t alpha = value < picture.alphaCount ? picture.paletteAlpha[value] : 0xFF;
            decoded->values[value] = picture.palette[value] << 8 | alpha;
        } else if (value < (1u << picture.bits)) {
            uint32_t grey = WidenSample(value, picture.bits);
            bool key = picture.keyed && value == picture.key;
            decoded->values[value] = grey * 0x01010100u | (key ? 0 : 0xFF);
        }
    }
}

// The distinct colours, up to 256 of them, in an open-addressed table.
struct ColorSet {
    static constexpr uint32_t kSlots = 1024;
    uint32_t keys[kSlots];
    uint16_t slots[kSlots];  // entry number + 1, or 0
    uint32_t colors[256];
    uint32_t count;

    static uint32_t Hash(uint32_t color) { return (color * 0x9E3779B1u) >> 22; }
    // The colour's entry number; false when a 257th colour would be added.
    bool Find(uint32_t color, uint32_t* entry) {
        uint32_t slot = Hash(color);
        while (slots[slot] != 0) {
            if (keys[slot] == color) {
                *entry = slots[slot] - 1u;
                return true;
            }
            slot = (slot + 1) & (kSlots - 1);
        }
        if (count == 256) {
            return false;
        }
        keys[slot] = color;
        colors[count] = color;
        slots[slot] = static_cast<uint16_t>(++count);
        *entry = count - 1;
        return true;
    }
};

// What the pixels hold: at most 256 colours or more, all grey, all opaque,
// and the fewest bits that give every grey exactly.
struct Survey {
    bool many;
    bool grey;
    bool opaque;
    uint8_t greyDepth;
};

// The survey also leaves each pixel's entry number in entries (a byte a
// pixel, rows of width + 1 bytes), while there are 256 colours or fewer.
template <uint8_t Type>
Survey SurveyPixels(const Decoded& decoded, ColorSet* set, uint8_t* entries) {
    const Picture& picture = decoded.picture;
    Survey survey{false, true, true, 1};
    uint32_t last = 0, entry = 0;
    bool any = false;
    for (uint32_t y = 0; y < picture.height; ++y) {
        const uint8_t* row = picture.rows + size_t{y} * picture.stride;
        uint8_t* to = entries + size_t{y} * (size_t{picture.width} + 1);
        for (uint32_t x = 0; x < picture.width; ++x) {
            uint32_t color = decoded.At<Type>(row, x);
            if (any && color == last) {
                to[x] = static_cast<uint8_t>(entry);
                continue;  // flat colours come in runs
            }
            any = true;
            last = color;
            uint32_t red = color >> 24, green = color >> 16 & 0xFF, blue = color >> 8 & 0xFF;
            survey.grey = survey.grey && red == green && green == blue;
            survey.opaque = survey.opaque && (color & 0xFF) == 0xFF;
            while (survey.greyDepth < 8 && WidenSample(red >> (8 - survey.greyDepth), survey.greyDepth) != red) {
                survey.greyDepth = static_cast<uint8_t>(survey.greyDepth * 2);
            }
            survey.many = survey.many || !set->Find(color, &entry);
            to[x] = static_cast<uint8_t>(entry);
            if (survey.many && !survey.grey) {
                return survey;  // nothing narrower than the picture's own type is left
            }
        }
    }
    return survey;
}

uint8_t IndexDepth(uint32_t colors) { return colors <= 2 ? 1 : colors <= 4 ? 2 : colors <= 16 ? 4 : 8; }

// The palette in the order the colours were met, those with alpha first so
// that tRNS stays short; *order maps a colour's entry number to its index.
void MakePalette(const ColorSet& set, Picture* out, uint8_t* order) {
    out->paletteCount = set.count;
    out->alphaCount = 0;
    uint32_t next = 0;
    for (int pass = 0; pass < 2; ++pass) {
        for (uint32_t i = 0; i < set.count; ++i) {
            uint32_t color = set.colors[i];
            if (((color & 0xFF) != 0xFF) != (pass == 0)) {
                continue;
            }
            out->palette[next] = color >> 8;
            out->paletteAlpha[next] = static_cast<uint8_t>(color);
            out->alphaCount = pass == 0 ? next + 1 : out->alphaCount;
            order[i] = static_cast<uint8_t>(next++);
        }
    }
}

// Grey and alpha, for pictures all grey of over 256 grey and alpha pairs
// (rare enough to read each pixel through the colour type's switch).
void FillGreyAlpha(const Decoded& decoded, Picture* out) {
    const Picture& picture = decoded.picture;
    for (uint32_t y = 0; y < picture.height; ++y) {
        const uint8_t* row = picture.rows + size_t{y} * picture.stride;
        uint8_t* to = out->rows + size_t{y} * out->stride;
        for (uint32_t x = 0; x < picture.width; ++x) {
            uint32_t color = decoded.At(row, x);
            to[2 * size_t{x}] = static_cast<uint8_t>(color >> 24);
            to[2 * size_t{x} + 1] = static_cast<uint8_t>(color);
        }
    }
}

// The survey for the picture's colour type.
Survey SurveyAny(const Decoded& decoded, ColorSet* set, uint8_t* entries) {
    switch (PngColorTypeOf(decoded.picture)) {
        case PngPalette:
            return SurveyPixels<PngPalette>(decoded, set, entries);
        case PngGray:
            return SurveyPixels<PngGray>(decoded, set, entries);
        case PngGrayAlpha:
            return SurveyPixels<PngGrayAlpha>(decoded, set, entries);
        case PngRgb:
            return SurveyPixels<PngRgb>(decoded, set, entries);
        default:
            return SurveyPixels<PngRgba>(decoded, set, entries);
    }
}

// The survey's entry numbers (from block + 1, rows of width + 1 bytes) made
// in place into out's rows of indices or greys, each entry's value at out's
// depth: rows from block, or with framed from block + 1 with a zero byte
// before each. Each row lands at or before where its entries were, and
// each byte is written only once those it covers are read.
void PlaceEntries(uint8_t* block, const uint8_t* valueOf, bool framed, Picture* out) {
    size_t rowBytes = 0;
    RowBytes(out->width, PngColorTypeOf(*out), out->bits, &rowBytes);
    size_t stride = rowBytes + (framed ? 1 : 0), entryStride = size_t{out->width} + 1;
    uint8_t* base = block + (framed ? 1 : 0);
    uint32_t bits = out->bits;
    for (uint32_t y = 0; y < out->height; ++y) {
        const uint8_t* from = block + 1 + size_t{y} * entryStride;
        uint8_t* to = base + size_t{y} * stride;
        if (framed) {
            to[-1] = 0;  // the filter: none
        }
        if (bits == 8) {
            for (uint32_t x = 0; x < out->width; ++x) {
                to[x] = valueOf[from[x]];
            }
            continue;
        }
        uint32_t packed = 0, held = 0;
        for (uint32_t x = 0; x < out->width; ++x) {
            packed = packed << bits | valueOf[from[x]];
            held += bits;
            if (held == 8) {
                *to++ = static_cast<uint8_t>(packed);
                packed = held = 0;
            }
        }
        if (held != 0) {
            *to = static_cast<uint8_t>(packed << (8 - held));
        }
    }
    out->rows = base;
    out->stride = stride;
}

}  // namespace

bool SmallestEncoding(const Picture& picture, Picture* smallest, bool* changed, PictureError* error, bool* framed) {
    *changed = false;
    bool frame = framed != nullptr && *framed;
    if (framed != nullptr) {
        *framed = false;
    }
    if (picture.bits == 16 || picture.width == 0 || picture.height == 0) {
        return true;  // 16-bit samples hold more than 8-bit RGBA tells
    }
    Decoded decoded{picture, ChannelsOf(picture), {}};
    MakeTable(&decoded);
    // The entries, and in place the indices or greys they become: a byte a
    // pixel and one a row (pages of it touched only as the survey goes).
    uint64_t blockBytes = (uint64_t{picture.width} + 1) * picture.height + 1;
    auto* set = new (std::nothrow) ColorSet{};
    auto* block = blockBytes <= SIZE_MAX / 2 ? static_cast<uint8_t*>(std::calloc(static_cast<size_t>(blockBytes), 1))
                                             : nullptr;
    if (set == nullptr || block == nullptr) {
        delete set;
        std::free(block);
        *error = {"not enough memory to encode the PNG", quenvale::StatusOutOfMemory};
        return false;
    }
    Survey survey = SurveyAny(decoded, set, block + 1);
    Picture out = picture;
    out.interlace = 0;
    out.keyed = false;
    out.alphaCount = 0;
    out.paletteCount = 0;
    uint8_t paletteDepth = survey.many ? 16 : IndexDepth(set->count);
    if (survey.grey && survey.opaque && survey.greyDepth <= paletteDepth) {
        SetPngEncoding(&out, PngGray, survey.greyDepth);
    } else if (!survey.many) {
        SetPngEncoding(&out, PngPalette, paletteDepth);
    } else if (survey.grey) {
        SetPngEncoding(&out, PngGrayAlpha, 8);
    } else {
        delete set;
        std::free(block);
        return true;  // its own type is the smallest
    }
    out.rows = nullptr;
    uint8_t order[256] = {};
    if (PngColorTypeOf(out) == PngPalette) {
        MakePalette(*set, &out, order);
    }
    bool made = true;
    if (!survey.many) {
        // Grey at the fewest bits is each entry's grey, shifted down.
        uint8_t valueOf[256] = {};
        for (uint32_t entry = 0; entry < set->count; ++entry) {
            valueOf[entry] = PngColorTypeOf(out) == PngPalette
                                 ? order[entry]
                                 : static_cast<uint8_t>((set->colors[entry] >> 24) >> (8 - out.bits));
        }
        frame = frame && PngColorTypeOf(out) == PngPalette;
        PlaceEntries(block, valueOf, frame, &out);
        if (framed != nullptr) {
            *framed = frame;
        }
    } else {
        std::free(block);
        made = AllocateRows(&out, error);
        if (made) {
            FillGreyAlpha(decoded, &out);
        }
    }
    if (made) {
        *smallest = out;
        *changed = true;
    }
    delete set;
    return made;
}

bool DecodeRgba8(const Picture& picture, uint8_t* rgba, bool* opaque) {
    Decoded decoded{picture, ChannelsOf(picture), {}};
    MakeTable(&decoded);
    *opaque = true;
    uint32_t channels = ChannelsOf(picture);
    for (uint32_t y = 0; y < picture.height; ++y) {
        const uint8_t* row = picture.rows + size_t{y} * picture.stride;
        for (uint32_t x = 0; x < picture.width; ++x, rgba += 4) {
            uint32_t color = 0;
            if (picture.bits == 16) {
                // The high byte of each sample, grey as three; the key transparent.
                uint32_t samples[4] = {};
                bool key = picture.keyed;
                for (uint32_t i = 0; i < channels; ++i) {
                    samples[i] = ReadSample(picture, row, size_t{x} * channels + i);
                    key = key && (i >= 3 || samples[i] == KeySample(picture, i));
                }
                bool grey = channels <= 2;
                uint32_t alpha = channels == 2 || channels == 4 ? samples[channels - 1] >> 8 : key ? 0 : 0xFF;
                color = (samples[0] >> 8) << 24 | (samples[grey ? 0 : 1] >> 8) << 16 | (samples[grey ? 0 : 2] >> 8) << 8 |
                        alpha;
            } else {
                color = decoded.At(row, x);
            }
            rgba[0] = static_cast<uint8_t>(color >> 24);
            rgba[1] = static_cast<uint8_t>(color >> 16);
            rgba[2] = static_cast<uint8_t>(color >> 8);
            rgba[3] = static_cast<uint8_t>(color);
            *opaque = *opaque && rgba[3] == 0xFF;
        }
    }
    return true;
}

bool SameRgba8(const Picture& a, const Picture& b) {
    if (a.width != b.width || a.height != b.height || a.bits == 16 || b.bits == 16) {
        return a.width == b.width && a.height == b.height && a.bits == b.bits;
    }
    Decoded first{a, ChannelsOf(a), {}}, second{b, ChannelsOf(b), {}};
    MakeTable(&first);
    MakeTable(&second);
    for (uint32_t y = 0; y < a.height; ++y) {
        const uint8_t* rowA = a.rows + size_t{y} * a.stride;
        const uint8_t* rowB = b.rows + size_t{y} * b.stride;
        for (uint32_t x = 0; x < a.width; ++x) {
            if (first.At(rowA, x) != second.At(rowB, x)) {
                return false;
            }
        }
    }
    return true;
}

}  // namespace quenvale_host
