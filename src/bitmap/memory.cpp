// Heap access. Every block carries its size in a small header, so that the
// library can report how much it holds (tests bound it by the input's size),
// and a fault-injection countdown lets tests fail any one allocation of a
// call and check that everything taken is given back.
#include <cstdlib>

#include "bitmap.h"

namespace quenvale {

namespace {

// 16 bytes keep the block as aligned as malloc's own.
constexpr size_t kSizeHeaderBytes = 16;

int64_t failureCountdown = -1;
uint64_t liveBytes = 0;
uint64_t peakBytes = 0;

}  // namespace

void SetAllocationFailureCountdown(int64_t countdown) { failureCountdown = countdown; }

uint64_t PeakAllocatedBytes() { return peakBytes; }

void ResetPeakAllocatedBytes() { peakBytes = liveBytes; }

void* AllocateBytes(size_t size) {
    if (failureCountdown >= 0 && failureCountdown-- == 0) {
        return nullptr;
    }
    if (size > SIZE_MAX - kSizeHeaderBytes) {
        return nullptr;
    }
    auto* block = static_cast<unsigned char*>(std::malloc(kSizeHeaderBytes + size));
    if (block == nullptr) {
        return nullptr;
    }
    *reinterpret_cast<size_t*>(block) = size;
    liveBytes += size;
    peakBytes = liveBytes > peakBytes ? liveBytes : peakBytes;
    return block + kSizeHeaderBytes;
}

void ReleaseBytes(void* block) {
    if (block == nullptr) {
        return;
    }
    auto* start = static_cast<unsigned char*>(block) - kSizeHeaderBytes;
    liveBytes -= *reinterpret_cast<size_t*>(start);
    std::free(start);
}

}  // namespace quenvale
