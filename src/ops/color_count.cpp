// The tolerance for a colour count, from a picture's distinct colours in
// the order the flatten first meets them.
#include "ops/color_count.h"

#include <algorithm>
#include <cstring>

#include "base/memory.h"
#include "bmp/pixel_values.h"
#include "ops/flatten.h"

namespace quenvale {

namespace {

// A pixel's colour as the flatten sees it: bytes read directly for the
// common storages.
inline uint32_t ColorAt(const Picture& picture, const uint8_t* row, uint32_t x) {
    if (picture.storage == StorageRgb && picture.bits == 8) {
        const uint8_t* at = row + size_t{x} * (picture.alpha ? 4 : 3);
        return uint32_t{at[0]} << 16 | uint32_t{at[1]} << 8 | at[2];
    }
    if (picture.storage == StorageBgr24) {
        const uint8_t* at = row + size_t{x} * 3;
        return uint32_t{at[2]} << 16 | uint32_t{at[1]} << 8 | at[0];
    }
    uint32_t color = 0;
    uint64_t unused = 0;
    ReadPictureColor(picture, row, x, &color, &unused);
    return color;
}

// The colours met, in order, in a block that doubles as it fills.
struct ColorList {
    uint32_t* colors;
    size_t count;
    size_t capacity;
};

bool Append(ColorList& list, uint32_t color) {
    if (!RoomForOneMore(&list.colors, list.count, &list.capacity)) {
        return false;
    }
    list.colors[list.count++] = color;
    return true;
}

// The pixels in the visiting order, column by column, each from the bottom
// row up; a bit for every colour (2 MB) tells a new one. Stepping down a
// column crosses a page at every row, so a strip of columns is first taken
// row by row into a block of its own, column after column, and read from
// there. A key colour's pixels are passed over, and *keySeen tells whether
// there were any.
bool VisitInOrder(const Picture& picture, ColorList& list, bool* keySeen) {
    constexpr uint32_t kSkip = kColorBits + 1;
    const uint32_t height = picture.height;
    // Strips of up to 64 columns, of at most 4 MB.
    uint32_t strip = static_cast<uint32_t>(std::max<uint64_t>(1, std::min<uint64_t>(64, (uint64_t{1} << 20) / height)));
    auto* seen = AllocateArrayOf<uint64_t>(uint64_t{1} << 18);
    auto* block = AllocateArrayOf<uint32_t>(uint64_t{strip} * height);
    bool ok = seen != nullptr && block != nullptr;
    if (ok) {
        std::memset(seen, 0, (size_t{1} << 18) * sizeof(uint64_t));
    }
    *keySeen = false;
    for (uint32_t x0 = 0; ok && x0 < picture.width; x0 += strip) {
        uint32_t across = std::min(strip, picture.width - x0);
        for (uint32_t visited = 0; visited < height; ++visited) {
            uint32_t stored = picture.topDown ? height - 1 - visited : visited;
            const uint8_t* row = picture.rows + size_t{stored} * picture.stride;
            for (uint32_t c = 0; c < across; ++c) {
                uint32_t color = 0;
                if (picture.keyed) {
                    uint64_t value = 0;
                    ReadPictureColor(picture, row, x0 + c, &color, &value);
                    *keySeen = *keySeen || value == picture.key;
                    color = value == picture.key ? kSkip : color;
                } else {
                    color = ColorAt(picture, row, x0 + c);
                }
                block[size_t{c} * height + visited] = color;
            }
        }
        uint32_t last = kSkip;
        size_t count = size_t{across} * height;
        for (size_t i = 0; ok && i < count; ++i) {
#if defined(__GNUC__)
            // The bits are larger than the nearer caches: ask ahead.
            if (i + 16 < count) {
                __builtin_prefetch(seen + ((block[i + 16] & kColorBits) >> 6));
            }
#endif
            uint32_t color = block[i];
            if (color == last) {
                continue;  // a run down the column, or a key colour
            }
            last = color;
            uint64_t bit = uint64_t{1} << (color & 63);
            if (color != kSkip && (seen[color >> 6] & bit) == 0) {
                seen[color >> 6] |= bit;
                ok = Append(list, color);
            }
        }
    }
    ReleaseBytes(seen);
    ReleaseBytes(block);
    return ok;
}

// A palette with alpha: its indices in the order of their first pixels,
// each with its colour and alpha.
Status FirstIndices(const Picture& picture, FirstColors* colors) {
    uint64_t first[256];  // column above visited row, or UINT64_MAX
    std::fill(first, first + 256, UINT64_MAX);
    for (uint32_t stored = 0; stored < picture.height; ++stored) {
        uint32_t visited = picture.topDown ? picture.height - 1 - stored : stored;
        const uint8_t* row = picture.rows + size_t{stored} * picture.stride;
        for (uint32_t x = 0; x < picture.width; ++x) {
            uint32_t index = ReadPixelValue(row, x, picture.bits);
            first[index] = std::min(first[index], uint64_t{x} << 32 | visited);
        }
    }
    // A fully transparent index founds entries only its own alpha joins:
    // no colour, and not counted.
    uint32_t order[256];
    size_t count = 0;
    for (uint32_t index = 0; index < 256; ++index) {
        if (first[index] != UINT64_MAX && !(index < picture.alphaCount && picture.paletteAlpha[index] == 0)) {
            order[count++] = index;
        }
    }
    std::sort(order, order + count, [&first](uint32_t a, uint32_t b) { return first[a] < first[b]; });
    colors->colors = AllocateArrayOf<uint32_t>(count);
    colors->classes = static_cast<uint8_t*>(AllocateBytes(count));
    if (colors->colors == nullptr || colors->classes == nullptr) {
        FreeFirstColors(colors);
        return StatusOutOfMemory;
    }
    for (size_t i = 0; i < count; ++i) {
        uint32_t index = order[i];
        colors->colors[i] = index < picture.paletteCount ? picture.palette[index] : 0;
        colors->classes[i] = index < picture.alphaCount ? picture.paletteAlpha[index] : 0xFF;
    }
    colors->count = count;
    return StatusOk;
}

// Entries among colours of classes: each joins only an older one of its
// own class (a palette's few colours: the plain walk).
uint64_t CountInClasses(const FirstColors& colors, int tolerance, uint64_t limit) {
    uint32_t entries[256];
    uint8_t classes[256];
    uint64_t count = 0;
    for (size_t i = 0; i < colors.count && count <= limit; ++i) {
        uint32_t color = colors.colors[i];
        bool joined = false;
        for (uint64_t e = 0; e < count && !joined; ++e) {
            joined = classes[e] == colors.classes[i] && WithinReach(entries[e], color, tolerance);
        }
        if (!joined) {
            entries[count] = color;
            classes[count++] = colors.classes[i];
        }
    }
    return count;
}

}  // namespace

Status FindFirstColors(const Picture& picture, FirstColors* colors) {
    *colors = FirstColors{nullptr, nullptr, 0};
    if (picture.width == 0 || picture.height == 0) {
        return StatusOk;
    }
    if (picture.storage == StorageIndexed && picture.alphaCount != 0) {
        return FirstIndices(picture, colors);
    }
    ColorList list{nullptr, 0, 0};
    bool keySeen = false;  // the key's pixels are fully transparent: no colour, not counted
    if (!VisitInOrder(picture, list, &keySeen)) {
        ReleaseBytes(list.colors);
        return StatusOutOfMemory;
    }
    *colors = FirstColors{list.colors, nullptr, list.count};
    return StatusOk;
}

void FreeFirstColors(FirstColors* colors) {
    ReleaseBytes(colors->colors);
    ReleaseBytes(colors->classes);
    *colors = FirstColors{nullptr, nullptr, 0};
}

Status CountEntries(const FirstColors& colors, int tolerance, uint64_t limit, uint64_t* entries) {
    *entries = 0;
    if (colors.classes != nullptr) {
        *entries = std::min(CountInClasses(colors, tolerance, limit), limit + 1);
        return StatusOk;
    }
    if (tolerance == 0 || colors.count == 0) {
        // Every colour its own entry.
        *entries = std::min<uint64_t>(colors.count, limit + 1);
        return StatusOk;
    }
    constexpr uint32_t kPiece = 4096;
    CellIndex* index = NewCellIndex(kPiece, tolerance, colors.count);
    if (index == nullptr) {
        return StatusOutOfMemory;
    }
    // A palette that holds every entry it can founds no more.
    for (size_t at = 0; at < colors.count && *entries <= limit && !CellIndexFull(*index); at += kPiece) {
        size_t count = std::min<size_t>(kPiece, colors.count - at);
        std::memcpy(CellIndexPiece(index), colors.colors + at, count * sizeof(uint32_t));
        FlattenPiece(*index, CellIndexPiece(index), count);
        *entries = CellIndexEntries(*index);
    }
    FreeCellIndex(index);
    *entries = std::min(*entries, limit + 1);
    return StatusOk;
}

Status ChooseTolerance(const FirstColors& colors, uint64_t colorCount, ToleranceChoice* choice) {
    // lower gives more than colorCount (-1: below every tolerance); upper
    // is taken to give at most that many until 255 is counted.
    int lower = -1, upper = 255;
    uint64_t upperEntries = 0;
    bool upperCounted = false;
    while (upper - lower > 1) {
        int middle = (lower + upper) / 2;
        uint64_t entries = 0;
        Status status = StatusOk;
        if (colors.classes == nullptr && MaxPaletteEntries(middle) <= colorCount) {
            // No palette at this tolerance can hold more: it fits uncounted.
            upper = middle;
            upperCounted = false;
            continue;
        }
        status = CountEntries(colors, middle, colorCount, &entries);
        if (status != StatusOk) {
            return status;
        }
        if (entries <= colorCount) {
            upper = middle;
            upperEntries = entries;
            upperCounted = true;
        } else {
            lower = middle;
        }
    }
    if (!upperCounted) {
        Status status = CountEntries(colors, upper, UINT64_MAX - 1, &upperEntries);
        if (status != StatusOk) {
            return status;
        }
    }
    *choice = ToleranceChoice{upper, upperEntries, upperEntries <= colorCount};
    return StatusOk;
}

Status ChooseToleranceFor(const Picture& picture, uint64_t colorCount, ToleranceChoice* choice) {
    FirstColors colors{};
    Status status = FindFirstColors(picture, &colors);
    if (status == StatusOk) {
        status = ChooseTolerance(colors, colorCount, choice);
    }
    FreeFirstColors(&colors);
    return status;
}

}  // namespace quenvale
