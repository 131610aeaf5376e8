// The mean fill: the flatten's groups, each member given its group's mean
// colour (as the flatten sees colours, rounded to nearest per channel)
// rather than its founder's. A palette's founder entry is rewritten to the
// mean and the group's other indices take the founder's index; other
// storages take the stored value nearest the mean; alpha stays each pixel's.
#include <algorithm>
#include <cstring>

#include "base/memory.h"
#include "bmp/pixel_values.h"
#include "ops/picture_flatten.h"

namespace quenvale {

namespace {

struct Group {
    uint64_t key;  // the founder's stored colour, + 1; 0 for a free slot
    uint64_t sums[3];
    uint64_t count;
    uint32_t mean;
};

// Groups by their founder's stored colour, in an open-addressed table that
// doubles when half full.
struct GroupTable {
    Group* slots;
    uint64_t mask;
    uint64_t count;
};

uint64_t SlotOf(uint64_t key, uint64_t mask) { return (key * 0x9E3779B97F4A7C15u >> 20) & mask; }

bool GrowGroups(GroupTable& table) {
    uint64_t size = table.slots == nullptr ? 1024 : 2 * (table.mask + 1);
    auto* slots = AllocateArrayOf<Group>(size);
    if (slots == nullptr) {
        return false;
    }
    std::memset(slots, 0, static_cast<size_t>(size) * sizeof(Group));
    for (uint64_t i = 0; table.slots != nullptr && i <= table.mask; ++i) {
        if (table.slots[i].key != 0) {
            uint64_t slot = SlotOf(table.slots[i].key, size - 1);
            while (slots[slot].key != 0) {
                slot = (slot + 1) & (size - 1);
            }
            slots[slot] = table.slots[i];
        }
    }
    ReleaseBytes(table.slots);
    table.slots = slots;
    table.mask = size - 1;
    return true;
}

// The group of a founder's stored colour, added where new; null when memory
// runs out.
Group* GroupOf(GroupTable& table, uint64_t stored) {
    uint64_t key = stored + 1;
    uint64_t slot = SlotOf(key, table.mask);
    while (table.slots[slot].key != 0 && table.slots[slot].key != key) {
        slot = (slot + 1) & table.mask;
    }
    if (table.slots[slot].key == key) {
        return &table.slots[slot];
    }
    if (2 * (table.count + 1) > table.mask + 1) {
        return GrowGroups(table) ? GroupOf(table, stored) : nullptr;
    }
    table.slots[slot].key = key;
    ++table.count;
    return &table.slots[slot];
}

// A stored value's colour part: alpha, and the bits outside the masks, left out.
uint64_t ColorPart(const Picture& picture, uint64_t value) {
    if (picture.storage == StorageMasked) {
        return value & picture.colorBits;
    }
    bool alphaSample = (picture.storage == StorageGrey || picture.storage == StorageRgb) && picture.alpha;
    return alphaSample ? value >> picture.bits : value;
}

// The sample of the given bits nearest an 8-bit channel value.
uint32_t Nearest(uint32_t channel, uint32_t bits) {
    uint32_t most = bits >= 32 ? UINT32_MAX : (uint32_t{1} << bits) - 1;
    return static_cast<uint32_t>((uint64_t{channel} * most + 127) / 255);
}

void StoreSample16(uint8_t* at, uint32_t value) {
    at[0] = static_cast<uint8_t>(value);
    at[1] = static_cast<uint8_t>(value >> 8);
}

// Writes the colour (0xRRGGBB) into the pixel as its storage holds it,
// keeping its alpha and the bits outside the masks.
void WriteColor(const Picture& picture, uint8_t* row, uint32_t x, uint32_t color) {
    uint32_t channels[3] = {color >> 16, color >> 8 & 0xFF, color & 0xFF};
    switch (picture.storage) {
        case StorageBgr24:
            for (int i = 0; i < 3; ++i) {
                row[3 * size_t{x} + i] = static_cast<uint8_t>(channels[2 - i]);
            }
            return;
        case StorageMasked: {
            uint32_t word = ReadPixelValue(row, x, picture.bits) & ~picture.colorBits;
            for (int i = 0; i < 3; ++i) {
                const ChannelMask& mask = picture.channels[i];
                word |= (Nearest(channels[i], mask.bits) << mask.shift) & mask.mask;
            }
            WritePixelValue(row, x, picture.bits, word);
            return;
        }
        case StorageIndexed:
            return;  // the palette entry holds the colour
        case StorageGrey:
        case StorageRgb:
            break;
    }
    uint32_t colorSamples = picture.storage == StorageRgb ? 3 : 1;
    uint32_t samples = colorSamples + (picture.alpha ? 1 : 0);
    for (uint32_t i = 0; i < colorSamples; ++i) {
        size_t sample = size_t{x} * samples + i;
        if (picture.bits == 16) {
            StoreSample16(row + 2 * sample, channels[i] * 257);
        } else if (picture.bits == 8) {
            row[sample] = static_cast<uint8_t>(channels[i]);
        } else {
            WritePixelValue(row, x, picture.bits, Nearest(channels[i], picture.bits));
        }
    }
}

// An opaque pixel whose mean came out as the transparent key colour moves
// one step off it on its last colour sample, so that it stays opaque.
void AvoidKey(const Picture& picture, uint8_t* row, uint32_t x) {
    uint32_t unused = 0;
    uint64_t value = 0;
    if (!picture.keyed) {
        return;
    }
    ReadPictureColor(picture, row, x, &unused, &value);
    if (value != picture.key) {
        return;
    }
    uint32_t samples = picture.storage == StorageRgb ? 3 : 1;
    size_t last = size_t{x} * samples + samples - 1;
    if (picture.bits == 16) {
        row[2 * last] ^= 1;
    } else if (picture.bits == 8) {
        row[last] ^= 1;
    } else {
        WritePixelValue(row, x, picture.bits, ReadPixelValue(row, x, picture.bits) ^ 1);
    }
}

}  // namespace

Status FlattenPictureToMeans(Picture& picture, int tolerance) {
    if (picture.width == 0 || picture.height == 0) {
        return StatusOk;
    }
    size_t bytes = picture.stride * picture.height + 8;  // the flatten reads a word past the last pixel
    auto* copy = static_cast<uint8_t*>(AllocateBytes(bytes));
    GroupTable groups{nullptr, 0, 0};
    if (copy == nullptr || !GrowGroups(groups)) {
        ReleaseBytes(copy);
        return StatusOutOfMemory;
    }
    std::memcpy(copy, picture.rows, bytes - 8);
    std::memset(copy + bytes - 8, 0, 8);
    Picture founders = picture;
    founders.rows = copy;
    Status status = FlattenPicture(founders, tolerance);
    // Each pixel's colour summed into its group, then each group's mean.
    for (int pass = 0; pass < 2 && status == StatusOk; ++pass) {
        for (uint32_t y = 0; y < picture.height && status == StatusOk; ++y) {
            uint8_t* row = picture.rows + size_t{y} * picture.stride;
            const uint8_t* flat = copy + size_t{y} * picture.stride;
            for (uint32_t x = 0; x < picture.width; ++x) {
                uint32_t color = 0, unused = 0;
                uint64_t founder = 0, own = 0;
                ReadPictureColor(founders, flat, x, &unused, &founder);
                Group* group = GroupOf(groups, ColorPart(picture, founder));
                if (group == nullptr) {
                    status = StatusOutOfMemory;
                    break;
                }
                if (pass == 0) {
                    ReadPictureColor(picture, row, x, &color, &own);
                    group->sums[0] += color >> 16;
                    group->sums[1] += color >> 8 & 0xFF;
                    group->sums[2] += color & 0xFF;
                    group->count += 1;
                    continue;
                }
                if (group->count != 0) {
                    for (int i = 0; i < 3; ++i) {
                        uint32_t mean = static_cast<uint32_t>((2 * group->sums[i] + group->count) / (2 * group->count));
                        group->mean = group->mean << 8 | mean;
                    }
                    group->count = 0;  // the mean is made
                }
                if (picture.storage == StorageIndexed) {
                    WritePixelValue(row, x, picture.bits, static_cast<uint32_t>(founder));
                    picture.palette[founder] = group->mean;
                    picture.paletteCount = std::max(picture.paletteCount, static_cast<uint32_t>(founder) + 1);
                } else if (!picture.keyed || ColorPart(picture, founder) != picture.key) {
                    WriteColor(picture, row, x, group->mean);
                    AvoidKey(picture, row, x);
                }  // the transparent key stays as it is
            }
        }
    }
    ReleaseBytes(copy);
    ReleaseBytes(groups.slots);
    return status;
}

}  // namespace quenvale
