// The filters by the names the command-line host knows them by.
#include <cstring>

#include "filters.h"

namespace quenvale {

const NamedFilter kNamedFilters[] = {
    {"flatten", "first-fit flat colours, tolerance 20 per channel (the exported call)", FlattenColors},
};
const size_t kNamedFilterCount = sizeof kNamedFilters / sizeof kNamedFilters[0];

const NamedFilter* FindNamedFilter(const char* name) {
    for (const NamedFilter& filter : kNamedFilters) {
        if (std::strcmp(filter.name, name) == 0) {
            return &filter;
        }
    }
    return nullptr;
}

}  // namespace quenvale
