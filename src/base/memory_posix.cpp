// Large blocks on POSIX: on Linux, mapped on their own, in huge pages where
// the system has them, and filled whole right away. Measured on a 72 MB
// image, that halves the cost of taking the block, and the column walks
// over the rows no longer miss the TLB on every row. Where the kernel lacks
// huge pages or the populate advice, it falls back to small pages taken on
// first touch. Elsewhere, and under the sanitizers, which watch malloc's
// blocks only, every block comes from the heap.
#include "base/memory.h"

#if defined(__linux__)
#include <sys/mman.h>
#endif

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

void* MapLargeBlock(size_t bytes, bool* failed) {
    *failed = false;
#if defined(QUENVALE_MAP_LARGE_BLOCKS)
    void* start = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (start == MAP_FAILED) {
        *failed = true;
        return nullptr;
    }
#if defined(MADV_HUGEPAGE)
    madvise(start, bytes, MADV_HUGEPAGE);
#endif
#if defined(MADV_POPULATE_WRITE)
    madvise(start, bytes, MADV_POPULATE_WRITE);
#endif
    return start;
#else
    (void)bytes;
    return nullptr;
#endif
}

void UnmapLargeBlock(void* start, size_t bytes) {
#if defined(QUENVALE_MAP_LARGE_BLOCKS)
    munmap(start, bytes);
#else
    (void)start;
    (void)bytes;
#endif
}

void AdviseHugePages(void* start, size_t bytes) {
#if defined(QUENVALE_MAP_LARGE_BLOCKS) && defined(MADV_HUGEPAGE)
    constexpr uintptr_t kHugePage = uintptr_t{2} << 20;
    uintptr_t first = (reinterpret_cast<uintptr_t>(start) + kHugePage - 1) & ~(kHugePage - 1);
    uintptr_t end = (reinterpret_cast<uintptr_t>(start) + bytes) & ~(kHugePage - 1);
    if (end > first) {
        madvise(reinterpret_cast<void*>(first), end - first, MADV_HUGEPAGE);
    }
#else
    (void)start;
    (void)bytes;
#endif
}

}  // namespace quenvale
