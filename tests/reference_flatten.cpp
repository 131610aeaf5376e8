// The flatten of a whole file, worked out the plain way from the format's
// description: every header kind parsed field by field, every pixel decoded
// into a list of visited pixels, and the first-fit walk over them in column
// order. The call must write exactly this, or refuse when this refuses.
#include <algorithm>
#include <cstdlib>

#include "test_support.h"

namespace quenvale_test {

namespace {

uint32_t Le(const std::vector<uint8_t>& bytes, size_t at, int count) {
    uint32_t value = 0;
    for (int i = 0; i < count; ++i) {
        value |= uint32_t{bytes[at + i]} << (8 * i);
    }
    return value;
}

// Where a pixel's value lives: bits [shift, shift + width) of the
// little-endian word at byte.
struct Slot {
    size_t byte;
    int shift;
    int width;
};

uint32_t ReadSlot(const std::vector<uint8_t>& bytes, Slot slot) {
    uint64_t word = 0;
    for (int i = 0; i * 8 < slot.shift + slot.width; ++i) {
        word |= uint64_t{bytes[slot.byte + i]} << (8 * i);
    }
    return static_cast<uint32_t>(word >> slot.shift & ((uint64_t{1} << slot.width) - 1));
}

void WriteSlot(std::vector<uint8_t>& bytes, Slot slot, uint32_t value) {
    for (int bit = 0; bit < slot.width; ++bit) {
        int at = slot.shift + bit;
        uint8_t& byte = bytes[slot.byte + at / 8];
        byte = static_cast<uint8_t>((byte & ~(1 << at % 8)) | ((value >> bit & 1) << at % 8));
    }
}

struct Visit {
    uint64_t position;  // x * height + visited row
    Slot slot;
};

int MaskShift(uint32_t mask) {
    int shift = 0;
    while (mask != 0 && (mask >> shift & 1) == 0) {
        ++shift;
    }
    return shift;
}

int MaskWidth(uint32_t mask) {
    int width = 0;
    for (uint32_t m = mask >> MaskShift(mask); m & 1; m >>= 1) {
        ++width;
    }
    return width;
}

uint8_t Widen(uint32_t value, uint32_t mask) {
    if (mask == 0) {
        return 0;
    }
    int width = MaskWidth(mask);
    uint32_t v = (value & mask) >> MaskShift(mask);
    if (width >= 8) {
        return static_cast<uint8_t>(v >> (width - 8));
    }
    // Repeat the bits from the top down.
    uint32_t result = 0;
    for (int bit = 7, from = width - 1; bit >= 0; --bit, from = from == 0 ? width - 1 : from - 1) {
        result |= (v >> from & 1) << bit;
    }
    return static_cast<uint8_t>(result);
}


// A file read the plain way: its layout, the bytes its pixels are written
// into (the input's, with the last row's padding), and every pixel its data
// sets, where its value lives.
struct Reading {
    uint64_t width = 0;
    uint64_t rows = 0;
    bool topDown = false;
    uint32_t bits = 0;
    uint32_t masks[3] = {0, 0, 0};
    std::vector<uint32_t> palette;  // 0xRRGGBB
    std::vector<uint8_t> output;
    std::vector<Visit> visits;
};

std::optional<Reading> ReadPlainly(const std::vector<uint8_t>& bytes) {
    const uint64_t size = bytes.size();
    if (size < 18 || bytes[0] != 'B' || bytes[1] != 'M') {
        return std::nullopt;
    }
    uint32_t info = Le(bytes, 14, 4);
    bool core = info == 12;
    bool windows = info == 40 || info == 52 || info == 56 || info == 108 || info == 124;
    bool os2 = !core && !windows && info >= 16 && info <= 64;
    if ((!core && !windows && !os2) || size < 14 + uint64_t{info}) {
        return std::nullopt;
    }
    auto field = [&](size_t at, int count) -> uint32_t {  // missing OS/2 fields read as 0
        return at + count <= 14 + size_t{info} ? Le(bytes, at, count) : 0;
    };
    uint64_t offset = Le(bytes, 10, 4);
    int64_t width = core ? field(18, 2) : int64_t{static_cast<int32_t>(field(18, 4))};
    int64_t height = core ? field(20, 2) : int64_t{static_cast<int32_t>(field(22, 4))};
    uint32_t bits = core ? field(24, 2) : field(28, 2);
    uint32_t compression = core ? 0 : field(30, 4);
    uint32_t imageSize = core ? 0 : field(34, 4);
    uint32_t used = core ? 0 : field(46, 4);
    bool bitFields = windows && (compression == 3 || compression == 6);
    bool rle = (compression == 1 && bits == 8) || (compression == 2 && bits == 4);
    bool known = (compression == 0 && (bits == 1 || bits == 2 || bits == 4 || bits == 8 || bits == 16 ||
                                       bits == 24 || bits == 32)) ||
                 rle || (bitFields && (bits == 16 || bits == 32));
    uint64_t headersEnd = 14 + uint64_t{info} + (bitFields && info == 40 ? (compression == 3 ? 12 : 16) : 0);
    if (!known || offset < headersEnd || offset > size) {
        return std::nullopt;
    }
    uint32_t masks[3] = {0, 0, 0};
    if (bitFields) {
        for (int i = 0; i < 3; ++i) {
            masks[i] = Le(bytes, 54 + 4 * i, 4);
        }
        uint32_t seen = 0;
        for (uint32_t mask : masks) {
            uint64_t run = uint64_t{mask} >> MaskShift(mask);
            if ((run & (run + 1)) != 0 || (mask & seen) != 0 || (bits == 16 && mask > 0xFFFF)) {
                return std::nullopt;
            }
            seen |= mask;
        }
    } else if (bits == 16) {
        masks[0] = 0x7C00, masks[1] = 0x3E0, masks[2] = 0x1F;
    } else if (bits == 32) {
        masks[0] = 0xFF0000, masks[1] = 0xFF00, masks[2] = 0xFF;
    }
    bool topDown = height < 0;
    if (height == 0 || height == INT32_MIN || (topDown && (!windows || rle)) || width < 0) {
        return std::nullopt;
    }
    uint64_t rows = topDown ? uint64_t(-height) : uint64_t(height);
    if (4 * uint64_t(width) + 3 * uint64_t(width) * rows > uint64_t{INT64_MAX} / 2) {
        return std::nullopt;  // two grids of it pass the 64-bit counter
    }
    std::vector<uint32_t> palette;  // 0xRRGGBB
    if (bits <= 8) {
        uint64_t entryBytes = core ? 3 : 4;
        uint64_t count = used == 0 || used > (1u << bits) ? (1u << bits) : used;
        count = std::min(count, (offset - headersEnd) / entryBytes);
        if (count == 0) {
            return std::nullopt;
        }
        for (uint64_t i = 0; i < count; ++i) {
            size_t at = size_t(headersEnd + i * entryBytes);
            palette.push_back(uint32_t{bytes[at + 2]} << 16 | uint32_t{bytes[at + 1]} << 8 | bytes[at]);
        }
    }
    Reading reading;
    std::vector<uint8_t>& output = reading.output;
    std::vector<Visit>& visits = reading.visits;
    output = bytes;
    if (!rle) {
        uint64_t rowBytes = (uint64_t(width) * bits + 7) / 8;
        uint64_t stride = (uint64_t(width) * bits + 31) / 32 * 4;
        if (bits == 24) {
            int64_t padding = rows == 0 ? -1 : int64_t{imageSize} / int64_t(rows) - int64_t(rowBytes);
            stride = rowBytes + (padding >= 0 && padding <= 3 ? padding : (4 - rowBytes % 4) % 4);
        }
        uint64_t available = size - offset;
        if ((stride > 0 && rows - 1 > available / stride) || (rows - 1) * stride + rowBytes > available) {
            return std::nullopt;
        }
        uint64_t rowsEnd = offset + rows * stride;
        if (stride > 0 && output.size() < rowsEnd) {
            output.resize(size_t(rowsEnd), 0);  // the last row's missing padding
        }
        for (uint64_t y = 0; y < rows && stride > 0; ++y) {
            size_t row = size_t(offset + y * stride);
            uint64_t visited = topDown ? rows - 1 - y : y;
            for (uint64_t bit = uint64_t(width) * bits; bit < stride * 8; ++bit) {  // zero after the pixels
                output[row + bit / 8] &= static_cast<uint8_t>(~(0x80 >> bit % 8));
            }
            for (uint64_t x = 0; x < uint64_t(width); ++x) {
                uint64_t bit = x * bits;
                Slot slot = bits < 8 ? Slot{row + size_t(bit / 8), int(8 - bits - bit % 8), int(bits)}
                                     : Slot{row + size_t(bit / 8), 0, int(bits)};
                visits.push_back(Visit{x * rows + visited, slot});
            }
        }
    } else {
        // Walk the stream; pixels outside the image are neither set nor visited.
        bool four = bits == 4;
        uint64_t x = 0, y = 0;
        size_t at = size_t(offset);
        auto set = [&](uint64_t px, Slot slot) {
            if (px < uint64_t(width) && y < rows) {
                visits.push_back(Visit{px * rows + y, slot});
            }
        };
        while (y < rows && at + 2 <= size) {
            uint32_t count = bytes[at], code = bytes[at + 1];
            size_t value = at + 1;
            at += 2;
            if (count > 0) {
                for (uint32_t i = 0; i < count; ++i) {
                    set(x + i, four ? Slot{value, i % 2 == 0 ? 4 : 0, 4} : Slot{value, 0, 8});
                }
                x += count;
            } else if (code == 0) {
                x = 0, ++y;
            } else if (code == 1) {
                break;
            } else if (code == 2) {
                if (at + 2 > size) {
                    break;
                }
                x += bytes[at], y += bytes[at + 1];
                at += 2;
            } else {
                size_t runBytes = four ? (code + 1) / 2 : code;
                uint32_t i = 0;
                for (; i < code && at + (four ? i / 2 : i) < size; ++i) {
                    set(x + i, four ? Slot{at + i / 2, i % 2 == 0 ? 4 : 0, 4} : Slot{at + i, 0, 8});
                }
                if (i < code) {
                    break;
                }
                at += runBytes + runBytes % 2;
                x += code;
            }
        }
    }
    reading.width = uint64_t(width);
    reading.rows = rows;
    reading.topDown = topDown;
    reading.bits = bits;
    std::copy(masks, masks + 3, reading.masks);
    reading.palette = palette;
    return reading;
}

Rgb ColorOf(const Reading& reading, uint32_t value) {
    if (reading.bits == 24) {
        return Rgb{uint8_t(value >> 16), uint8_t(value >> 8), uint8_t(value)};
    }
    if (reading.bits <= 8) {
        uint32_t c = value < reading.palette.size() ? reading.palette[value] : 0;
        return Rgb{uint8_t(c >> 16), uint8_t(c >> 8), uint8_t(c)};
    }
    return Rgb{Widen(value, reading.masks[0]), Widen(value, reading.masks[1]), Widen(value, reading.masks[2])};
}

}  // namespace

std::optional<std::vector<uint8_t>> ExpectedFlatten(const std::vector<uint8_t>& bytes, int tolerance) {
    std::optional<Reading> read = ReadPlainly(bytes);
    if (!read) {
        return std::nullopt;
    }
    Reading& reading = *read;
    std::vector<uint8_t>& output = reading.output;
    std::vector<Visit>& visits = reading.visits;
    uint32_t bits = reading.bits;
    const uint32_t* masks = reading.masks;
    std::sort(visits.begin(), visits.end(), [](const Visit& a, const Visit& b) { return a.position < b.position; });
    uint32_t colorBits = masks[0] | masks[1] | masks[2];
    auto colorOf = [&](uint32_t value) { return ColorOf(reading, value); };
    struct Entry {
        Rgb color;
        uint32_t value;
    };
    std::vector<Entry> entries;
    for (const Visit& visit : visits) {
        uint32_t value = ReadSlot(output, visit.slot);
        Rgb pixel = colorOf(value);
        const Entry* chosen = nullptr;
        for (const Entry& entry : entries) {
            if (std::abs(entry.color.red - pixel.red) <= tolerance &&
                std::abs(entry.color.green - pixel.green) <= tolerance &&
                std::abs(entry.color.blue - pixel.blue) <= tolerance) {
                chosen = &entry;
                break;
            }
        }
        if (chosen == nullptr) {
            entries.push_back(Entry{pixel, value});
            chosen = &entries.back();
        }
        uint32_t written = bits == 16 || bits == 32 ? (chosen->value & colorBits) | (value & ~colorBits)
                                                    : chosen->value;
        WriteSlot(output, visit.slot, written);
    }
    return output;
}

std::optional<Picture> PlainPicture(const std::vector<uint8_t>& bytes) {
    std::optional<Reading> read = ReadPlainly(bytes);
    if (!read) {
        return std::nullopt;
    }
    Picture picture;
    picture.image = MakeImage(uint32_t(read->width), uint32_t(read->rows), ColorOf(*read, 0));
    for (const Visit& visit : read->visits) {
        uint64_t x = visit.position / read->rows;
        uint64_t visited = visit.position % read->rows;
        uint64_t stored = read->topDown ? read->rows - 1 - visited : visited;
        picture.image.At(uint32_t(x), uint32_t(stored)) = ColorOf(*read, ReadSlot(read->output, visit.slot));
    }
    picture.bits = read->bits;
    std::copy(read->masks, read->masks + 3, picture.masks);
    return picture;
}

Rgb NearestStored(const Picture& picture, Rgb color) {
    if (picture.bits <= 8 || picture.bits == 24) {
        return color;
    }
    uint8_t channels[3] = {color.red, color.green, color.blue};
    for (int c = 0; c < 3; ++c) {
        uint32_t mask = picture.masks[c];
        int width = MaskWidth(mask);
        if (width >= 8 || mask == 0) {
            channels[c] = mask == 0 ? 0 : channels[c];
            continue;
        }
        int best = 0;
        for (uint32_t v = 0; v < (1u << width); ++v) {
            int wide = Widen(v << MaskShift(mask), mask);
            if (std::abs(wide - channels[c]) < std::abs(best - channels[c])) {
                best = wide;
            }
        }
        channels[c] = uint8_t(best);
    }
    return Rgb{channels[0], channels[1], channels[2]};
}

}  // namespace quenvale_test
