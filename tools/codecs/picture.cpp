// Picture storage and sample access in PNG's terms, shared by the codecs
// and the bitmap bridge.
#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <new>
#include <utility>

#include "base/file_io.h"
#include "base/memory.h"
#include "bmp/pixel_values.h"
#include "codecs/picture.h"

namespace quenvale_host {

uint32_t ChannelsOf(uint8_t colorType) {
    switch (colorType) {
        case PngRgb:
            return 3;
        case PngGrayAlpha:
            return 2;
        case PngRgba:
            return 4;
        default:
            return 1;
    }
}

bool RowBytes(uint32_t width, uint8_t colorType, uint8_t bitDepth, size_t* stride) {
    uint64_t bits = uint64_t{width} * ChannelsOf(colorType) * bitDepth;
    uint64_t bytes = (bits + 7) / 8;
    if (bytes > SIZE_MAX / 2) {
        return false;
    }
    *stride = static_cast<size_t>(bytes);
    return true;
}

// Rows from this size on sit in huge pages where the system has them:
// measured on a 24 MP photo, the page faults of decoding into them and the
// TLB misses of the flatten's columns fall away.
constexpr uint64_t kHugeRowsBytes = uint64_t{16} << 20;

bool AllocateRows(Picture* picture, PictureError* error, size_t spare) {
    size_t stride = 0;
    bool fits = RowBytes(picture->width, PngColorTypeOf(*picture), picture->bits, &stride);
    uint64_t total = uint64_t{stride} * picture->height;
    if (!fits || total > kMaxPixelBytes || total > SIZE_MAX / 2 || spare > SIZE_MAX / 2 - total) {
        *error = {"its pixel data would take " + std::to_string(total) +
                  " bytes, more than the 4 GiB this reads", quenvale::StatusUnsupported};
        return false;
    }
    picture->stride = stride;
    // One spare byte so that a width-0 picture still has storage to point at.
    picture->rows = static_cast<uint8_t*>(std::calloc(static_cast<size_t>(total) + spare + 1, 1));
    if (picture->rows == nullptr) {
        *error = {"not enough memory for its pixels", quenvale::StatusOutOfMemory};
        return false;
    }
    // A block this large is mapped apart, untouched until written.
    if (total >= kHugeRowsBytes) {
        quenvale::AdviseHugePages(picture->rows, static_cast<size_t>(total));
    }
    return true;
}

namespace {

std::atomic<void (*)(uint64_t)> pixelWatch{nullptr};

}  // namespace

void WatchPixelBudget(void (*reserve)(uint64_t pixels)) { pixelWatch.store(reserve); }

bool WithinPixelBudget(uint64_t width, uint64_t height, uint64_t maxPixels, PictureError* error) {
    if (width * height <= maxPixels) {  // 32-bit sides: no overflow
        if (void (*reserve)(uint64_t) = pixelWatch.load()) {
            reserve(width * height);
        }
        return true;
    }
    *error = {std::to_string(width) + " x " + std::to_string(height) + " pixels, more than the " +
                                     std::to_string(maxPixels) + " that --max-pixels allows", quenvale::StatusUnsupported};
    return false;
}

void CoverIndices(Picture* picture) {
    uint32_t largest = 0;
    for (uint32_t y = 0; picture->width != 0 && y < picture->height; ++y) {
        const uint8_t* row = picture->rows + size_t{y} * picture->stride;
        for (uint32_t x = 0; x < picture->width; ++x) {
            largest = std::max(largest, ReadSample(*picture, row, x));
        }
    }
    picture->paletteCount = std::max(picture->paletteCount, largest + 1);
}

void SetPngEncoding(Picture* picture, uint8_t colorType, uint8_t bitDepth) {
    picture->topDown = true;
    picture->bits = bitDepth;
    picture->alpha = colorType == PngGrayAlpha || colorType == PngRgba;
    picture->storage = colorType == PngPalette                            ? quenvale::StorageIndexed
                       : colorType == PngGray || colorType == PngGrayAlpha ? quenvale::StorageGrey
                                                                           : quenvale::StorageRgb;
}

void SetPaletteEntry(Picture* picture, uint32_t index, uint32_t red, uint32_t green, uint32_t blue) {
    picture->palette[index] = (red & 0xFF) << 16 | (green & 0xFF) << 8 | (blue & 0xFF);
}

uint32_t KeySample(const Picture& picture, uint32_t channel) {
    if (picture.storage != quenvale::StorageRgb) {
        return static_cast<uint32_t>(picture.key);
    }
    uint64_t mask = (uint64_t{1} << picture.bits) - 1;
    return static_cast<uint32_t>(picture.key >> (picture.bits * (2 - channel)) & mask);
}

void SetKey(Picture* picture, uint32_t red, uint32_t green, uint32_t blue) {
    // RGB's samples packed red first, as the engine compares a stored value.
    picture->key = picture->storage == quenvale::StorageRgb
                       ? uint64_t{red} << (2 * picture->bits) | uint64_t{green} << picture->bits | blue
                       : red;
}

bool HostIsLittleEndian() {
    uint16_t one = 1;
    uint8_t first = 0;
    std::memcpy(&first, &one, 1);
    return first == 1;
}

void LittleEndianSamples(Picture* picture) {
    if (HostIsLittleEndian() || picture->bits != 16) {
        return;
    }
    for (uint32_t y = 0; y < picture->height; ++y) {
        uint8_t* row = picture->rows + size_t{y} * picture->stride;
        for (size_t at = 0; at + 1 < picture->stride; at += 2) {
            std::swap(row[at], row[at + 1]);
        }
    }
}

bool ReadInputWhole(const PictureInput& input, std::vector<uint8_t>* bytes, PictureError* error) {
    if (input.length > SIZE_MAX / 2 || input.length > 0xFFFFFFFFu) {
        *error = {"too large to read whole", quenvale::StatusUnsupported};
        return false;
    }
    try {
        bytes->resize(static_cast<size_t>(input.length));
    } catch (const std::bad_alloc&) {
        *error = {"not enough memory to read it", quenvale::StatusOutOfMemory};
        return false;
    }
    if (!quenvale::SeekFile(input.file, 0) || !quenvale::ReadBytes(input.file, bytes->data(), bytes->size())) {
        *error = {"could not read it", quenvale::StatusInputReadFailed};
        return false;
    }
    return true;
}

Picture SampleOfRows(const Picture& picture, std::vector<uint8_t>* rows) {
    constexpr uint32_t kBand = 16, kEvery = 128;
    Picture sample = picture;
    sample.height = 0;
    rows->clear();
    for (uint32_t y = 0; y < picture.height; y += kEvery) {
        uint32_t band = std::min(kBand, picture.height - y);
        const uint8_t* from = picture.rows + size_t{y} * picture.stride;
        rows->insert(rows->end(), from, from + band * picture.stride);
        sample.height += band;
    }
    sample.rows = rows->data();
    sample.iccProfile.clear();
    sample.exif.clear();
    return sample;
}

bool TakeWholeFile(const void* bytes, size_t length, const char* name, EncodedFile* encoded, PictureError* error) {
    // A block of the C heap, which ReleaseEncodedFile frees.
    encoded->encoded = static_cast<uint8_t*>(std::malloc(length));
    if (encoded->encoded == nullptr) {
        *error = {std::string("not enough memory to write the ") + name, quenvale::StatusOutOfMemory};
        return false;
    }
    std::memcpy(encoded->encoded, bytes, length);
    encoded->encodedLength = length;
    encoded->pieces.push_back({encoded->encoded, length});
    return true;
}

void ReleasePicture(Picture* picture) {
    std::free(picture->rows);
    picture->rows = nullptr;
}

uint32_t WidenSample(uint32_t value, uint32_t depth) {
    return quenvale::WidenChannel(value, quenvale::ChannelMask{(1u << depth) - 1, 0, depth});
}

uint32_t ReadSample(const Picture& picture, const uint8_t* row, size_t sample) {
    switch (picture.bits) {
        case 16: {
            uint16_t value;
            std::memcpy(&value, row + sample * 2, 2);
            return value;
        }
        case 8:
            return row[sample];
        default: {
            // Packed from the high bits down.
            size_t bit = sample * picture.bits;
            uint32_t shift = 8 - picture.bits - static_cast<uint32_t>(bit % 8);
            return (row[bit / 8] >> shift) & ((1u << picture.bits) - 1);
        }
    }
}

void WriteSample(const Picture& picture, uint8_t* row, size_t sample, uint32_t value) {
    switch (picture.bits) {
        case 16: {
            auto wide = static_cast<uint16_t>(value);
            std::memcpy(row + sample * 2, &wide, 2);
            break;
        }
        case 8:
            row[sample] = static_cast<uint8_t>(value);
            break;
        default: {
            size_t bit = sample * picture.bits;
            uint32_t shift = 8 - picture.bits - static_cast<uint32_t>(bit % 8);
            uint32_t mask = ((1u << picture.bits) - 1) << shift;
            row[bit / 8] = static_cast<uint8_t>((row[bit / 8] & ~mask) | ((value << shift) & mask));
            break;
        }
    }
}

}  // namespace quenvale_host
