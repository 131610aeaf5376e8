// The BMP headers of every kind (OS/2 1.x and 2.x, Windows 40 to 124
// bytes): decoding, row padding, masks and palette, and the checks that
// decide whether the pixels can be read at all.
#include <algorithm>
#include <cstring>

#include "bmp/bitmap_format.h"
#include "bmp/pixel_grid.h"

namespace quenvale {

namespace {

uint16_t Le16(const uint8_t* bytes) { return static_cast<uint16_t>(bytes[0] | bytes[1] << 8); }

constexpr uint32_t kTopBit = 0x80000000u;

}  // namespace

void DecodeBitmapHeader(const uint8_t* bytes, BitmapHeader* header) {
    header->typeFirst = bytes[0];
    header->typeSecond = bytes[1];
    header->fileSize = Le32(bytes + 2);
    header->reservedFirst = Le16(bytes + 6);
    header->reservedSecond = Le16(bytes + 8);
    header->pixelOffset = Le32(bytes + 10);
    header->infoSize = Le32(bytes + 14);
    header->width = Le32(bytes + 18);
    header->height = Le32(bytes + 22);
    header->planes = Le16(bytes + 26);
    header->bitsPerPixel = Le16(bytes + 28);
    header->compression = Le32(bytes + 30);
    header->imageSize = Le32(bytes + 34);
    header->horizontalResolution = static_cast<int32_t>(Le32(bytes + 38));
    header->verticalResolution = static_cast<int32_t>(Le32(bytes + 42));
    header->colorsUsed = Le32(bytes + 46);
    header->importantColors = Le32(bytes + 50);
}

uint32_t RowCount(const BitmapHeader& header) {
    // A negative height marks a top-down bitmap; its rows are still stored
    // one after the other, so only the count matters here.
    return (header.height & kTopBit) != 0 ? 0u - header.height : header.height;
}

int32_t RowPadding(const BitmapHeader& header) {
    int64_t rowBytes = 3 * int64_t{header.width};
    uint32_t rows = RowCount(header);
    if (rows != 0) {
        int64_t padding = int64_t{header.imageSize / rows} - rowBytes;
        if (padding >= 0 && padding <= 3) {
            return static_cast<int32_t>(padding);
        }
    }
    // The image-size field may be 0 for uncompressed files, or wrong: fall
    // back to the format's 4-byte row alignment.
    return static_cast<int32_t>((4 - rowBytes % 4) % 4);
}

namespace {

// Header kinds by the information header's size.
enum HeaderKind { HeaderCore, HeaderOs2, HeaderWindows, HeaderUnknown };

HeaderKind KindOfHeader(uint32_t infoSize) {
    if (infoSize == kCoreHeaderBytes) {
        return HeaderCore;
    }
    if (infoSize == kInfoHeaderBytes || infoSize == kV2HeaderBytes || infoSize == kV3HeaderBytes ||
        infoSize == kV4HeaderBytes || infoSize == kV5HeaderBytes) {
        return HeaderWindows;
    }
    return infoSize >= kOs2ShortestHeaderBytes && infoSize <= kOs2LongestHeaderBytes ? HeaderOs2 : HeaderUnknown;
}

// A refusal: fills *failure and gives false.
bool Refuse(Failure* failure, Status status, Reason reason, int64_t first = 0, int64_t second = 0,
            int64_t third = 0) {
    *failure = FailWith(status, reason, first, second, third);
    return false;
}

// What the checks learn of the file on the way to its format.
struct HeaderFacts {
    HeaderKind kind;
    BitmapHeader header;      // the 40-byte layout's fields, a core header's widened
    uint32_t paletteEntryBytes;
    uint64_t headersEnd;      // past the information header and any bit fields after it
    bool bitFields;
};

// The fields as the 40-byte header lays them out; a shorter OS/2 header's
// missing fields read as 0, a core header's 16-bit ones are widened.
bool ReadHeaderFields(const uint8_t* prefix, size_t prefixLength, uint64_t fileLength, HeaderFacts* facts,
                      Failure* failure) {
    if (fileLength < 18 || prefixLength < 18) {
        return Refuse(failure, StatusBadInput, ReasonShortFile, static_cast<int64_t>(fileLength));
    }
    if (prefix[0] != 'B' || prefix[1] != 'M') {
        return Refuse(failure, StatusBadInput, ReasonNotBitmap);
    }
    uint32_t infoSize = Le32(prefix + kFileHeaderBytes);
    facts->kind = KindOfHeader(infoSize);
    if (facts->kind == HeaderUnknown) {
        return Refuse(failure, StatusUnsupported, ReasonHeaderSize, infoSize);
    }
    facts->headersEnd = kFileHeaderBytes + uint64_t{infoSize};
    if (fileLength < facts->headersEnd || prefixLength < facts->headersEnd) {
        return Refuse(failure, StatusBadInput, ReasonShortFile, static_cast<int64_t>(fileLength));
    }
    uint8_t fields[kHeaderBytes] = {};
    std::memcpy(fields, prefix, std::min<size_t>(kHeaderBytes, static_cast<size_t>(facts->headersEnd)));
    BitmapHeader& header = facts->header;
    DecodeBitmapHeader(fields, &header);
    facts->paletteEntryBytes = 4;
    if (facts->kind == HeaderCore) {
        header.width = Le16(prefix + 18);
        header.height = Le16(prefix + 20);
        header.bitsPerPixel = Le16(prefix + 24);
        header.compression = CompressionNone;
        header.imageSize = 0;
        header.colorsUsed = 0;
        facts->paletteEntryBytes = 3;
    }
    return true;
}

// The compression methods this reader knows, by name, for refusals and
// for the RLE checks.
bool CheckCompression(const HeaderFacts& facts, BitmapFormat* format, Failure* failure) {
    uint32_t compression = facts.header.compression;
    uint16_t bits = facts.header.bitsPerPixel;
    switch (compression) {
        case CompressionNone:
            if (bits == 1 || bits == 2 || bits == 4 || bits == 8) {
                format->encoding = EncodingIndexed;
            } else if (bits == 16 || bits == 32) {
                format->encoding = EncodingMasked;
            } else if (bits == 24) {
                format->encoding = EncodingRgb24;
            } else {
                return Refuse(failure, StatusUnsupported, ReasonBitsPerPixel, bits);
            }
            return true;
        case CompressionRle8:
            format->encoding = EncodingRle8;
            return bits == 8 || Refuse(failure, StatusBadInput, ReasonRle8Depth, bits);
        case CompressionRle4:
            format->encoding = EncodingRle4;
            return bits == 4 || Refuse(failure, StatusBadInput, ReasonRle4Depth, bits);
        case CompressionJpeg:
            return Refuse(failure, StatusUnsupported, facts.kind == HeaderOs2 ? ReasonOs2Rle24 : ReasonJpeg);
        default:
            break;
    }
    if (facts.kind == HeaderOs2 && compression == CompressionBitFields) {
        return Refuse(failure, StatusUnsupported, ReasonOs2Huffman);
    }
    if (facts.kind == HeaderWindows && compression == CompressionPng) {
        return Refuse(failure, StatusUnsupported, ReasonPng);
    }
    if (!facts.bitFields) {
        return Refuse(failure, StatusUnsupported, ReasonCompression, compression);
    }
    format->encoding = EncodingMasked;
    return bits == 16 || bits == 32 || Refuse(failure, StatusBadInput, ReasonBitFieldsDepth, bits);
}

// Bit fields follow a 40-byte header; larger Windows headers hold them.
bool CheckPixelOffset(uint64_t fileLength, HeaderFacts* facts, Failure* failure) {
    if (facts->bitFields && facts->header.infoSize == kInfoHeaderBytes) {
        facts->headersEnd += facts->header.compression == CompressionBitFields ? 12 : 16;
    }
    uint32_t offset = facts->header.pixelOffset;
    if (offset < facts->headersEnd) {
        return Refuse(failure, StatusBadInput, ReasonOffsetInHeaders, offset);
    }
    if (offset > fileLength) {
        return Refuse(failure, StatusBadInput, ReasonOffsetPastEnd, offset);
    }
    return true;
}

// Masks must be runs of set bits inside the pixel, apart from each other.
bool SetMasks(BitmapFormat* format, const uint32_t* masks) {
    uint32_t seen = 0;
    for (int channel = 0; channel < 3; ++channel) {
        uint32_t mask = masks[channel];
        ChannelMask& out = format->channels[channel];
        out = ChannelMask{mask, 0, 0};
        if (mask == 0) {
            continue;
        }
        while ((mask >> out.shift & 1) == 0) {
            ++out.shift;
        }
        uint64_t run = uint64_t{mask} >> out.shift;
        if ((run & (run + 1)) != 0 || (mask & seen) != 0 ||
            (format->bitsPerPixel == 16 && mask > 0xFFFF)) {
            return false;
        }
        while (run != 0) {
            ++out.bits;
            run >>= 1;
        }
        seen |= mask;
    }
    format->colorBits = seen;
    return true;
}

// The bit fields, or the 5-5-5 and 8-8-8 layouts of plain 16 and 32 bits.
bool ReadMasks(const uint8_t* prefix, const HeaderFacts& facts, BitmapFormat* format, Failure* failure) {
    uint32_t masks[3];
    if (facts.bitFields) {
        for (int i = 0; i < 3; ++i) {
            masks[i] = Le32(prefix + kHeaderBytes + 4 * i);  // inside the prefix: the offset lies past them
        }
    } else if (facts.header.bitsPerPixel == 16) {
        masks[0] = 0x7C00, masks[1] = 0x03E0, masks[2] = 0x001F;
    } else {
        masks[0] = 0xFF0000, masks[1] = 0x00FF00, masks[2] = 0x0000FF;
    }
    return SetMasks(format, masks) ||
           Refuse(failure, StatusBadInput, ReasonUnusableMasks, masks[0], masks[1], masks[2]);
}

// Top-down rows are marked by a negative height, in Windows headers only.
bool CheckDimensions(const HeaderFacts& facts, BitmapFormat* format, Failure* failure) {
    const BitmapHeader& header = facts.header;
    bool negative = (header.height & kTopBit) != 0;
    if (header.height == 0 || header.height == kTopBit || (negative && facts.kind != HeaderWindows)) {
        return Refuse(failure, StatusBadInput, ReasonHeight, static_cast<int32_t>(header.height));
    }
    if ((header.width & kTopBit) != 0) {
        return Refuse(failure, StatusBadInput, ReasonWidth, static_cast<int32_t>(header.width));
    }
    if (negative && IsRle(*format)) {
        return Refuse(failure, StatusBadInput, ReasonTopDownRle);
    }
    format->width = header.width;
    format->rowCount = RowCount(header);
    format->topDown = negative;
    // The counter counts two grids of the declared size in 64 bits. Rows
    // that lie in the file never reach that; an RLE header may declare it.
    if (GridByteCount(format->width, format->rowCount) > static_cast<uint64_t>(INT64_MAX) / 2) {
        return Refuse(failure, StatusUnsupported, ReasonTooManyToCount, format->width, format->rowCount);
    }
    return true;
}

// The palette holds the colours-used count, or all the depth can index,
// but never reaches past the pixel data.
bool ReadPalette(const uint8_t* prefix, const HeaderFacts& facts, BitmapFormat* format, Failure* failure) {
    const BitmapHeader& header = facts.header;
    uint32_t capacity = uint32_t{1} << header.bitsPerPixel;
    uint32_t count = header.colorsUsed == 0 || header.colorsUsed > capacity ? capacity : header.colorsUsed;
    uint64_t room = (header.pixelOffset - facts.headersEnd) / facts.paletteEntryBytes;
    count = static_cast<uint32_t>(std::min<uint64_t>(count, room));
    if (count == 0) {
        return Refuse(failure, StatusBadInput, ReasonNoPalette);
    }
    const uint8_t* entry = prefix + facts.headersEnd;  // inside the prefix: entries lie before the offset
    for (uint32_t i = 0; i < count; ++i, entry += facts.paletteEntryBytes) {
        format->palette[i] = uint32_t{entry[2]} << 16 | uint32_t{entry[1]} << 8 | entry[0];
    }
    format->paletteCount = count;
    format->paletteOffset = static_cast<uint32_t>(facts.headersEnd);
    format->paletteEntryBytes = facts.paletteEntryBytes;
    return true;
}

// Where the rows lie. An RLE stream is the rest of the file; uncompressed
// rows must lie in it, but for the last row's padding.
bool LayOutRows(const HeaderFacts& facts, uint64_t fileLength, BitmapFormat* format, Failure* failure) {
    if (IsRle(*format)) {
        format->rowsEnd = fileLength;
    } else {
        // No overflow: width < 2^31 and rows < 2^31 keep every term below 2^64.
        uint64_t rowBits = uint64_t{format->width} * format->bitsPerPixel;
        uint64_t rowBytes = (rowBits + 7) / 8;
        if (format->encoding == EncodingRgb24) {
            format->padding = RowPadding(facts.header);
            format->stride = rowBytes + static_cast<uint64_t>(format->padding);
        } else {
            format->stride = (rowBits + 31) / 32 * 4;
            format->padding = static_cast<int32_t>(format->stride - rowBytes);
        }
        uint64_t lastRowEnd = format->pixelOffset + (format->rowCount - 1) * format->stride + rowBytes;
        if (lastRowEnd > fileLength) {
            return Refuse(failure, StatusBadInput, ReasonTruncated);
        }
        format->rowsEnd = format->pixelOffset + format->rowCount * format->stride;
    }
    // The format's sizes are 32-bit: pixel data past 4 GiB - 1 bytes is no
    // bitmap's, and refusing it bounds the memory a call takes.
    uint64_t bytes = format->rowsEnd - format->pixelOffset;
    if (bytes > UINT32_MAX) {
        return Refuse(failure, StatusBadInput, ReasonTooLarge, static_cast<int64_t>(bytes));
    }
    return true;
}

}  // namespace

bool ParseBitmapFormat(const uint8_t* prefix, size_t prefixLength, uint64_t fileLength, BitmapFormat* format,
                       Failure* failure) {
    // Every check is made before anything is allocated, so a refused file
    // costs nothing and cannot size an allocation.
    *format = BitmapFormat{};
    HeaderFacts facts{};
    if (!ReadHeaderFields(prefix, prefixLength, fileLength, &facts, failure)) {
        return false;
    }
    uint32_t compression = facts.header.compression;
    facts.bitFields = facts.kind == HeaderWindows &&
                      (compression == CompressionBitFields || compression == CompressionAlphaBitFields);
    format->bitsPerPixel = facts.header.bitsPerPixel;
    format->pixelOffset = facts.header.pixelOffset;
    format->resolution[0] = facts.header.horizontalResolution;
    format->resolution[1] = facts.header.verticalResolution;
    return CheckCompression(facts, format, failure) && CheckPixelOffset(fileLength, &facts, failure) &&
           (format->encoding != EncodingMasked || ReadMasks(prefix, facts, format, failure)) &&
           CheckDimensions(facts, format, failure) &&
           (facts.header.bitsPerPixel > 8 || ReadPalette(prefix, facts, format, failure)) &&
           LayOutRows(facts, fileLength, format, failure);
}

}  // namespace quenvale
