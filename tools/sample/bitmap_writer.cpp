// A bitmap file from its fields: the headers, palette and masks, then the rows.
#include "sample/bitmap_writer.h"

#include <cstdio>

namespace quenvale_writer {

uint64_t RowStride(uint64_t width, uint32_t bits) { return (width * bits + 31) / 32 * 4; }

void PutLe(std::vector<uint8_t>& bytes, size_t at, uint64_t value, int count) {
    for (int i = 0; i < count && at + i < bytes.size(); ++i) {
        bytes[at + i] = static_cast<uint8_t>(value >> (8 * i));
    }
}

uint64_t GetLe(const std::vector<uint8_t>& bytes, size_t at, int count) {
    uint64_t value = 0;
    for (int i = count - 1; i >= 0; --i) {
        value = value << 8 | bytes.at(at + i);
    }
    return value;
}

std::vector<uint8_t> EncodeBitmapFile(const BitmapFields& fields, const std::vector<uint8_t>& pixels,
                                      const std::vector<uint8_t>& tail) {
    std::vector<uint8_t> bytes(14 + size_t{fields.infoSize}, 0);
    bytes[0] = 'B';
    bytes[1] = 'M';
    // A field is written only where the header holds all of it.
    auto put = [&](size_t at, uint64_t value, int count) {
        if (at + count <= bytes.size()) {
            PutLe(bytes, at, value, count);
        }
    };
    put(14, fields.infoSize, 4);
    auto width = static_cast<uint32_t>(fields.width);
    auto height = static_cast<uint32_t>(fields.height);
    if (fields.infoSize == 12) {
        put(18, width, 2), put(20, height, 2), put(22, 1, 2), put(24, fields.bits, 2);
    } else {
        put(18, width, 4), put(22, height, 4), put(26, 1, 2), put(28, fields.bits, 2);
        put(30, fields.compression, 4);
        put(34, fields.imageSize >= 0 ? static_cast<uint64_t>(fields.imageSize) : pixels.size(), 4);
        put(38, static_cast<uint32_t>(fields.resolution), 4), put(42, static_cast<uint32_t>(fields.resolution), 4);
        put(46, fields.colorsUsed, 4);
    }
    for (size_t i = 0; i < fields.masks.size(); ++i) {
        if (fields.infoSize == 40) {
            bytes.resize(bytes.size() + 4);
        }
        put(54 + 4 * i, fields.masks[i], 4);
    }
    bytes.insert(bytes.end(), fields.palette.begin(), fields.palette.end());
    bytes.resize(bytes.size() + fields.gap);
    PutLe(bytes, 10, bytes.size(), 4);
    bytes.insert(bytes.end(), pixels.begin(), pixels.end());
    bytes.insert(bytes.end(), tail.begin(), tail.end());
    PutLe(bytes, 2, bytes.size(), 4);
    return bytes;
}

bool WriteWholeFile(const std::string& path, const std::vector<uint8_t>& bytes) {
    FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) {
        return false;
    }
    bool written = bytes.empty() || std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
    return std::fclose(file) == 0 && written;
}

std::vector<uint8_t> ReadWholeFile(const std::string& path) {
    std::vector<uint8_t> bytes;
    FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) {
        return bytes;
    }
    uint8_t piece[64 * 1024];
    size_t count = 0;
    while ((count = std::fread(piece, 1, sizeof piece, file)) > 0) {
        bytes.insert(bytes.end(), piece, piece + count);
    }
    std::fclose(file);
    return bytes;
}

}  // namespace quenvale_writer
