// Heap access. Every block carries its size in a small header, so that the
// library can report how much it holds (tests bound it by the input's size),
// and a fault-injection countdown lets tests fail any one allocation of a
// call and check that everything taken is given back.
#include <cstdlib>

#include "base/memory.h"

namespace quenvale {

namespace {

// 16 bytes keep the block as aligned as malloc's own; they hold the size
// and how the block was obtained.
constexpr size_t kSizeHeaderBytes = 16;

// Large blocks (the rows, the grids) are mapped on their own where the
// platform does it (MapLargeBlock); the rest come from the heap.
constexpr size_t kMappedBytes = size_t{4} << 20;

struct BlockHeader {
    size_t size;
    size_t mapped;
};
static_assert(sizeof(BlockHeader) <= kSizeHeaderBytes, "block header too large");

// A thread's own: what its calls hold, and a test's countdown.
thread_local int64_t failureCountdown = -1;
thread_local uint64_t liveBytes = 0;
thread_local uint64_t peakBytes = 0;

}  // namespace

void SetAllocationFailureCountdown(int64_t countdown) { failureCountdown = countdown; }

uint64_t PeakAllocatedBytes() { return peakBytes; }

void ResetPeakAllocatedBytes() { peakBytes = liveBytes; }

namespace {

void* Allocate(size_t size, bool mayMap) {
    if (failureCountdown >= 0 && failureCountdown-- == 0) {
        return nullptr;
    }
    if (size > SIZE_MAX - kSizeHeaderBytes) {
        return nullptr;
    }
    bool failed = false;
    void* start = mayMap && size >= kMappedBytes ? MapLargeBlock(kSizeHeaderBytes + size, &failed) : nullptr;
    size_t mapped = start != nullptr ? 1 : 0;
    if (failed) {
        return nullptr;
    }
    if (start == nullptr) {
        start = std::malloc(kSizeHeaderBytes + size);
        if (start == nullptr) {
            return nullptr;
        }
    }
    auto* header = static_cast<BlockHeader*>(start);
    header->size = size;
    header->mapped = mapped;
    liveBytes += size;
    peakBytes = liveBytes > peakBytes ? liveBytes : peakBytes;
    return static_cast<unsigned char*>(start) + kSizeHeaderBytes;
}

}  // namespace

void* AllocateBytes(size_t size) { return Allocate(size, true); }

void* AllocateSequentialBytes(size_t size) { return Allocate(size, false); }

void* AllocateArray(uint64_t count, size_t size) {
    if (size != 0 && count > SIZE_MAX / size) {
        return nullptr;
    }
    return AllocateBytes(static_cast<size_t>(count) * size);
}

void ReleaseBytes(void* block) {
    if (block == nullptr) {
        return;
    }
    auto* start = static_cast<unsigned char*>(block) - kSizeHeaderBytes;
    const auto* header = reinterpret_cast<const BlockHeader*>(start);
    size_t size = header->size;
    liveBytes -= size;
    if (header->mapped != 0) {
        UnmapLargeBlock(start, kSizeHeaderBytes + size);
        return;
    }
    std::free(start);
}

}  // namespace quenvale
