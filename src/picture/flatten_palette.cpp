// The palette a flatten left in a picture, read back from its pixels: each
// distinct colour is one entry, its founder the colour's first pixel in the
// visiting order (the smallest column, then the lowest row), and entries
// are created in the order of their founders.
#include <algorithm>
#include <cstring>

#include "memory.h"
#include "picture_model.h"
#include "pixel_values.h"

namespace quenvale {

namespace {

uint32_t Sample16(const uint8_t* at) { return uint32_t{at[0]} | uint32_t{at[1]} << 8; }

}  // namespace

void ReadPictureColor(const Picture& picture, const uint8_t* row, uint32_t x, uint32_t* color, uint64_t* value) {
    switch (picture.storage) {
        case StorageBgr24: {
            const uint8_t* at = row + 3 * size_t{x};
            *color = uint32_t{at[2]} << 16 | uint32_t{at[1]} << 8 | at[0];
            *value = *color;
            return;
        }
        case StorageIndexed: {
            uint32_t index = ReadPixelValue(row, x, picture.bits);
            *color = index < picture.paletteCount ? picture.palette[index] : 0;
            *value = index;
            return;
        }
        case StorageMasked: {
            uint32_t word = ReadPixelValue(row, x, picture.bits);
            *color = WidenChannel(word, picture.channels[0]) << 16 | WidenChannel(word, picture.channels[1]) << 8 |
                     WidenChannel(word, picture.channels[2]);
            *value = word;
            return;
        }
        case StorageGrey:
        case StorageRgb:
            break;
    }
    uint32_t samples = (picture.storage == StorageRgb ? 3 : 1) + (picture.alpha ? 1 : 0);
    if (picture.bits < 8) {
        uint32_t grey = ReadPixelValue(row, x, picture.bits);
        *color = WidenChannel(grey, ChannelMask{(1u << picture.bits) - 1, 0, picture.bits}) * 0x010101u;
        *value = grey;
        return;
    }
    uint32_t top[3] = {};
    *value = 0;
    for (uint32_t i = 0; i < samples; ++i) {
        uint32_t sample = picture.bits == 16 ? Sample16(row + (size_t{x} * samples + i) * 2)
                                             : row[size_t{x} * samples + i];
        *value = *value << picture.bits | sample;
        if (i < 3) {
            top[i] = picture.bits == 16 ? sample >> 8 : sample;
        }
    }
    *color = picture.storage == StorageRgb ? top[0] << 16 | top[1] << 8 | top[2] : top[0] * 0x010101u;
}

namespace {

// Entries by colour, in an open-addressed table that doubles when half full.
struct EntryTable {
    uint32_t* slots;  // entry number + 1, or 0
    uint32_t mask;
    FlattenEntry* entries;
    size_t count;
    size_t capacity;
};

uint32_t Hash(uint32_t color) { return color * 0x9E3779B1u; }

bool Grow(EntryTable& table) {
    size_t capacity = table.capacity == 0 ? 256 : 2 * table.capacity;
    auto* entries = AllocateArrayOf<FlattenEntry>(capacity);
    auto* slots = AllocateArrayOf<uint32_t>(2 * uint64_t{capacity});
    if (entries == nullptr || slots == nullptr || capacity > UINT32_MAX / 2) {
        ReleaseBytes(entries);
        ReleaseBytes(slots);
        return false;
    }
    if (table.count != 0) {
        std::memcpy(entries, table.entries, table.count * sizeof(FlattenEntry));
    }
    std::memset(slots, 0, 2 * capacity * sizeof(uint32_t));
    auto mask = static_cast<uint32_t>(2 * capacity - 1);
    for (size_t i = 0; i < table.count; ++i) {
        uint32_t slot = Hash(entries[i].color) & mask;
        while (slots[slot] != 0) {
            slot = (slot + 1) & mask;
        }
        slots[slot] = static_cast<uint32_t>(i + 1);
    }
    ReleaseBytes(table.entries);
    ReleaseBytes(table.slots);
    table.entries = entries;
    table.slots = slots;
    table.mask = mask;
    table.capacity = capacity;
    return true;
}

// The colour's entry, added where new; null when memory runs out.
FlattenEntry* EntryOf(EntryTable& table, uint32_t color) {
    uint32_t slot = Hash(color) & table.mask;
    while (table.slots[slot] != 0) {
        FlattenEntry& entry = table.entries[table.slots[slot] - 1];
        if (entry.color == color) {
            return &entry;
        }
        slot = (slot + 1) & table.mask;
    }
    if (table.count == table.capacity) {
        if (!Grow(table)) {
            return nullptr;
        }
        return EntryOf(table, color);
    }
    table.entries[table.count] = FlattenEntry{color, 0, UINT32_MAX, 0, 0};
    table.slots[slot] = static_cast<uint32_t>(++table.count);
    return &table.entries[table.count - 1];
}

}  // namespace

Status FlattenPicture(const Picture& picture, int tolerance, FlattenPalette* palette) {
    *palette = FlattenPalette{nullptr, 0};
    Status status = FlattenPicture(picture, tolerance);
    return status == StatusOk ? DescribeFlattenPalette(picture, palette) : status;
}

void FreeFlattenPalette(FlattenPalette* palette) {
    ReleaseBytes(palette->entries);
    *palette = FlattenPalette{nullptr, 0};
}

Status DescribeFlattenPalette(const Picture& flattened, FlattenPalette* palette) {
    *palette = FlattenPalette{nullptr, 0};
    if (flattened.width == 0 || flattened.height == 0) {
        return StatusOk;  // no pixels: no entries, and no walk over empty rows
    }
    EntryTable table{};
    if (!Grow(table)) {
        return StatusOutOfMemory;
    }
    // Rows from the bottom up, so that the first sight of a colour in a
    // column is its lowest; founderY holds the visited row until the sort.
    for (uint32_t visited = 0; visited < flattened.height; ++visited) {
        uint32_t stored = flattened.topDown ? flattened.height - 1 - visited : visited;
        const uint8_t* row = flattened.rows + size_t{stored} * flattened.stride;
        for (uint32_t x = 0; x < flattened.width; ++x) {
            uint32_t color = 0;
            uint64_t value = 0;
            ReadPictureColor(flattened, row, x, &color, &value);
            FlattenEntry* entry = EntryOf(table, color);
            if (entry == nullptr) {
                ReleaseBytes(table.entries);
                ReleaseBytes(table.slots);
                return StatusOutOfMemory;
            }
            ++entry->pixelCount;
            if (x < entry->founderX) {
                entry->founderX = x;
                entry->founderY = visited;
                entry->founderValue = value;
            }
        }
    }
    ReleaseBytes(table.slots);
    if (table.count == 0) {
        ReleaseBytes(table.entries);  // no pixels: no entries to hand over
        return StatusOk;
    }
    std::sort(table.entries, table.entries + table.count, [](const FlattenEntry& a, const FlattenEntry& b) {
        return a.founderX != b.founderX ? a.founderX < b.founderX : a.founderY < b.founderY;
    });
    for (size_t i = 0; i < table.count; ++i) {
        table.entries[i].founderY = flattened.height - 1 - table.entries[i].founderY;
    }
    *palette = FlattenPalette{table.entries, table.count};
    return StatusOk;
}

}  // namespace quenvale
