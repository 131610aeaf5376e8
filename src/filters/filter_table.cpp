// The filters by the names the command-line host knows them by.
#include <cstring>

#include "filter_table.h"
#include "flatten.h"
#include "kernels.h"
#include "pixel_values.h"

namespace quenvale {

const NamedFilter kNamedFilters[] = {
    {"flatten", "first-fit flat colours, tolerance 20 per channel (the exported call)", FlattenColors},
    {"red", "keep the red channel, zero the others", ApplyKeepRedChannel},
    {"green", "keep the green channel, zero the others", ApplyKeepGreenChannel},
    {"blue", "keep the blue channel, zero the others", ApplyKeepBlueChannel},
    {"gray", "mean of the three channels on every channel", ApplyGrayscaleAverage},
    {"threshold", "white where the mean is above 127, else black", ApplyThresholdBlackWhite},
    {"blur", "mean over the 7 x 7 window, clamped at the borders", ApplyBoxBlur7x7},
    {"darkest", "darkest neighbour in the 5 x 5 window (centre excluded)", ApplyDarkestNeighbor5x5},
};
const size_t kNamedFilterCount = sizeof kNamedFilters / sizeof kNamedFilters[0];

bool GridFilterAccepts(const BitmapFormat& format) {
    uint32_t positions[3];
    return ByteChannels(format, positions);
}

const NamedFilter* FindNamedFilter(const char* name) {
    for (const NamedFilter& filter : kNamedFilters) {
        if (std::strcmp(filter.name, name) == 0) {
            return &filter;
        }
    }
    return nullptr;
}

}  // namespace quenvale
