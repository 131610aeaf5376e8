// The flatten as a filter of the table: the pixel data read whole,
// flattened in place and written between the input's own bytes. It is apart
// from the table so that the exported call, which runs it alone, reaches no
// kernel.
#include "base/file_io.h"
#include "bmp/pixel_grid.h"
#include "ops/filter_table.h"
#include "ops/flatten.h"
#include "ops/picture_flatten.h"

namespace quenvale {

void CountGrids(FilterJob& job) {
    CountCallGrids(job.format->width, job.format->rowCount);
    job.counted = true;
}

void UncountGrids(FilterJob& job) {
    if (job.counted) {
        UncountCallGrids(job.format->width, job.format->rowCount);
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
    // Uncompressed rows are a picture; an RLE stream is flattened as stored.
    Picture picture{};
    Status status = PictureOfBitmap(format, job.image.bytes, &picture)
                        ? FlattenPicture(picture, job.tolerance)
                        : FlattenBitmap(format, job.image.bytes, job.tolerance);
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

}  // namespace quenvale
