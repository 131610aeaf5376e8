// The filters by name: the flatten's row (flatten_filter.cpp) and the
// kernels, streamed over the stored rows.
#include <cstring>

#include "ops/filter_table.h"

namespace quenvale {

namespace {

bool PrepareKernelJob(const NamedFilter& filter, FilterJob& job, Failure* failure) {
    if (!PrepareKernel(filter.kernel, *job.format, job.input, &job.kernel, failure)) {
        return false;
    }
    CountGrids(job);
    return true;
}

bool WriteKernelJob(FilterJob& job, FILE* output, bool inPlace, Failure* failure) {
    return WriteKernelOutput(job.kernel, job.input, job.fileLength, output, inPlace, failure);
}

void ReleaseKernelJob(FilterJob& job) {
    ReleaseKernel(job.kernel);
    UncountGrids(job);
}

}  // namespace

const NamedFilter kNamedFilters[] = {
    kFlattenFilter,
    {"red", "keep the red channel, zero the others", PrepareKernelJob, WriteKernelJob, ReleaseKernelJob,
     PointKernel<RedOnly>(), KeepRedChannel},
    {"green", "keep the green channel, zero the others", PrepareKernelJob, WriteKernelJob, ReleaseKernelJob,
     PointKernel<GreenOnly>(), KeepGreenChannel},
    {"blue", "keep the blue channel, zero the others", PrepareKernelJob, WriteKernelJob, ReleaseKernelJob,
     PointKernel<BlueOnly>(), KeepBlueChannel},
    {"gray", "mean of the three channels on every channel", PrepareKernelJob, WriteKernelJob, ReleaseKernelJob,
     PointKernel<GrayMean>(), GrayscaleAverage},
    {"threshold", "white where the mean is above 127, else black", PrepareKernelJob, WriteKernelJob,
     ReleaseKernelJob, PointKernel<BlackOrWhite>(), ThresholdBlackWhite},
    {"blur", "mean over the 7 x 7 window, clamped at the borders", PrepareKernelJob, WriteKernelJob,
     ReleaseKernelJob, WindowKernel(WindowBlur), BoxBlur7x7},
    {"darkest", "darkest neighbour in the 5 x 5 window (centre excluded)", PrepareKernelJob, WriteKernelJob,
     ReleaseKernelJob, WindowKernel(WindowDarkest), DarkestNeighbor5x5},
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
