// The kernels' window operations over the ring of colours: the blur's
// running sums, and the darkest neighbour's keys.
//
// The blur keeps three running sums a column over the rows of its window
// and slides a horizontal sum along them. The darkest neighbour keeps each
// column's two darkest pixels of the window's rows; the window's two
// darkest are among the five columns' pairs, and the first of them that is
// not the centre is the candidate. Keys that pack the channel sum above the
// pixel's place in the window make "darkest, then first visited" a plain
// minimum.
#include <algorithm>

#include "ops/kernel_parts.h"

namespace quenvale::stream {

namespace {

// Exact truncating division by a window of at most 49 pixels as a multiply:
// the error stays below 1 / 49 for sums under 2^26.
struct Reciprocals {
    uint64_t of[50];
};

Reciprocals MakeReciprocals() {
    Reciprocals table{};
    for (uint32_t d = 1; d < 50; ++d) {
        table.of[d] = ((uint64_t{1} << 32) + d - 1) / d;
    }
    return table;
}

// A pixel's key: its channel sum, above its column's place in the window
// (0 to 4, in bits 3 to 5) and its row's (0 to 4, in bits 0 to 2), so that
// the smaller key is darker or, on a tie, visited first: columns outer.
// Less 2^15, the keys fit signed 16 bits, whose min and max every x86-64
// processor does eight at a time.
using Key = int16_t;
constexpr int kKeyBias = 32768;
constexpr Key kNoKey = 32767 - 40;  // a row or column the window lacks; above any key plus a place

Key MakeKey(uint32_t sum, uint32_t column, uint32_t row) {
    return static_cast<Key>(static_cast<int>(sum << 6 | column << 3 | row) - kKeyBias);
}

// The window's smallest two keys over the columns at offsets -2 to 2, each
// column's best two given: min and max only, so the loops vectorise.
void MergeColumns(const Key* first, const Key* second, uint32_t width, Key* best, Key* next) {
    std::fill(best, best + width, kNoKey);
    std::fill(next, next + width, kNoKey);
    for (int offset = -2; offset <= 2; ++offset) {
        // From x = 2 on the window starts at x - 2: the column's place is fixed.
        int place = (offset + 2) << 3;
        int64_t end = std::min<int64_t>(width, int64_t{width} - offset);
        for (int64_t x = 2; x < end; ++x) {
            auto a = static_cast<Key>(first[x + offset] + place);
            auto b = static_cast<Key>(second[x + offset] + place);
            next[x] = std::min(next[x], std::max(best[x], a));
            best[x] = std::min(best[x], a);
            next[x] = std::min(next[x], std::max(best[x], b));
            best[x] = std::min(best[x], b);
        }
    }
    for (uint32_t x = 0; x < width && x < 2; ++x) {
        for (uint32_t column = 0; column <= std::min<uint64_t>(uint64_t{x} + 2, width - 1); ++column) {
            for (Key key : {first[column], second[column]}) {
                auto placed = static_cast<Key>(key + static_cast<int>(column << 3));
                next[x] = std::min(next[x], std::max(best[x], placed));
                best[x] = std::min(best[x], placed);
            }
        }
    }
}

}  // namespace

void Blur(KernelWork& work, BlurSums& summed, uint32_t t) {
    static const Reciprocals kReciprocal = MakeReciprocals();
    uint32_t width = work.width;
    uint32_t low = t >= 3 ? t - 3 : 0;
    uint32_t high = std::min<uint64_t>(uint64_t{t} + 4, work.height);  // exclusive
    for (; summed.high < high; ++summed.high) {
        const uint32_t* colors = work.colors + RowAt(work, summed.high);
        uint32_t* sums = work.columns;
        for (uint32_t x = 0; x < width; ++x, sums += 3) {
            sums[0] += colors[x] >> 16, sums[1] += colors[x] >> 8 & 0xFF, sums[2] += colors[x] & 0xFF;
        }
    }
    for (; summed.low < low; ++summed.low) {
        const uint32_t* colors = work.colors + RowAt(work, summed.low);
        uint32_t* sums = work.columns;
        for (uint32_t x = 0; x < width; ++x, sums += 3) {
            sums[0] -= colors[x] >> 16, sums[1] -= colors[x] >> 8 & 0xFF, sums[2] -= colors[x] & 0xFF;
        }
    }
    uint32_t rows = high - low;
    const uint32_t* sums = work.columns;
    uint32_t red = 0, green = 0, blue = 0;
    for (uint32_t x = 0; x < width && x <= 3; ++x) {
        red += sums[3 * size_t{x}], green += sums[3 * size_t{x} + 1], blue += sums[3 * size_t{x} + 2];
    }
    for (uint32_t x = 0; x < width; ++x) {
        uint32_t left = x >= 3 ? x - 3 : 0;
        uint32_t right = std::min<uint64_t>(uint64_t{x} + 3, width - 1);
        uint64_t scale = kReciprocal.of[(right - left + 1) * rows];
        work.results[x] = static_cast<uint32_t>(red * scale >> 32) << 16 |
                          static_cast<uint32_t>(green * scale >> 32) << 8 | static_cast<uint32_t>(blue * scale >> 32);
        if (uint64_t{x} + 4 < width) {
            const uint32_t* entering = sums + 3 * (size_t{x} + 4);
            red += entering[0], green += entering[1], blue += entering[2];
        }
        if (x >= 3) {
            const uint32_t* leaving = sums + 3 * (size_t{x} - 3);
            red -= leaving[0], green -= leaving[1], blue -= leaving[2];
        }
    }
}

void Darkest(KernelWork& work, uint32_t t) {
    uint32_t width = work.width;
    uint32_t top = t >= 2 ? t - 2 : 0;
    uint32_t bottom = std::min<uint64_t>(uint64_t{t} + 2, work.height - 1);
    // Each column's two smallest keys over the window's rows.
    auto* first = reinterpret_cast<Key*>(work.columns);
    Key* second = first + width;
    Key* best = second + width;
    Key* next = best + width;
    std::fill(first, first + width, kNoKey);
    std::fill(second, second + width, kNoKey);
    size_t rows[5] = {0, 0, 0, 0, 0};
    for (uint32_t y = top; y <= bottom; ++y) {
        rows[y - top] = RowAt(work, y);
        const uint16_t* sums = work.sums + rows[y - top];
        for (uint32_t x = 0; x < width; ++x) {
            Key key = MakeKey(sums[x], 0, y - top);
            second[x] = std::min(second[x], std::max(first[x], key));
            first[x] = std::min(first[x], key);
        }
    }
    MergeColumns(first, second, width, best, next);
    size_t centreRow = RowAt(work, t);
    const uint16_t* centreSums = work.sums + centreRow;
    for (uint32_t x = 0; x < width; ++x) {
        uint32_t left = x >= 2 ? x - 2 : 0;
        Key chosen = best[x] == MakeKey(centreSums[x], x - left, t - top) ? next[x] : best[x];
        auto key = static_cast<uint32_t>(chosen + kKeyBias);
        // Eligible: a sum below the centre's plus 255; else the pixel stays.
        bool eligible = chosen < kNoKey && (key >> 6) < uint32_t{centreSums[x]} + 255;
        work.results[x] = eligible ? static_cast<uint32_t>(rows[key & 7] + left + (key >> 3 & 7))
                                   : static_cast<uint32_t>(centreRow + x);
    }
}

void MakeRowResults(KernelWork& work, BlurSums& sums, uint32_t t) {
    switch (work.kernel->window) {
        case WindowBlur:
            Blur(work, sums, t);
            break;
        case WindowDarkest:
            Darkest(work, t);
            break;
        case WindowNone: {
            const uint32_t* colors = work.colors + RowAt(work, t);
            for (uint32_t x = 0; x < work.width; ++x) {
                work.results[x] = work.kernel->mapColor(colors[x]);
            }
            break;
        }
    }
}

}  // namespace quenvale::stream
