// The filters on a picture held in memory, as the host runs them on a
// decoded PNG, JPEG or WebP: the flatten in place, and a kernel on the
// bitmap the library would be handed, its result put back into the
// picture's own encoding.
#include <algorithm>
#include <cstdlib>

#include "color_count.h"
#include "picture.h"

namespace quenvale_host {

quenvale::Status FlattenHeld(Picture* picture, int tolerance, bool meanFill, quenvale::FlattenPalette* entries) {
    LittleEndianSamples(picture);
    // The founders' entries of a palette picture come to hold their groups' means.
    quenvale::Status status = meanFill            ? quenvale::FlattenPictureToMeans(*picture, tolerance)
                              : entries != nullptr ? quenvale::FlattenPicture(*picture, tolerance, entries)
                                                   : quenvale::FlattenPicture(*picture, tolerance);
    if (status == quenvale::StatusOk && meanFill && entries != nullptr) {
        status = quenvale::DescribeFlattenPalette(*picture, entries);
    }
    LittleEndianSamples(picture);
    if (picture->storage == quenvale::StorageIndexed) {
        CoverIndices(picture);
    }
    return status;
}

quenvale::Status FlattenHeldToCount(Picture* picture, int* tolerance, uint64_t colors, bool meanFill,
                                    quenvale::FlattenPalette* entries) {
    if (colors != 0) {
        quenvale::ToleranceChoice choice{};
        LittleEndianSamples(picture);
        quenvale::Status status = quenvale::ChooseToleranceFor(*picture, colors, &choice);
        LittleEndianSamples(picture);
        if (status != quenvale::StatusOk) {
            return status;
        }
        *tolerance = choice.tolerance;
    }
    return FlattenHeld(picture, *tolerance, meanFill, entries);
}

quenvale::BitmapFormat KernelResultFormat(const quenvale::KernelWork& work) {
    quenvale::BitmapFormat format = *work.format;
    if (work.output == quenvale::OutputPalette) {
        quenvale::MapKernelPalette(work, format.palette);
        return format;
    }
    if (work.output == quenvale::OutputNewRgb24) {
        format.encoding = quenvale::EncodingRgb24;
        format.bitsPerPixel = 24;
        format.paletteCount = 0;
    } else if (work.output == quenvale::OutputNewIndexed) {
        format.bitsPerPixel = format.encoding == quenvale::EncodingRle4 ? 4 : 8;
        format.encoding = quenvale::EncodingIndexed;
    }
    format.stride = quenvale::KernelOutputStride(work);
    return format;
}

bool KernelOnHeld(const quenvale::Kernel& kernel, const Picture& source, Picture* result, PictureError* error) {
    BridgeBitmap bridge{};
    quenvale::KernelWork work{};
    quenvale::Failure failure{};
    uint8_t* filtered = nullptr;
    bool done = MakeBridgeBitmap(source, &bridge, error);
    if (done && !quenvale::PrepareKernel(kernel, bridge.format, nullptr, &work, &failure)) {
        *error = {"not enough memory for the filter"};  // rows in memory: nothing else fails
        done = false;
    }
    if (done) {
        quenvale::BitmapFormat format = KernelResultFormat(work);
        auto size = static_cast<size_t>(format.stride * format.rowCount);
        const uint8_t* data = bridge.rows;
        if (work.output != quenvale::OutputPalette) {
            // The kernel's rows are written whole words at a time: a few spare bytes.
            filtered = static_cast<uint8_t*>(std::calloc(size + 4, 1));
            done = filtered != nullptr && quenvale::RunKernelOnRows(work, bridge.rows, filtered, &failure);
            data = filtered;
            if (!done) {
                *error = {"not enough memory for the filter"};
            }
        }
        done = done &&
               PictureOfBitmapData(format, bridge.headers.data(), bridge.headers.size(), const_cast<uint8_t*>(data),
                                   size, result, error) &&
               MapToSourceEncoding(source, false, result, error);
    }
    quenvale::ReleaseKernel(work);
    std::free(filtered);
    ReleaseBridgeBitmap(&bridge);
    return done;
}

}  // namespace quenvale_host
