// Regions by two passes over the rows: provisional labels joined in a
// union-find whose roots are the smallest (so the first made, in row
// order), then numbered in that order in one sweep.
#include "ops/pixel_regions.h"

#include <algorithm>

#include "base/memory.h"
#include "ops/palette_chooser.h"

namespace quenvale {

namespace {

uint32_t PixelBits(const Picture& picture) {
    uint32_t samples = picture.storage == StorageRgb ? 3 : 1;
    samples += (picture.storage == StorageRgb || picture.storage == StorageGrey) && picture.alpha ? 1 : 0;
    return picture.storage == StorageMasked || picture.bits == 24 ? picture.bits : picture.bits * samples;
}

uint8_t* RowAt(const Picture& picture, uint32_t y) {
    return picture.rows + size_t{picture.topDown ? y : picture.height - 1 - y} * picture.stride;
}

// Pass one: provisional labels, joined where a pixel meets its left and
// upper neighbours of its value. The union keeps the smaller root, so a
// root is never later than any label of its set.
Status LabelProvisionally(const Picture& picture, uint32_t* labels, uint32_t** parent, uint32_t* count) {
    uint64_t* line = AllocateArrayOf<uint64_t>(2 * uint64_t{picture.width});
    if (line == nullptr) {
        return StatusOutOfMemory;
    }
    uint64_t* above = line + picture.width;
    size_t capacity = 0;
    uint32_t made = 0;
    uint32_t width = picture.width;
    for (uint32_t y = 0; y < picture.height; ++y) {
        uint32_t* row = labels + size_t{y} * width;
        for (uint32_t x = 0; x < width; ++x) {
            uint64_t value = StoredPixel(picture, x, y);
            line[x] = value;
            bool left = x > 0 && line[x - 1] == value;
            bool up = y > 0 && above[x] == value;
            if (left) {
                row[x] = row[x - 1];
                if (up) {
                    uint32_t a = RootOf(*parent, row[x - 1]), b = RootOf(*parent, (row - width)[x]);
                    (*parent)[std::max(a, b)] = std::min(a, b);
                }
            } else if (up) {
                row[x] = (row - width)[x];
            } else {
                if (!RoomForOneMore(parent, made, &capacity)) {
                    ReleaseBytes(line);
                    return StatusOutOfMemory;
                }
                (*parent)[made] = made;
                row[x] = made++;
            }
        }
        std::swap(line, above);
    }
    ReleaseBytes(std::min(line, above));
    *count = made;
    return StatusOk;
}

// The regions' colours: their stored values, numbered oldest first.
Status NumberColors(const Picture& picture, PixelRegions* regions, const uint64_t* firstVisits) {
    uint32_t count = regions->count;
    uint32_t* order = AllocateArrayOf<uint32_t>(count);
    uint64_t* values = AllocateArrayOf<uint64_t>(count);
    uint64_t* ages = AllocateArrayOf<uint64_t>(count);  // per colour, then reused as the colours' order
    if (order == nullptr || values == nullptr || ages == nullptr) {
        ReleaseBytes(order), ReleaseBytes(values), ReleaseBytes(ages);
        return StatusOutOfMemory;
    }
    uint32_t width = picture.width;
    for (uint32_t i = 0; i < count; ++i) {
        uint32_t seed = regions->regions[i].seed;
        values[i] = StoredPixel(picture, seed % width, seed / width);
        order[i] = i;
    }
    std::sort(order, order + count, [&](uint32_t a, uint32_t b) { return values[a] < values[b] || (values[a] == values[b] && a < b); });
    // Colours by value first; their age is the earliest visit of their regions.
    uint32_t colors = 0;
    for (uint32_t i = 0; i < count; ++i) {
        uint32_t r = order[i];
        if (i == 0 || values[r] != values[order[i - 1]]) {
            ages[colors++] = firstVisits[r];
        }
        ages[colors - 1] = std::min(ages[colors - 1], firstVisits[r]);
        regions->regions[r].color = colors - 1;
    }
    regions->colors = AllocateArrayOf<RegionColor>(colors);
    uint32_t* byAge = AllocateArrayOf<uint32_t>(colors);
    uint32_t* rank = AllocateArrayOf<uint32_t>(colors);
    Status status = regions->colors == nullptr || byAge == nullptr || rank == nullptr ? StatusOutOfMemory : StatusOk;
    if (status == StatusOk) {
        for (uint32_t c = 0; c < colors; ++c) {
            byAge[c] = c;
        }
        std::sort(byAge, byAge + colors, [&](uint32_t a, uint32_t b) { return ages[a] < ages[b] || (ages[a] == ages[b] && a < b); });
        for (uint32_t c = 0; c < colors; ++c) {
            rank[byAge[c]] = c;
        }
        for (uint32_t r = 0; r < count; ++r) {
            PixelRegion& region = regions->regions[r];
            region.color = rank[region.color];
            RegionColor& color = regions->colors[region.color];
            uint32_t x = region.seed % width, y = region.seed / width;
            uint64_t unused = 0;
            color.value = values[r];
            color.rgba = ReadPictureRgba(picture, RowAt(picture, y), x, &unused);
        }
        regions->colorCount = colors;
    }
    ReleaseBytes(order), ReleaseBytes(values), ReleaseBytes(ages), ReleaseBytes(byAge), ReleaseBytes(rank);
    return status;
}

}  // namespace

uint64_t StoredPixel(const Picture& picture, uint32_t x, uint32_t y) {
    const uint8_t* row = RowAt(picture, y);
    uint32_t bits = PixelBits(picture);
    if (bits < 8) {
        size_t at = size_t{x} * bits;
        return (row[at / 8] >> (8 - bits - at % 8)) & ((1u << bits) - 1);
    }
    uint64_t value = 0;
    const uint8_t* pixel = row + size_t{x} * (bits / 8);
    for (uint32_t i = 0; i < bits / 8; ++i) {
        value |= uint64_t{pixel[i]} << (8 * i);
    }
    return value;
}

void WriteStoredPixel(const Picture& picture, uint32_t toX, uint32_t toY, uint64_t value) {
    uint8_t* row = RowAt(picture, toY);
    uint32_t bits = PixelBits(picture);
    if (bits < 8) {
        size_t at = size_t{toX} * bits;
        uint32_t shift = 8 - bits - at % 8, mask = ((1u << bits) - 1) << shift;
        row[at / 8] = static_cast<uint8_t>((row[at / 8] & ~mask) | (value << shift & mask));
        return;
    }
    uint8_t* pixel = row + size_t{toX} * (bits / 8);
    for (uint32_t i = 0; i < bits / 8; ++i) {
        pixel[i] = static_cast<uint8_t>(value >> (8 * i));
    }
}

Status LabelRegions(const Picture& picture, PixelRegions* regions) {
    *regions = PixelRegions{};
    uint64_t pixels = uint64_t{picture.width} * picture.height;
    if (pixels > kMostLabelledPixels) {
        return StatusUnsupported;
    }
    if (pixels == 0) {
        return StatusOk;
    }
    regions->labels = AllocateArrayOf<uint32_t>(pixels);
    uint32_t* parent = nullptr;
    uint32_t made = 0;
    Status status = regions->labels == nullptr ? StatusOutOfMemory
                                               : LabelProvisionally(picture, regions->labels, &parent, &made);
    // Numbered in order: a root's number is given before any later label
    // of its set reads it, since parent[i] <= i.
    uint32_t count = 0;
    for (uint32_t i = 0; status == StatusOk && i < made; ++i) {
        parent[i] = parent[i] == i ? count++ : parent[parent[i]];
    }
    regions->regions = status == StatusOk ? AllocateArrayOf<PixelRegion>(count) : nullptr;
    uint64_t* firstVisits = status == StatusOk ? AllocateArrayOf<uint64_t>(count) : nullptr;
    if (status == StatusOk && (regions->regions == nullptr || firstVisits == nullptr)) {
        status = StatusOutOfMemory;
    }
    if (status == StatusOk) {
        regions->count = count;
        std::fill(firstVisits, firstVisits + count, ~uint64_t{0});
        for (uint32_t r = 0; r < count; ++r) {
            regions->regions[r] = PixelRegion{0, 0, 0};
        }
        for (uint32_t y = 0; y < picture.height; ++y) {
            for (uint32_t x = 0; x < picture.width; ++x) {
                size_t i = size_t{y} * picture.width + x;
                uint32_t r = parent[regions->labels[i]];
                regions->labels[i] = r;
                PixelRegion& region = regions->regions[r];
                region.seed = region.size++ == 0 ? static_cast<uint32_t>(i) : region.seed;
                // The flatten visits column by column, each from the bottom row up.
                firstVisits[r] = std::min(firstVisits[r], uint64_t{x} * picture.height + (picture.height - 1 - y));
            }
        }
        status = NumberColors(picture, regions, firstVisits);
    }
    ReleaseBytes(parent);
    ReleaseBytes(firstVisits);
    if (status != StatusOk) {
        FreePixelRegions(regions);
    }
    return status;
}

void FreePixelRegions(PixelRegions* regions) {
    ReleaseBytes(regions->labels);
    ReleaseBytes(regions->regions);
    ReleaseBytes(regions->colors);
    *regions = PixelRegions{};
}

}  // namespace quenvale
