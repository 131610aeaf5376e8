// The filters on a picture held in memory, as the host runs them on a
// decoded PNG, JPEG or WebP: the flatten in place, and a kernel on the
// picture itself, its result put back into the picture's own encoding.
#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "app/held_filters.h"
#include "app/job.h"
#include "codecs/picture.h"
#include "ops/color_count.h"
#include "ops/kernel_picture.h"
#include "ops/palette_remap.h"

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

quenvale::Status FlattenHeldToCount(Picture* picture, int* tolerance, uint64_t colors, bool meanFill, bool firstFit,
                                    quenvale::FlattenPalette* entries, quenvale::ChosenPalette* chosen) {
    if (ChoosesPalette(colors, firstFit, meanFill)) {
        *tolerance = -1;
        quenvale::Status status = ChooseHeld(picture, colors, chosen);
        if (status == quenvale::StatusOk && entries != nullptr) {
            LittleEndianSamples(picture);
            status = quenvale::DescribeFlattenPalette(*picture, entries);
            LittleEndianSamples(picture);
        }
        return status;
    }
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

quenvale::Status ChooseHeld(Picture* picture, uint64_t colors, quenvale::ChosenPalette* chosen) {
    LittleEndianSamples(picture);
    quenvale::Status status = quenvale::ChoosePalette(*picture, static_cast<uint32_t>(colors), chosen);
    LittleEndianSamples(picture);
    return status;
}

quenvale::Status ChoosePinnedHeld(Picture* picture, uint64_t colors, const std::vector<uint32_t>& pinned,
                                  std::vector<uint32_t>* entries) {
    entries->assign(colors, 0);
    uint32_t count = 0;
    LittleEndianSamples(picture);
    quenvale::Status status = quenvale::ChoosePinnedColors(*picture, static_cast<uint32_t>(colors), pinned.data(),
                                                           static_cast<uint32_t>(pinned.size()), entries->data(), &count);
    LittleEndianSamples(picture);
    entries->resize(count);
    return status;
}

bool RemapHeld(Picture& source, const std::vector<uint32_t>& colors, Picture* result, uint32_t* largestError,
               PictureError* error, bool byteIndices) {
    Picture target{};
    target.width = source.width;
    target.height = source.height;
    auto count = static_cast<uint32_t>(colors.size());
    bool alpha = std::any_of(colors.begin(), colors.end(), [](uint32_t c) { return c >> 24 != 0xFF; });
    if (count <= 256) {
        // The palette file's order is the PNG's: its indices are the file's.
        uint8_t depth = byteIndices || count > 16 ? 8 : count <= 2 ? 1 : count <= 4 ? 2 : 4;
        SetPngEncoding(&target, PngPalette, depth);
        target.paletteCount = count;
        for (uint32_t i = 0; i < count; ++i) {
            SetPaletteEntry(&target, i, colors[i] >> 16 & 0xFF, colors[i] >> 8 & 0xFF, colors[i] & 0xFF);
            target.paletteAlpha[i] = static_cast<uint8_t>(colors[i] >> 24);
            target.alphaCount = colors[i] >> 24 != 0xFF ? i + 1 : target.alphaCount;
        }
    } else {
        SetPngEncoding(&target, alpha ? PngRgba : PngRgb, 8);
    }
    if (!AllocateRows(&target, error)) {
        return false;
    }
    LittleEndianSamples(&source);
    quenvale::Status status = quenvale::RemapPicture(source, colors.data(), count, target, largestError);
    LittleEndianSamples(&source);
    if (status != quenvale::StatusOk) {
        ReleasePicture(&target);
        *error = {"not enough memory to remap it", status};
        return false;
    }
    target.iccProfile = source.iccProfile;
    target.exif = source.exif;
    target.resolution[0] = source.resolution[0];
    target.resolution[1] = source.resolution[1];
    target.interlace = source.interlace;
    *result = std::move(target);
    return true;
}

quenvale::Status RemoveSmallRegionsHeld(Picture* picture, uint64_t smallest, quenvale::RegionMerge* merge,
                                        quenvale::FlattenPalette* entries) {
    LittleEndianSamples(picture);
    quenvale::Status status = quenvale::RemoveSmallRegions(*picture, smallest, merge);
    if (status == quenvale::StatusOk && entries != nullptr) {
        uint64_t transparent = entries->transparent;
        quenvale::FreeFlattenPalette(entries);
        status = quenvale::DescribeFlattenPalette(*picture, entries);
        entries->transparent = status == quenvale::StatusOk ? entries->transparent : transparent;
    }
    LittleEndianSamples(picture);
    return status;
}

bool KernelOnHeld(const quenvale::Kernel& kernel, Picture& source, Picture* result, PictureError* error) {
    quenvale::KernelResultForm form = quenvale::KernelResultFormOf(kernel, source);
    *result = Picture{};
    result->width = source.width;
    result->height = source.height;
    if (form == quenvale::ResultIndices) {
        SetPngEncoding(result, PngPalette, source.bits);
        result->paletteCount = source.paletteCount;
        std::memcpy(result->palette, source.palette, sizeof source.palette);
    } else {
        SetPngEncoding(result, form == quenvale::ResultRgba ? PngRgba : PngRgb, 8);
    }
    if (!AllocateRows(result, error)) {
        return false;
    }
    LittleEndianSamples(&source);
    quenvale::Status status = quenvale::RunKernelOnPicture(kernel, source, result);
    LittleEndianSamples(&source);
    if (status != quenvale::StatusOk) {
        *error = {"not enough memory for the filter", quenvale::StatusOutOfMemory};
        return false;
    }
    if (form == quenvale::ResultIndices) {
        CoverIndices(result);  // an index past the entries is black, as it reads
    }
    return MapToSourceEncoding(source, false, result, error);
}

}  // namespace quenvale_host
