// The filters by name, and the two ways a filter runs on a bitmap: the
// flatten on the pixel data read whole, the kernels streamed.
#include <cstring>

#include "file_io.h"
#include "filter_table.h"
#include "flatten.h"
#include "pixel_grid.h"

namespace quenvale {

namespace {

void CountGrids(FilterJob& job) {
    CountPixelGrid(job.format->width, job.format->rowCount);
    CountPixelGrid(job.format->width, job.format->rowCount);
    job.counted = true;
}

void UncountGrids(FilterJob& job) {
    if (job.counted) {
        UncountPixelGrid(job.format->width, job.format->rowCount);
        UncountPixelGrid(job.format->width, job.format->rowCount);
        job.counted = false;
    }
}

bool PrepareFlatten(const NamedFilter&, FilterJob& job, Failure* failure) {
    const BitmapFormat& format = *job.format;
    job.image = AllocRowImage(format);
    if (job.image.bytes == nullptr) {
        *failure = FailWith(StatusOutOfMemory, ReasonNone);
        return false;
    }
    CountGrids(job);
    if (!ReadRowImage(job.input, job.image, format, failure)) {
        return false;
    }
    Status status = FlattenBitmap(format, job.image.bytes, job.tolerance);
    if (status != StatusOk) {
        *failure = FailWith(status, ReasonNone);
    }
    return status == StatusOk;
}

// The input's bytes with the pixel data replaced: those before it and
// after it are copied in pieces, never held whole.
bool WriteFlatten(FilterJob& job, FILE* output, bool inPlace, Failure* failure) {
    const BitmapFormat& format = *job.format;
    if (inPlace) {
        if (!SeekFile(output, format.pixelOffset)) {
            *failure = FailWithErrno(StatusOutputWriteFailed);
            return false;
        }
        return WriteRowImage(output, job.image, format, failure);
    }
    return CopyHeaderBytes(job.input, output, format.pixelOffset, failure) &&
           WriteRowImage(output, job.image, format, failure) &&
           (format.rowsEnd >= job.fileLength ||
            CopyFileBytes(job.input, format.rowsEnd, job.fileLength - format.rowsEnd, output, failure));
}

void ReleaseFlatten(FilterJob& job) {
    FreeRowImage(job.image);
    job.image = RowImage{nullptr};
    UncountGrids(job);
}

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
    {"flatten", "first-fit flat colours, tolerance 20 per channel (the exported call)", PrepareFlatten,
     WriteFlatten, ReleaseFlatten, NoKernel(), nullptr},
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
