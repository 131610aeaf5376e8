// The kernels on a picture in memory: its rows decoded into the ring of
// colours a few at a time, each output row made once its window is there,
// and written straight into the result picture.
#include <cstring>

#include "base/memory.h"
#include "bmp/pixel_values.h"
#include "ops/kernel_parts.h"
#include "ops/kernel_picture.h"

namespace quenvale {

namespace {

using namespace stream;

const uint8_t* StoredRow(const Picture& picture, uint32_t y) { return picture.rows + size_t{y} * picture.stride; }

// Stored row y of the picture into its ring slot: colours, and the indices
// and channel sums where the window keeps them.
void DecodePictureRow(KernelWork& work, const Picture& source, uint32_t y) {
    size_t at = RowAt(work, y);
    const uint8_t* row = StoredRow(source, y);
    for (uint32_t x = 0; x < work.width; ++x) {
        uint32_t color = 0;
        uint64_t value = 0;
        ReadPictureColor(source, row, x, &color, &value);
        work.colors[at + x] = color;
        if (work.values != nullptr) {
            work.values[at + x] = static_cast<uint32_t>(value);
        }
        if (work.sums != nullptr) {
            work.sums[at + x] = static_cast<uint16_t>(ChannelSum(color));
        }
    }
}

// A pixel's own alpha at 8 bits: its last sample's high byte.
uint32_t AlphaOf(const Picture& source, const uint8_t* row, uint32_t x) {
    uint32_t color = 0;
    uint64_t value = 0;
    ReadPictureColor(source, row, x, &color, &value);
    uint32_t alpha = static_cast<uint32_t>(value & ((uint64_t{1} << source.bits) - 1));
    return source.bits == 16 ? alpha >> 8 : alpha;
}

// Output row t from the results: indices, or colours with the source's alpha.
void WritePictureRow(const KernelWork& work, const Picture& source, KernelResultForm form, Picture* result,
                     uint32_t t) {
    uint8_t* out = result->rows + size_t{t} * result->stride;
    bool darkest = work.kernel->window == WindowDarkest;
    if (form == ResultIndices) {
        for (uint32_t x = 0; x < work.width; ++x) {
            WritePixelValue(out, x, result->bits, work.values[work.results[x]]);
        }
        return;
    }
    const uint8_t* centre = StoredRow(source, t);
    for (uint32_t x = 0; x < work.width; ++x) {
        uint32_t color = darkest ? work.colors[work.results[x]] : work.results[x];
        *out++ = static_cast<uint8_t>(color >> 16);
        *out++ = static_cast<uint8_t>(color >> 8);
        *out++ = static_cast<uint8_t>(color);
        if (form == ResultRgba) {
            *out++ = static_cast<uint8_t>(AlphaOf(source, centre, x));
        }
    }
}

bool TakeRing(KernelWork& work) {
    uint64_t ring = uint64_t{work.ringRows} * work.width;
    bool darkest = work.kernel->window == WindowDarkest;
    work.colors = AllocateArrayOf<uint32_t>(ring);
    work.results = AllocateArrayOf<uint32_t>(work.width);
    work.values = darkest ? AllocateArrayOf<uint32_t>(ring) : nullptr;
    work.sums = darkest ? AllocateArrayOf<uint16_t>(ring) : nullptr;
    work.columns = work.kernel->window != WindowNone ? AllocateArrayOf<uint32_t>(uint64_t{work.width} * 3) : nullptr;
    bool complete = work.colors != nullptr && work.results != nullptr && (!darkest || work.values != nullptr) &&
                    (!darkest || work.sums != nullptr) &&
                    (work.kernel->window == WindowNone || work.columns != nullptr);
    if (complete && work.columns != nullptr) {
        std::memset(work.columns, 0, size_t{work.width} * 3 * sizeof(uint32_t));
    }
    return complete;
}

}  // namespace

KernelResultForm KernelResultFormOf(const Kernel& kernel, const Picture& source) {
    if (source.storage == StorageIndexed && kernel.window != WindowBlur) {
        return ResultIndices;
    }
    bool alpha = source.alpha && (source.storage == StorageGrey || source.storage == StorageRgb);
    return alpha ? ResultRgba : ResultRgb;
}

Status RunKernelOnPicture(const Kernel& kernel, const Picture& source, Picture* result) {
    KernelResultForm form = KernelResultFormOf(kernel, source);
    if (form == ResultIndices && kernel.window == WindowNone) {
        // The indices stay; the entries take the rule.
        for (uint32_t i = 0; i < source.paletteCount; ++i) {
            result->palette[i] = kernel.mapColor(source.palette[i]);
        }
        for (uint32_t y = 0; source.width != 0 && y < source.height; ++y) {
            std::memcpy(result->rows + size_t{y} * result->stride, StoredRow(source, y), result->stride);
        }
        return StatusOk;
    }
    if (source.width == 0 || source.height == 0) {
        return StatusOk;
    }
    KernelWork work{};
    work.kernel = &kernel;
    work.width = source.width;
    work.height = source.height;
    work.radius = WindowRadius(kernel.window);
    // One row more than the window, as the stream keeps it.
    work.ringRows = std::min<uint32_t>(2 * work.radius + 2, source.height);
    if (!TakeRing(work)) {
        ReleaseKernel(work);
        return StatusOutOfMemory;
    }
    BlurSums sums{0, 0};
    uint32_t emitted = 0;
    for (uint32_t y = 0; y < source.height; ++y) {
        DecodePictureRow(work, source, y);
        if (y >= work.radius) {
            MakeRowResults(work, sums, emitted);
            WritePictureRow(work, source, form, result, emitted++);
        }
    }
    for (; emitted < source.height; ++emitted) {
        MakeRowResults(work, sums, emitted);
        WritePictureRow(work, source, form, result, emitted);
    }
    ReleaseKernel(work);
    return StatusOk;
}

}  // namespace quenvale
