// Heap access with a fault-injection countdown, so that tests can fail any
// one allocation of a call and check that everything taken is given back.
#include <cstdlib>

#include "bitmap.h"

namespace quenvale {

namespace {
int64_t failureCountdown = -1;
}

void SetAllocationFailureCountdown(int64_t countdown) { failureCountdown = countdown; }

void* AllocateBytes(size_t size) {
    if (failureCountdown >= 0 && failureCountdown-- == 0) {
        return nullptr;
    }
    // malloc(0) may return null; a zero-byte block is still a success.
    return std::malloc(size == 0 ? 1 : size);
}

void ReleaseBytes(void* block) { std::free(block); }

}  // namespace quenvale
