// The BMP headers: decoding, row padding, and the checks that decide
// whether the rows can be read at all.
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

bool ReadBitmapHeader(FILE* input, BitmapHeader* header) {
    uint8_t bytes[kHeaderBytes] = {};
    bool complete = SeekFile(input, 0) && ReadBytes(input, bytes, sizeof bytes);
    DecodeBitmapHeader(bytes, header);
    return complete;
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

bool CheckBitmapHeader(const BitmapHeader& header, uint64_t fileLength, RowLayout* layout,
                       char* reason, size_t reasonSize) {
    // Every check is made before anything is allocated, so a refused file
    // costs nothing and cannot size an allocation.
    if (fileLength < kHeaderBytes) {
        std::snprintf(reason, reasonSize, "file of %u bytes is shorter than a bitmap header",
                      static_cast<unsigned>(fileLength));
        return false;
    }
    if (header.typeFirst != 'B' || header.typeSecond != 'M') {
        std::snprintf(reason, reasonSize, "not a BMP file");
        return false;
    }
    // OS/2 core headers (12 or 16 bytes) have 16-bit sizes at other offsets.
    if (header.infoSize < 40) {
        std::snprintf(reason, reasonSize, "unsupported information header of %u bytes",
                      static_cast<unsigned>(header.infoSize));
        return false;
    }
    if (header.pixelOffset < 14 + uint64_t{header.infoSize}) {
        std::snprintf(reason, reasonSize, "pixel data offset %u lies inside the headers",
                      static_cast<unsigned>(header.pixelOffset));
        return false;
    }
    if (header.bitsPerPixel != 24) {
        std::snprintf(reason, reasonSize, "%u bits per pixel", static_cast<unsigned>(header.bitsPerPixel));
        return false;
    }
    if (header.compression != 0) {
        std::snprintf(reason, reasonSize, "compressed pixel data (method %u)",
                      static_cast<unsigned>(header.compression));
        return false;
    }
    if (header.height == 0 || header.height == kTopBit) {
        std::snprintf(reason, reasonSize, "height %d", static_cast<int>(static_cast<int32_t>(header.height)));
        return false;
    }
    if ((header.width & kTopBit) != 0) {
        std::snprintf(reason, reasonSize, "width %d", static_cast<int>(static_cast<int32_t>(header.width)));
        return false;
    }
    if (header.pixelOffset > fileLength) {
        std::snprintf(reason, reasonSize, "pixel data offset %u past the end of the file",
                      static_cast<unsigned>(header.pixelOffset));
        return false;
    }
    RowLayout rows;
    rows.width = header.width;
    rows.rowCount = RowCount(header);
    rows.padding = RowPadding(header);
    // No overflow: rows < 2^31 and stride < 2^33 keep every term below 2^64.
    uint64_t rowBytes = 3 * uint64_t{rows.width};
    rows.stride = rowBytes + static_cast<uint64_t>(rows.padding);
    uint64_t lastRowEnd = header.pixelOffset + (rows.rowCount - 1) * rows.stride + rowBytes;
    if (lastRowEnd > fileLength) {
        std::snprintf(reason, reasonSize, "pixel data truncated");
        return false;
    }
    rows.rowsEnd = header.pixelOffset + rows.rowCount * rows.stride;
    *layout = rows;
    return true;
}

}  // namespace quenvale
