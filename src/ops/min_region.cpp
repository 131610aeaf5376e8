// Speck removal over the labelled regions: a heap of the small ones by
// size, each walked from its first pixel to find its neighbours, and the
// joins kept in a union-find whose roots hold the joined regions' colours;
// the pixels are rewritten once at the end.
#include "ops/min_region.h"

#include <algorithm>

#include "base/memory.h"
#include "ops/nearest_search.h"
#include "ops/pixel_regions.h"

namespace quenvale {

namespace {

constexpr uint32_t kWalked = kWalkedLabel;

// What the merging holds beside the labels.
struct Merging {
    PixelRegions labelled;
    uint32_t* parent;
    uint32_t* color;  // a root's colour now
    uint64_t* heap;  // size << 32 | region, smallest on top
    size_t heapCount, heapCapacity;
    uint32_t* walk;  // the pixels of the region walked
    size_t walkCapacity;
    uint32_t* near;  // its neighbours' roots
    size_t nearCapacity;
};

bool Push(Merging& m, uint64_t size, uint32_t region) {
    if (!RoomForOneMore(&m.heap, m.heapCount, &m.heapCapacity)) {
        return false;
    }
    m.heap[m.heapCount++] = size << 32 | region;
    std::push_heap(m.heap, m.heap + m.heapCount, std::greater<uint64_t>());
    return true;
}

// The roots next to region r, whose pixels are walked from its first one;
// false where memory runs out.
bool Neighbours(Merging& m, uint32_t r, uint32_t width, uint32_t height, size_t* count) {
    uint32_t* labels = m.labelled.labels;
    size_t walked = 0;
    *count = 0;
    uint32_t seed = m.labelled.regions[r].seed;
    bool fine = RoomForOneMore(&m.walk, walked, &m.walkCapacity);
    if (fine) {
        m.walk[walked++] = seed;
        labels[seed] |= kWalked;
    }
    for (size_t at = 0; fine && at < walked; ++at) {
        uint32_t p = m.walk[at];
        uint32_t x = p % width, y = p / width;
        uint32_t around[4] = {x > 0 ? p - 1 : p, x + 1 < width ? p + 1 : p, y > 0 ? p - width : p,
                              y + 1 < height ? p + width : p};
        for (uint32_t q : around) {
            if (q == p || (labels[q] & kWalked) != 0) {
                continue;
            }
            uint32_t root = RootOf(m.parent, labels[q]);
            if (root == r) {
                fine = RoomForOneMore(&m.walk, walked, &m.walkCapacity);
                if (fine) {
                    m.walk[walked++] = q;
                    labels[q] |= kWalked;
                }
            } else if (std::find(m.near, m.near + *count, root) == m.near + *count) {
                fine = RoomForOneMore(&m.near, *count, &m.nearCapacity);
                if (fine) {
                    m.near[(*count)++] = root;
                }
            }
            if (!fine) {
                break;
            }
        }
    }
    for (size_t i = 0; i < walked; ++i) {
        labels[m.walk[i]] &= ~kWalked;
    }
    return fine;
}

// The joins, smallest region first; false where memory runs out.
bool Join(Merging& m, uint64_t smallest, uint32_t width, uint32_t height, RegionMerge* merge) {
    PixelRegion* regions = m.labelled.regions;
    const RegionColor* colors = m.labelled.colors;
    while (m.heapCount > 0) {
        std::pop_heap(m.heap, m.heap + m.heapCount, std::greater<uint64_t>());
        uint64_t top = m.heap[--m.heapCount];
        uint32_t r = static_cast<uint32_t>(top), size = static_cast<uint32_t>(top >> 32);
        if (m.parent[r] != r || regions[r].size != size) {
            continue;  // joined since, or grown and queued again
        }
        size_t count = 0;
        if (!Neighbours(m, r, width, height, &count)) {
            return false;
        }
        if (count == 0) {
            continue;  // the whole picture
        }
        // The nearest colour, the older among equals; regions of one colour end as one.
        uint32_t own = colors[m.color[r]].rgba;
        uint32_t best = m.color[m.near[0]];
        for (size_t i = 1; i < count; ++i) {
            uint32_t c = m.color[m.near[i]];
            uint32_t d = ColorDistance(own, colors[c].rgba), bestD = ColorDistance(own, colors[best].rgba);
            best = d < bestD || (d == bestD && c < best) ? c : best;
        }
        // The joined region is numbered by its earliest first pixel.
        uint32_t root = r;
        for (size_t i = 0; i < count; ++i) {
            root = m.color[m.near[i]] == best ? std::min(root, m.near[i]) : root;
        }
        uint32_t joined = regions[r].size;
        m.parent[r] = root;
        for (size_t i = 0; i < count; ++i) {
            if (m.color[m.near[i]] == best) {
                joined += regions[m.near[i]].size;
                m.parent[m.near[i]] = root;
            }
        }
        regions[root].size = joined;
        m.color[root] = best;
        merge->regions += 1;
        if (joined < smallest && !Push(m, joined, root)) {
            return false;
        }
    }
    return true;
}

}  // namespace

Status RemoveSmallRegions(const Picture& picture, uint64_t smallest, RegionMerge* merge) {
    *merge = RegionMerge{};
    if (smallest <= 1) {
        return StatusOk;
    }
    Merging m{};
    Status status = LabelRegions(picture, &m.labelled);
    if (status != StatusOk) {
        return status;
    }
    uint32_t count = m.labelled.count;
    m.parent = AllocateArrayOf<uint32_t>(count);
    m.color = AllocateArrayOf<uint32_t>(count);
    status = m.parent == nullptr || m.color == nullptr ? StatusOutOfMemory : StatusOk;
    for (uint32_t r = 0; status == StatusOk && r < count; ++r) {
        m.parent[r] = r;
        m.color[r] = m.labelled.regions[r].color;
        if (m.labelled.regions[r].size < smallest && !Push(m, m.labelled.regions[r].size, r)) {
            status = StatusOutOfMemory;
        }
    }
    if (status == StatusOk && !Join(m, smallest, picture.width, picture.height, merge)) {
        status = StatusOutOfMemory;
    }
    // Each pixel whose region joined one of another colour takes its value.
    for (uint32_t y = 0; status == StatusOk && y < picture.height; ++y) {
        for (uint32_t x = 0; x < picture.width; ++x) {
            uint32_t own = m.labelled.labels[size_t{y} * picture.width + x];
            uint32_t root = RootOf(m.parent, own);
            uint32_t from = m.labelled.regions[own].color, to = m.color[root];
            if (from != to) {
                WriteStoredPixel(picture, x, y, m.labelled.colors[to].value);
                merge->pixels += 1;
                merge->largestChange = std::max(
                    merge->largestChange, LargestChannelDifference(m.labelled.colors[from].rgba, m.labelled.colors[to].rgba));
            }
        }
    }
    ReleaseBytes(m.parent), ReleaseBytes(m.color), ReleaseBytes(m.heap), ReleaseBytes(m.walk), ReleaseBytes(m.near);
    FreePixelRegions(&m.labelled);
    return status;
}

}  // namespace quenvale
