// Large blocks on Windows come from the heap like the rest: nothing is
// mapped on its own here.
#include "base/memory.h"

namespace quenvale {

void* MapLargeBlock(size_t bytes, bool* failed) {
    (void)bytes;
    *failed = false;
    return nullptr;
}

void UnmapLargeBlock(void* start, size_t bytes) {
    (void)start;
    (void)bytes;
}

void AdviseHugePages(void* start, size_t bytes) {
    (void)start;
    (void)bytes;
}

}  // namespace quenvale
