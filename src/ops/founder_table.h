// The table from an entry's colour to its founder's value, which every
// flatten that writes stored values keeps: entries hold distinct colours,
// so the colour names the entry.
#ifndef QUENVALE_FOUNDER_TABLE_H
#define QUENVALE_FOUNDER_TABLE_H

#include <algorithm>
#include <cstddef>
#include <cstdint>

#include "base/memory.h"
#include "ops/flatten.h"

namespace quenvale {

// Open-addressed, at most half full: entries never pass the palette's bound
// at the tolerance, which sizes it.
struct FounderTable {
    uint32_t* keys;  // colour | kFounderUsed, or 0
    uint32_t* values;
    int shift;       // 32 less the table's bits
};
constexpr uint32_t kFounderUsed = uint32_t{1} << 24;

bool AllocFounderTable(FounderTable& table, uint64_t entries);
void FreeFounderTable(FounderTable& table);

inline uint32_t FounderSlot(const FounderTable& table, uint32_t color) {
    uint32_t slot = (color * 0x9E3779B1u) >> table.shift;
    uint32_t mask = UINT32_MAX >> table.shift;
    while (table.keys[slot] != 0 && table.keys[slot] != (color | kFounderUsed)) {
        slot = (slot + 1) & mask;
    }
    return slot;
}

// After a piece's search, colors as searched and matched as found: the
// first pixel whose entry has its own colour, and no founder yet, founded
// it, since pixels are taken in visiting order. values are what it records.
void RecordFounders(FounderTable& table, const uint32_t* colors, const uint32_t* matched, const uint32_t* values,
                    size_t count);

inline uint32_t FounderValue(const FounderTable& table, uint32_t color) {
    return table.values[FounderSlot(table, color)];
}

// The flatten of pixels with too many values to map value by value: the
// search takes a block of whole columns at a time in the visiting order.
// read(x, visitedRow, &color, &recorded) gives a pixel's colour and what
// its founder records (its value, or its place), or false for a pixel left
// as it is that takes no part (a transparent key colour);
// write(x, visitedRow, founder's, own) stores the pixel's result.
template <typename Read, typename Write>
Status FlattenByFounders(uint32_t width, uint32_t height, int tolerance, Read read, Write write) {
    uint64_t pixelCount = uint64_t{width} * height;
    auto capacity = static_cast<uint32_t>(std::min<uint64_t>(uint64_t{1} << 16, pixelCount));
    CellIndex* index = NewCellIndex(capacity, tolerance, pixelCount);
    auto* words = AllocateArrayOf<uint32_t>(4 * uint64_t{capacity});
    FounderTable founders{};
    bool complete = AllocFounderTable(founders, std::min(pixelCount, MaxPaletteEntries(tolerance)));
    if (index == nullptr || words == nullptr || !complete) {
        FreeCellIndex(index);
        ReleaseBytes(words);
        FreeFounderTable(founders);
        return StatusOutOfMemory;
    }
    uint32_t* piece = CellIndexPiece(index);
    uint32_t* recorded = words;
    uint32_t* colors = words + capacity;
    uint32_t* across = words + 2 * uint64_t{capacity};  // each taken pixel's column and row in the block
    uint32_t* down = words + 3 * uint64_t{capacity};
    uint32_t rows = std::min(height, capacity);
    uint32_t columns = std::min(width, capacity / rows);
    for (uint32_t x = 0, blockWidth = 0; x < width; x += blockWidth) {
        blockWidth = std::min(columns, width - x);
        for (uint32_t y = 0, blockHeight = 0; y < height; y += blockHeight) {
            blockHeight = std::min(rows, height - y);
            size_t n = 0;
            for (uint32_t c = 0; c < blockWidth; ++c) {
                for (uint32_t r = 0; r < blockHeight; ++r) {
                    if (read(x + c, y + r, &colors[n], &recorded[n])) {
                        piece[n] = colors[n];
                        across[n] = x + c;
                        down[n++] = y + r;
                    }
                }
            }
            FlattenPiece(*index, piece, n);
            RecordFounders(founders, colors, piece, recorded, n);
            for (size_t i = 0; i < n; ++i) {
                write(across[i], down[i], FounderValue(founders, piece[i]), recorded[i]);
            }
        }
    }
    FreeCellIndex(index);
    ReleaseBytes(words);
    FreeFounderTable(founders);
    return StatusOk;
}

}  // namespace quenvale

#endif
