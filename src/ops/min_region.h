// Speck removal: every region (4-connected, one stored value) smaller than
// a given size joins a neighbour, so that none that small remains where a
// neighbour exists, and no colour is invented.
#ifndef QUENVALE_MIN_REGION_H
#define QUENVALE_MIN_REGION_H

#include <cstdint>

#include "base/status.h"
#include "picture/picture_model.h"

namespace quenvale {

struct RegionMerge {
    uint32_t regions;        // small regions that joined a neighbour
    uint64_t pixels;         // pixels whose colour changed
    uint32_t largestChange;  // the largest change of one channel at 8 bits
};

// In place, until no region is smaller than smallest or one alone is
// left: the smallest region (the earlier first pixel among equals, rows
// from the top, a joined region's being its earliest) joins the
// neighbouring colour nearest its own under ColorDistance, the older among
// equals (pixel_regions.h); its pixels take that colour's stored value, and
// it becomes one region with every neighbour of that colour. Memory: the
// picture's labels (4 bytes a pixel) and a few words a region.
Status RemoveSmallRegions(const Picture& picture, uint64_t smallest, RegionMerge* merge);

}  // namespace quenvale

#endif
