// Memory: every allocation of the library goes through here, so that it can
// say how much it holds and tests can fail any one allocation.
#ifndef QUENVALE_MEMORY_H
#define QUENVALE_MEMORY_H

#include <cstddef>
#include <cstdint>

namespace quenvale {

void* AllocateBytes(size_t size);
// A block only ever read and written front to back, such as an RLE stream:
// always from the heap, which can hand the same memory to the next call,
// since huge pages pay only for blocks walked by column.
void* AllocateSequentialBytes(size_t size);
void ReleaseBytes(void* block);  // null is ignored
// count blocks of size bytes; null when the product does not fit in size_t,
// so that no size computed from a file wraps on a 32-bit target.
void* AllocateArray(uint64_t count, size_t size);
template <typename T>
T* AllocateArrayOf(uint64_t count) {
    return static_cast<T*>(AllocateArray(count, sizeof(T)));
}
// Room for one more element after count in an array of *capacity, the
// storage doubled (from 4096) where it is full; false when memory runs out,
// the array left as it was.
template <typename T>
bool RoomForOneMore(T** array, size_t count, size_t* capacity) {
    if (count < *capacity) {
        return true;
    }
    size_t grown = *capacity == 0 ? 4096 : 2 * *capacity;
    T* larger = AllocateArrayOf<T>(grown);
    if (larger == nullptr) {
        return false;
    }
    for (size_t i = 0; i < count; ++i) {
        larger[i] = (*array)[i];
    }
    ReleaseBytes(*array);
    *array = larger;
    *capacity = grown;
    return true;
}
// Makes the allocation that many calls from now fail, for testing the
// out-of-memory paths; a negative value turns this off.
void SetAllocationFailureCountdown(int64_t countdown);
// The most bytes this thread held at once since its last reset.
uint64_t PeakAllocatedBytes();
void ResetPeakAllocatedBytes();

// The platform's part (memory_posix.cpp, memory_win32.cpp): a large block
// mapped on its own, or null where this platform or build takes every block
// from the heap (then *failed stays false); *failed is set where a mapping
// was tried and refused.
void* MapLargeBlock(size_t bytes, bool* failed);
void UnmapLargeBlock(void* start, size_t bytes);
// A block of the C heap asked to sit in huge pages where the system has
// them (the whole ones within it), for a picture's rows, which the flatten
// walks by column: nothing on other platforms, or for a block too small to
// hold one.
void AdviseHugePages(void* start, size_t bytes);

}  // namespace quenvale

#endif
