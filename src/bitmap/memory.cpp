// Heap access. Every block carries its size in a small header, so that the
// library can report how much it holds (tests bound it by the input's size),
// and a fault-injection countdown lets tests fail any one allocation of a
// call and check that everything taken is given back.
#include <cstdlib>

#include "memory.h"

#if defined(__linux__)
#include <sys/mman.h>
#endif

// Sanitizers watch malloc's blocks only: under them every block comes from malloc.
#if defined(__SANITIZE_ADDRESS__)
#define QUENVALE_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(memory_sanitizer)
#define QUENVALE_SANITIZED 1
#endif
#endif
#if defined(__linux__) && !defined(QUENVALE_SANITIZED)
#define QUENVALE_MAP_LARGE_BLOCKS 1
#endif

namespace quenvale {

namespace {

// 16 bytes keep the block as aligned as malloc's own; they hold the size
// and how the block was obtained.
constexpr size_t kSizeHeaderBytes = 16;

#if defined(QUENVALE_MAP_LARGE_BLOCKS)
// Large blocks (the rows, the grids) are mapped on their own, in huge pages
// where the system has them, and filled whole right away: measured on a
// 72 MB image, that halves the cost of taking the block, and the column
// walks over the rows no longer miss the TLB on every row. Where the
// kernel lacks huge pages or the populate advice, it falls back to small
// pages taken on first touch.
constexpr size_t kMappedBytes = size_t{4} << 20;
#endif

struct BlockHeader {
    size_t size;
    size_t mapped;
};
static_assert(sizeof(BlockHeader) <= kSizeHeaderBytes, "block header too large");

int64_t failureCountdown = -1;
uint64_t liveBytes = 0;
uint64_t peakBytes = 0;

}  // namespace

void SetAllocationFailureCountdown(int64_t countdown) { failureCountdown = countdown; }

uint64_t PeakAllocatedBytes() { return peakBytes; }

void ResetPeakAllocatedBytes() { peakBytes = liveBytes; }

namespace {

void* Allocate(size_t size, bool mayMap) {
#if !defined(QUENVALE_MAP_LARGE_BLOCKS)
    (void)mayMap;  // every block comes from the heap here
#endif
    if (failureCountdown >= 0 && failureCountdown-- == 0) {
        return nullptr;
    }
    if (size > SIZE_MAX - kSizeHeaderBytes) {
        return nullptr;
    }
    void* start = nullptr;
    size_t mapped = 0;
#if defined(QUENVALE_MAP_LARGE_BLOCKS)
    if (mayMap && size >= kMappedBytes) {
        start = mmap(nullptr, kSizeHeaderBytes + size, PROT_READ | PROT_WRITE,
                     MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (start == MAP_FAILED) {
            return nullptr;
        }
#if defined(MADV_HUGEPAGE)
        madvise(start, kSizeHeaderBytes + size, MADV_HUGEPAGE);
#endif
#if defined(MADV_POPULATE_WRITE)
        madvise(start, kSizeHeaderBytes + size, MADV_POPULATE_WRITE);
#endif
        mapped = 1;
    }
#endif
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
#if defined(QUENVALE_MAP_LARGE_BLOCKS)
    if (header->mapped != 0) {
        munmap(start, kSizeHeaderBytes + size);
        return;
    }
#endif
    std::free(start);
}

}  // namespace quenvale
