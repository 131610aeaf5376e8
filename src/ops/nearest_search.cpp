// The nearest-colour search: colours ordered by the sum of their channels,
// walked out both ways from a query's sum until the sums alone are too far.
#include "ops/nearest_search.h"

#include <algorithm>

#include "base/memory.h"

namespace quenvale {

namespace {

constexpr uint32_t kCacheBits = 18;
constexpr uint32_t kMostApart = 4096;  // beyond, the pairs cost more than they save
constexpr uint32_t kFilled = 0x80000000u;

// A colour's place along the grey axis: the sum of its channels. Two
// colours' sums differ by at most twice their distance (its square root),
// so a search ordered by it can stop where the sums alone are too far.
int32_t Axis(uint32_t v) {
    return static_cast<int32_t>((v & 0xFF) + (v >> 8 & 0xFF) + (v >> 16 & 0xFF) + (v >> 24));
}

// The table of colours met is direct-mapped, small enough to stay near the
// processor: a colour met again is found at once; one that takes its slot
// is searched afresh.
size_t CacheSlot(uint32_t rgba) { return (rgba * 0x9E3779B1u) >> (32 - kCacheBits); }

}  // namespace

bool AllocateNearestSearch(uint32_t room, bool cached, NearestSearch* search) {
    *search = NearestSearch{};
    uint64_t slots = cached ? uint64_t{1} << kCacheBits : 0;
    search->sorted = AllocateArrayOf<uint32_t>(std::max<uint32_t>(room, 1));
    search->indices = AllocateArrayOf<uint32_t>(std::max<uint32_t>(room, 1));
    search->apart = AllocateArrayOf<uint32_t>(std::max<uint32_t>(room, 1));
    search->cacheKeys = cached ? AllocateArrayOf<uint32_t>(slots) : nullptr;
    search->cacheEntries = cached ? AllocateArrayOf<uint32_t>(slots) : nullptr;
    if (search->sorted == nullptr || search->indices == nullptr || search->apart == nullptr ||
        (cached && (search->cacheKeys == nullptr || search->cacheEntries == nullptr))) {
        ReleaseNearestSearch(search);
        return false;
    }
    return true;
}

void ReleaseNearestSearch(NearestSearch* search) {
    ReleaseBytes(search->sorted);
    ReleaseBytes(search->indices);
    ReleaseBytes(search->apart);
    ReleaseBytes(search->cacheKeys);
    ReleaseBytes(search->cacheEntries);
    *search = NearestSearch{};
}

void SetNearestColors(NearestSearch* search, const uint32_t* colors, uint32_t count) {
    search->colors = colors;
    search->count = count;
    for (uint32_t i = 0; i < count; ++i) {
        search->indices[i] = i;
    }
    std::sort(search->indices, search->indices + count, [colors](uint32_t a, uint32_t b) {
        int32_t sa = Axis(colors[a]), sb = Axis(colors[b]);
        return sa != sb ? sa < sb : a < b;
    });
    for (uint32_t i = 0; i < count; ++i) {
        search->sorted[i] = colors[search->indices[i]];
        // A colour nearer to this one than a quarter of this (half the way)
        // has it as its nearest: every other is farther.
        search->apart[i] = count <= kMostApart ? 0xFFFFFFFFu : 0;
        for (uint32_t j = 0; j < count && count <= kMostApart; ++j) {
            search->apart[i] = j == i ? search->apart[i] : std::min(search->apart[i], ColorDistance(colors[i], colors[j]));
        }
    }
    if (search->cacheEntries != nullptr) {
        std::fill(search->cacheEntries, search->cacheEntries + (size_t{1} << kCacheBits), 0);
    }
}

uint32_t NearestOf(const NearestSearch& search, uint32_t rgba, uint32_t guess) {
    uint32_t bestDistance = ColorDistance(rgba, search.colors[guess]), best = guess;
    if (uint64_t{4} * bestDistance < search.apart[guess]) {
        return guess;
    }
    int32_t sum = Axis(rgba);
    uint32_t low = 0, high = search.count;
    while (low < high) {  // the first colour of a sum >= the query's
        uint32_t middle = low + (high - low) / 2;
        if (Axis(search.sorted[middle]) < sum) {
            low = middle + 1;
        } else {
            high = middle;
        }
    }
    auto consider = [&](uint32_t at) {
        uint32_t d = ColorDistance(rgba, search.sorted[at]);
        if (d < bestDistance || (d == bestDistance && search.indices[at] < best)) {
            bestDistance = d;
            best = search.indices[at];
        }
    };
    auto beyond = [&](uint32_t at) {
        int64_t gap = Axis(search.sorted[at]) - sum;
        return static_cast<uint64_t>(gap * gap) > uint64_t{4} * bestDistance;
    };
    for (uint32_t up = low, down = low; up < search.count || down > 0;) {
        if (up < search.count) {
            if (beyond(up)) {
                up = search.count;
            } else {
                consider(up++);
            }
        }
        if (down > 0) {
            if (beyond(down - 1)) {
                down = 0;
            } else {
                consider(--down);
            }
        }
    }
    return best;
}

bool FindKept(const NearestSearch& search, uint32_t rgba, uint32_t* nearest) {
    size_t slot = CacheSlot(rgba);
    if (search.cacheEntries[slot] == 0 || search.cacheKeys[slot] != rgba) {
        return false;
    }
    *nearest = search.cacheEntries[slot] & ~kFilled;
    return true;
}

void Keep(NearestSearch* search, uint32_t rgba, uint32_t nearest) {
    size_t slot = CacheSlot(rgba);
    search->cacheKeys[slot] = rgba;
    search->cacheEntries[slot] = nearest | kFilled;
}

}  // namespace quenvale
