// The remap: a row at a time, each colour met searched once (the search
// keeps a table), the previous pixel's colour the search's first guess.
#include "ops/palette_remap.h"

#include <algorithm>

#include "base/memory.h"
#include "bmp/pixel_values.h"
#include "ops/nearest_search.h"
#include "ops/palette_chooser.h"

namespace quenvale {

Status RemapPicture(const Picture& source, const uint32_t* colors, uint32_t count, const Picture& target,
                    uint32_t* largestError) {
    *largestError = 0;
    if (source.width == 0 || source.height == 0 || count == 0) {
        return StatusOk;
    }
    NearestSearch search{};
    uint32_t* line = AllocateArrayOf<uint32_t>(source.width);
    if (line == nullptr || !AllocateNearestSearch(count, true, &search)) {
        ReleaseBytes(line);
        return StatusOutOfMemory;
    }
    SetNearestColors(&search, colors, count);
    bool indexed = target.storage == StorageIndexed;
    size_t bytes = target.alpha ? 4 : 3;
    uint32_t nearest = 0, clear = count;  // the first fully transparent colour, where one is
    for (uint32_t i = count; i-- > 0;) {
        clear = colors[i] >> 24 == 0 ? i : clear;
    }
    for (uint32_t y = 0; y < source.height; ++y) {
        ReadPictureRgbaRow(source, source.rows + size_t{y} * source.stride, line);
        uint8_t* to = target.rows + size_t{y} * target.stride;
        for (uint32_t x = 0; x < source.width; ++x) {
            uint32_t rgba = line[x];
            if (rgba >> 24 == 0 && clear != count) {
                nearest = clear;  // no colour shows through: not the nearest by its hidden one
            } else if (!FindKept(search, rgba, &nearest)) {
                nearest = NearestOf(search, rgba, nearest);
                Keep(&search, rgba, nearest);
                *largestError = std::max(*largestError, LargestChannelDifference(rgba, colors[nearest]));
            }
            if (indexed) {
                WritePixelValue(to, x, target.bits, nearest);
            } else {
                uint32_t c = colors[nearest];
                uint8_t* at = to + x * bytes;
                at[0] = static_cast<uint8_t>(c >> 16), at[1] = static_cast<uint8_t>(c >> 8), at[2] = static_cast<uint8_t>(c);
                if (target.alpha) {
                    at[3] = static_cast<uint8_t>(c >> 24);
                }
            }
        }
    }
    ReleaseNearestSearch(&search);
    ReleaseBytes(line);
    return StatusOk;
}

}  // namespace quenvale
