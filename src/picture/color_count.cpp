// The tolerance for a colour count, from a picture's distinct colours in
// the order the flatten first meets them.
#include "color_count.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "flatten.h"
#include "memory.h"
#include "pixel_values.h"

namespace quenvale {

namespace {

// Colours by their first place in the visiting order (column times height
// plus row from the bottom), in an open-addressed table that doubles when
// three quarters full.
struct PlaceTable {
    uint32_t* colors;  // colour | kTaken, or 0
    uint32_t* places;
    uint32_t mask;
    size_t count;
};

constexpr uint32_t kTaken = 0x1000000;

uint32_t SlotOf(uint32_t color, uint32_t mask) { return (color * 0x9E3779B1u >> 8) & mask; }

bool Grow(PlaceTable& table) {
    uint64_t slots = table.colors == nullptr ? 4096 : 2 * (uint64_t{table.mask} + 1);
    auto* colors = AllocateArrayOf<uint32_t>(slots);
    auto* places = AllocateArrayOf<uint32_t>(slots);
    if (colors == nullptr || places == nullptr || slots > (uint64_t{1} << 26)) {
        ReleaseBytes(colors);
        ReleaseBytes(places);
        return false;
    }
    std::memset(colors, 0, static_cast<size_t>(slots) * sizeof(uint32_t));
    auto mask = static_cast<uint32_t>(slots - 1);
    for (uint64_t i = 0; table.colors != nullptr && i <= table.mask; ++i) {
        if (table.colors[i] != 0) {
            uint32_t slot = SlotOf(table.colors[i] & kColorBits, mask);
            while (colors[slot] != 0) {
                slot = (slot + 1) & mask;
            }
            colors[slot] = table.colors[i];
            places[slot] = table.places[i];
        }
    }
    ReleaseBytes(table.colors);
    ReleaseBytes(table.places);
    table.colors = colors;
    table.places = places;
    table.mask = mask;
    return true;
}

// Keeps the colour's earliest place; false when memory runs out.
bool See(PlaceTable& table, uint32_t color, uint32_t place) {
    uint32_t slot = SlotOf(color, table.mask);
    while (table.colors[slot] != 0) {
        if (table.colors[slot] == (color | kTaken)) {
            table.places[slot] = std::min(table.places[slot], place);
            return true;
        }
        slot = (slot + 1) & table.mask;
    }
    if (4 * (table.count + 1) > 3 * (uint64_t{table.mask} + 1)) {
        return Grow(table) && See(table, color, place);
    }
    table.colors[slot] = color | kTaken;
    table.places[slot] = place;
    ++table.count;
    return true;
}

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

// Calls see(colour, place) for each pixel that starts a run of its colour
// along a row, rows in memory order, until it returns false; a key
// colour's pixels are passed over, and *keySeen tells whether there were any.
template <typename See>
bool VisitRuns(const Picture& picture, bool* keySeen, See see) {
    *keySeen = false;
    for (uint32_t stored = 0; stored < picture.height; ++stored) {
        uint32_t visited = picture.topDown ? picture.height - 1 - stored : stored;
        const uint8_t* row = picture.rows + size_t{stored} * picture.stride;
        uint32_t last = kTaken;
        for (uint32_t x = 0; x < picture.width; ++x) {
            uint32_t color = 0;
            if (picture.keyed) {
                uint64_t value = 0;
                ReadPictureColor(picture, row, x, &color, &value);
                if (value == picture.key) {
                    *keySeen = true;
                    continue;
                }
            } else {
                color = ColorAt(picture, row, x);
            }
            if (color != last) {
                last = color;
                if (!see(color, x * picture.height + visited)) {
                    return false;
                }
            }
        }
    }
    return true;
}

// Sorts keys by their place, the bits above 24, a byte at a time from the
// lowest (a photo has millions of distinct colours).
bool SortByPlace(uint64_t* keys, size_t count) {
    auto* other = AllocateArrayOf<uint64_t>(count);
    if (other == nullptr) {
        return false;
    }
    uint64_t* from = keys;
    uint64_t* to = other;
    for (int shift = 24; shift < 56; shift += 8) {
        size_t starts[257] = {};
        for (size_t i = 0; i < count; ++i) {
            ++starts[(from[i] >> shift & 0xFF) + 1];
        }
        for (int b = 0; b < 256; ++b) {
            starts[b + 1] += starts[b];
        }
        for (size_t i = 0; i < count; ++i) {
            to[starts[from[i] >> shift & 0xFF]++] = from[i];
        }
        std::swap(from, to);
    }
    ReleaseBytes(other);  // four passes: the keys are back where they were
    return true;
}

// On a large picture, one word for every colour holds its first place
// (64 MB, against the table's many misses per probe); UINT32_MAX for none.
constexpr uint64_t kEveryColorPixels = uint64_t{1} << 21;

// The keys (place above colour) of the picture's distinct colours, unsorted.
Status FirstPlaces(const Picture& picture, uint64_t** keys, size_t* count, bool* keySeen) {
    *keys = nullptr;
    *count = 0;
    if (uint64_t{picture.width} * picture.height >= kEveryColorPixels) {
        auto* places = AllocateArrayOf<uint32_t>(uint64_t{1} << 24);
        if (places == nullptr) {
            return StatusOutOfMemory;
        }
        std::memset(places, 0xFF, (size_t{1} << 24) * sizeof(uint32_t));
        VisitRuns(picture, keySeen, [places](uint32_t color, uint32_t place) {
            places[color] = std::min(places[color], place);
            return true;
        });
        for (uint32_t color = 0; color <= kColorBits; ++color) {
            *count += places[color] != UINT32_MAX ? 1 : 0;
        }
        *keys = AllocateArrayOf<uint64_t>(*count);
        size_t n = 0;
        for (uint32_t color = 0; *keys != nullptr && color <= kColorBits; ++color) {
            if (places[color] != UINT32_MAX) {
                (*keys)[n++] = uint64_t{places[color]} << 24 | color;
            }
        }
        ReleaseBytes(places);
        return *keys != nullptr ? StatusOk : StatusOutOfMemory;
    }
    PlaceTable table{nullptr, nullptr, 0, 0};
    bool ok = Grow(table) && VisitRuns(picture, keySeen, [&table](uint32_t color, uint32_t place) {
        return See(table, color, place);
    });
    *keys = ok ? AllocateArrayOf<uint64_t>(table.count) : nullptr;
    for (uint64_t i = 0; *keys != nullptr && i <= table.mask; ++i) {
        if (table.colors[i] != 0) {
            (*keys)[(*count)++] = uint64_t{table.places[i]} << 24 | (table.colors[i] & kColorBits);
        }
    }
    ReleaseBytes(table.colors);
    ReleaseBytes(table.places);
    return *keys != nullptr ? StatusOk : StatusOutOfMemory;
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
    uint32_t order[256];
    size_t count = 0;
    for (uint32_t index = 0; index < 256; ++index) {
        if (first[index] != UINT64_MAX) {
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
            uint32_t other = entries[e];
            joined = classes[e] == colors.classes[i];
            for (int shift = 0; shift < 24 && joined; shift += 8) {
                int a = static_cast<int>(color >> shift & 0xFF), b = static_cast<int>(other >> shift & 0xFF);
                joined = (a > b ? a - b : b - a) <= tolerance;
            }
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
    *colors = FirstColors{nullptr, nullptr, 0, 0};
    if (picture.width == 0 || picture.height == 0) {
        return StatusOk;
    }
    if (uint64_t{picture.width} * picture.height > UINT32_MAX) {
        return StatusUnsupported;  // a place must fit its word
    }
    if (picture.storage == StorageIndexed && picture.alphaCount != 0) {
        return FirstIndices(picture, colors);
    }
    uint64_t* keys = nullptr;
    size_t count = 0;
    bool keySeen = false;
    Status status = FirstPlaces(picture, &keys, &count, &keySeen);
    colors->keyEntries = keySeen ? 1 : 0;
    if (status == StatusOk && (!SortByPlace(keys, count) ||
                               (colors->colors = AllocateArrayOf<uint32_t>(count)) == nullptr)) {
        status = StatusOutOfMemory;
    }
    for (size_t i = 0; status == StatusOk && i < count; ++i) {
        colors->colors[i] = static_cast<uint32_t>(keys[i] & kColorBits);
    }
    colors->count = status == StatusOk ? count : 0;
    ReleaseBytes(keys);
    return status;
}

void FreeFirstColors(FirstColors* colors) {
    ReleaseBytes(colors->colors);
    ReleaseBytes(colors->classes);
    *colors = FirstColors{nullptr, nullptr, 0, 0};
}

Status CountEntries(const FirstColors& colors, int tolerance, uint64_t limit, uint64_t* entries) {
    *entries = 0;
    if (colors.classes != nullptr) {
        *entries = std::min(CountInClasses(colors, tolerance, limit) + colors.keyEntries, limit + 1);
        return StatusOk;
    }
    if (tolerance == 0 || colors.count == 0) {
        // Every colour its own entry.
        *entries = std::min<uint64_t>(colors.count + colors.keyEntries, limit + 1);
        return StatusOk;
    }
    constexpr uint32_t kPiece = 4096;
    CellIndex* index = NewCellIndex(kPiece, tolerance, colors.count);
    if (index == nullptr) {
        return StatusOutOfMemory;
    }
    for (size_t at = 0; at < colors.count && *entries <= limit; at += kPiece) {
        size_t count = std::min<size_t>(kPiece, colors.count - at);
        std::memcpy(CellIndexPiece(index), colors.colors + at, count * sizeof(uint32_t));
        FlattenPiece(*index, CellIndexPiece(index), count);
        *entries = CellIndexEntries(*index);
    }
    FreeCellIndex(index);
    *entries = std::min(*entries + colors.keyEntries, limit + 1);
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
        Status status = CountEntries(colors, middle, colorCount, &entries);
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

}  // namespace quenvale
