// The filters by the names the command-line host knows them by, each an
// operation on a bitmap's pixel data as the file stores it: the flatten,
// on the pixel data whole, and the kernels, streamed over stored rows. A
// filter is one row of the table: the host's options and help, the tests
// and the bench take their lists from it.
#ifndef QUENVALE_FILTER_TABLE_H
#define QUENVALE_FILTER_TABLE_H

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "base/status.h"
#include "bmp/bitmap_format.h"
#include "bmp/row_image.h"
#include "ops/kernel_stream.h"
#include "ops/kernels.h"

namespace quenvale {

// One filter's run on one bitmap.
struct FilterJob {
    const BitmapFormat* format;
    FILE* input;
    uint64_t fileLength;
    int tolerance;       // the flatten's reach per channel, 0 to 255
    bool counted;        // the two grids the exported call counts are counted
    RowImage image;      // the flatten: the pixel data, whole
    KernelWork kernel;   // the kernels: their rows
};

// prepare does all that can fail for want of memory, or on the input,
// before the output is opened; write writes the whole output (at its start,
// or at the pixel data when written directly over the input); release gives
// back what prepare took. The counter lines are the exported call's.
struct NamedFilter {
    const char* name;
    const char* summary;
    bool (*prepare)(const NamedFilter& filter, FilterJob& job, Failure* failure);
    bool (*write)(FilterJob& job, FILE* output, bool inPlace, Failure* failure);
    void (*release)(FilterJob& job);
    Kernel kernel;     // the kernels: the streamed form
    PixelKernel grid;  // the kernels: the per-pixel definition the streamed form gives the same results as
};
// The flatten's row (flatten_filter.cpp), which the exported call runs:
// apart from the rest, so that the call reaches no kernel.
bool PrepareFlatten(const NamedFilter& filter, FilterJob& job, Failure* failure);
bool WriteFlatten(FilterJob& job, FILE* output, bool inPlace, Failure* failure);
void ReleaseFlatten(FilterJob& job);
inline constexpr NamedFilter kFlattenFilter = {
    "flatten", "first-fit flat colours, tolerance 20 per channel (the exported call)", PrepareFlatten, WriteFlatten,
    ReleaseFlatten, NoKernel(), nullptr};
// The exported call's two grids, counted from prepare until release, for
// every filter.
void CountGrids(FilterJob& job);
void UncountGrids(FilterJob& job);

extern const NamedFilter kNamedFilters[];  // the flatten first: the exported call's filter
extern const size_t kNamedFilterCount;
// Null for an unknown name.
const NamedFilter* FindNamedFilter(const char* name);

}  // namespace quenvale

#endif
