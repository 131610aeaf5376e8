// The BMP headers of every kind (OS/2 1.x and 2.x, Windows 40 to 124
// bytes): decoding, row padding, masks and palette, and the checks that
// decide whether the pixels can be read at all.
#include <algorithm>
#include <cstring>

#include "bitmap.h"

namespace quenvale {

namespace {

uint16_t Le16(const uint8_t* bytes) { return static_cast<uint16_t>(bytes[0] | bytes[1] << 8); }

uint32_t Le32(const uint8_t* bytes) {
    return uint32_t{bytes[0]} | uint32_t{bytes[1]} << 8 | uint32_t{bytes[2]} << 16 |
           uint32_t{bytes[3]} << 24;
}

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
    if (infoSize == 12) {
        return HeaderCore;  // OS/2 1.x: 16-bit sizes, 3-byte palette entries
    }
    if (infoSize == 40 || infoSize == 52 || infoSize == 56 || infoSize == 108 || infoSize == 124) {
        return HeaderWindows;
    }
    // OS/2 2.x headers may stop after any field of the 40-byte layout.
    return infoSize >= 16 && infoSize <= 64 ? HeaderOs2 : HeaderUnknown;
}

// A refusal: the reason, and false.
bool Refuse(char* reason, size_t reasonSize, const char* format, uint64_t value = 0) {
    std::snprintf(reason, reasonSize, format, static_cast<unsigned long long>(value));
    return false;
}

// The format's sizes are 32-bit: pixel data past 4 GiB - 1 bytes is no
// bitmap's, and refusing it bounds the memory a call takes.
bool FitsImageSize(const BitmapFormat& format, char* reason, size_t reasonSize) {
    uint64_t bytes = format.rowsEnd - format.pixelOffset;
    if (bytes > UINT32_MAX) {
        return Refuse(reason, reasonSize, "%llu bytes of pixel data, more than a bitmap holds (4 GiB - 1)", bytes);
    }
    return true;
}

// The compression methods this reader knows, by name, for refusals and
// for the RLE checks.
bool CheckCompression(HeaderKind kind, uint32_t compression, uint16_t bits, BitmapFormat* format, char* reason,
                      size_t reasonSize) {
    switch (compression) {
        case 0:
            if (bits == 1 || bits == 2 || bits == 4 || bits == 8) {
                format->encoding = EncodingIndexed;
            } else if (bits == 16 || bits == 32) {
                format->encoding = EncodingMasked;
            } else if (bits == 24) {
                format->encoding = EncodingRgb24;
            } else {
                return Refuse(reason, reasonSize, "%llu bits per pixel", bits);
            }
            return true;
        case 1:
            format->encoding = EncodingRle8;
            return bits == 8 || Refuse(reason, reasonSize, "RLE8 compression on %llu bits per pixel", bits);
        case 2:
            format->encoding = EncodingRle4;
            return bits == 4 || Refuse(reason, reasonSize, "RLE4 compression on %llu bits per pixel", bits);
        case 4:
            return Refuse(reason, reasonSize, kind == HeaderOs2 ? "OS/2 RLE24-compressed" : "JPEG-compressed");
        default:
            break;
    }
    // Methods 3 and 5 mean other things in OS/2 headers; bit fields are Windows'.
    if (kind == HeaderOs2 && compression == 3) {
        return Refuse(reason, reasonSize, "OS/2 Huffman-compressed");
    }
    if (kind == HeaderWindows && compression == 5) {
        return Refuse(reason, reasonSize, "PNG-compressed");
    }
    if (kind != HeaderWindows || (compression != 3 && compression != 6)) {
        return Refuse(reason, reasonSize, "compressed pixel data (method %llu)", compression);
    }
    format->encoding = EncodingMasked;
    return bits == 16 || bits == 32 || Refuse(reason, reasonSize, "bit fields on %llu bits per pixel", bits);
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

}  // namespace

bool ParseBitmapFormat(const uint8_t* prefix, size_t prefixLength, uint64_t fileLength, BitmapFormat* format,
                       char* reason, size_t reasonSize) {
    // Every check is made before anything is allocated, so a refused file
    // costs nothing and cannot size an allocation.
    *format = BitmapFormat{};
    if (fileLength < 18 || prefixLength < 18) {
        return Refuse(reason, reasonSize, "file of %llu bytes is shorter than a bitmap header", fileLength);
    }
    if (prefix[0] != 'B' || prefix[1] != 'M') {
        return Refuse(reason, reasonSize, "not a BMP file");
    }
    uint32_t infoSize = Le32(prefix + 14);
    HeaderKind kind = KindOfHeader(infoSize);
    if (kind == HeaderUnknown) {
        return Refuse(reason, reasonSize, "unsupported information header of %llu bytes", infoSize);
    }
    if (fileLength < 14 + uint64_t{infoSize} || prefixLength < 14 + size_t{infoSize}) {
        return Refuse(reason, reasonSize, "file of %llu bytes is shorter than a bitmap header", fileLength);
    }
    // Fields as the 40-byte header lays them out; a shorter OS/2 header's
    // missing fields read as 0.
    uint8_t fields[kHeaderBytes] = {};
    std::memcpy(fields, prefix, std::min<size_t>(kHeaderBytes, 14 + size_t{infoSize}));
    BitmapHeader header;
    DecodeBitmapHeader(fields, &header);
    uint32_t paletteEntryBytes = 4;
    if (kind == HeaderCore) {
        header.width = Le16(prefix + 18);
        header.height = Le16(prefix + 20);
        header.bitsPerPixel = Le16(prefix + 24);
        header.compression = 0;
        header.imageSize = 0;
        header.colorsUsed = 0;
        paletteEntryBytes = 3;
    }
    format->bitsPerPixel = header.bitsPerPixel;
    format->pixelOffset = header.pixelOffset;
    if (!CheckCompression(kind, header.compression, header.bitsPerPixel, format, reason, reasonSize)) {
        return false;
    }
    // Bit fields follow a 40-byte header; larger Windows headers hold them.
    uint64_t headersEnd = 14 + uint64_t{infoSize};
    bool bitFields = header.compression == 3 || header.compression == 6;
    if (bitFields && infoSize == 40) {
        headersEnd += header.compression == 3 ? 12 : 16;
    }
    if (header.pixelOffset < headersEnd) {
        return Refuse(reason, reasonSize, "pixel data offset %llu lies inside the headers", header.pixelOffset);
    }
    if (header.pixelOffset > fileLength) {
        return Refuse(reason, reasonSize, "pixel data offset %llu past the end of the file", header.pixelOffset);
    }
    if (format->encoding == EncodingMasked) {
        uint32_t masks[3];
        if (bitFields) {
            for (int i = 0; i < 3; ++i) {
                masks[i] = Le32(prefix + 54 + 4 * i);  // inside the prefix: the offset lies past them
            }
        } else if (header.bitsPerPixel == 16) {
            masks[0] = 0x7C00, masks[1] = 0x03E0, masks[2] = 0x001F;
        } else {
            masks[0] = 0xFF0000, masks[1] = 0x00FF00, masks[2] = 0x0000FF;
        }
        if (!SetMasks(format, masks)) {
            std::snprintf(reason, reasonSize, "unusable bit fields (red %08X, green %08X, blue %08X)",
                          static_cast<unsigned>(masks[0]), static_cast<unsigned>(masks[1]),
                          static_cast<unsigned>(masks[2]));
            return false;
        }
    }
    // Top-down rows are marked by a negative height, in Windows headers only.
    bool negative = (header.height & kTopBit) != 0;
    if (header.height == 0 || header.height == kTopBit || (negative && kind != HeaderWindows)) {
        return Refuse(reason, reasonSize, "height %lld",
                      static_cast<uint64_t>(static_cast<int64_t>(static_cast<int32_t>(header.height))));
    }
    if ((header.width & kTopBit) != 0) {
        return Refuse(reason, reasonSize, "width %lld",
                      static_cast<uint64_t>(static_cast<int64_t>(static_cast<int32_t>(header.width))));
    }
    bool rle = IsRle(*format);
    if (negative && rle) {
        return Refuse(reason, reasonSize, "top-down RLE-compressed rows");
    }
    format->width = header.width;
    format->rowCount = RowCount(header);
    format->topDown = negative;
    // The counter counts two grids of the declared size in 64 bits. Rows
    // that lie in the file never reach that; an RLE header may declare it.
    if (GridByteCount(format->width, format->rowCount) > static_cast<uint64_t>(INT64_MAX) / 2) {
        std::snprintf(reason, reasonSize, "%u x %u pixels, too many to count",
                      static_cast<unsigned>(format->width), static_cast<unsigned>(format->rowCount));
        return false;
    }
    if (header.bitsPerPixel <= 8) {
        // The palette holds the colours-used count, or all the depth can
        // index, but never reaches past the pixel data.
        uint32_t capacity = uint32_t{1} << header.bitsPerPixel;
        uint32_t count = header.colorsUsed == 0 || header.colorsUsed > capacity ? capacity : header.colorsUsed;
        uint64_t room = (header.pixelOffset - headersEnd) / paletteEntryBytes;
        count = static_cast<uint32_t>(std::min<uint64_t>(count, room));
        if (count == 0) {
            return Refuse(reason, reasonSize, "colour palette of no entries");
        }
        const uint8_t* entry = prefix + headersEnd;  // inside the prefix: entries lie before the offset
        for (uint32_t i = 0; i < count; ++i, entry += paletteEntryBytes) {
            format->palette[i] = uint32_t{entry[2]} << 16 | uint32_t{entry[1]} << 8 | entry[0];
        }
        format->paletteCount = count;
    }
    if (rle) {
        format->rowsEnd = fileLength;
        return FitsImageSize(*format, reason, reasonSize);
    }
    // No overflow: width < 2^31 and rows < 2^31 keep every term below 2^64.
    uint64_t rowBits = uint64_t{format->width} * header.bitsPerPixel;
    uint64_t rowBytes = (rowBits + 7) / 8;
    if (format->encoding == EncodingRgb24) {
        format->padding = RowPadding(header);
        format->stride = rowBytes + static_cast<uint64_t>(format->padding);
    } else {
        format->stride = (rowBits + 31) / 32 * 4;
        format->padding = static_cast<int32_t>(format->stride - rowBytes);
    }
    uint64_t lastRowEnd = header.pixelOffset + (format->rowCount - 1) * format->stride + rowBytes;
    if (lastRowEnd > fileLength) {
        return Refuse(reason, reasonSize, "pixel data truncated");
    }
    format->rowsEnd = header.pixelOffset + format->rowCount * format->stride;
    return FitsImageSize(*format, reason, reasonSize);
}

}  // namespace quenvale
