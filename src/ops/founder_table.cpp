// The founder table's storage and its filling after each searched piece.
#include "ops/founder_table.h"

#include <cstring>

#include "base/memory.h"

namespace quenvale {

bool AllocFounderTable(FounderTable& table, uint64_t entries) {
    int bits = 12;
    while ((uint64_t{1} << bits) < 2 * entries) {
        ++bits;
    }
    uint64_t slots = uint64_t{1} << bits;
    table.shift = 32 - bits;
    table.keys = AllocateArrayOf<uint32_t>(slots);
    table.values = AllocateArrayOf<uint32_t>(slots);
    if (table.keys == nullptr || table.values == nullptr) {
        return false;
    }
    std::memset(table.keys, 0, static_cast<size_t>(slots) * sizeof(uint32_t));
    return true;
}

void FreeFounderTable(FounderTable& table) {
    ReleaseBytes(table.keys);
    ReleaseBytes(table.values);
    table = FounderTable{};
}

void RecordFounders(FounderTable& table, const uint32_t* colors, const uint32_t* matched, const uint32_t* values,
                    size_t count) {
    for (size_t i = 0; i < count; ++i) {
        if (matched[i] == colors[i]) {
            uint32_t slot = FounderSlot(table, colors[i]);
            if (table.keys[slot] == 0) {
                table.keys[slot] = colors[i] | kFounderUsed;
                table.values[slot] = values[i];
            }
        }
    }
}

}  // namespace quenvale
