// A picture's pixels as the operations read them: its colour and stored
// value at a place, its alpha as a palette sees it, and a bitmap's pixel
// data taken as a picture.
#include <cstring>

#include "bmp/pixel_values.h"
#include "picture/picture_model.h"

namespace quenvale {

namespace {

uint32_t Sample16(const uint8_t* at) { return uint32_t{at[0]} | uint32_t{at[1]} << 8; }

}  // namespace

void ReadPictureColor(const Picture& picture, const uint8_t* row, uint32_t x, uint32_t* color, uint64_t* value) {
    switch (picture.storage) {
        case StorageBgr24: {
            const uint8_t* at = row + 3 * size_t{x};
            *color = uint32_t{at[2]} << 16 | uint32_t{at[1]} << 8 | at[0];
            *value = *color;
            return;
        }
        case StorageIndexed: {
            uint32_t index = ReadPixelValue(row, x, picture.bits);
            *color = index < picture.paletteCount ? picture.palette[index] : 0;
            *value = index;
            return;
        }
        case StorageMasked: {
            uint32_t word = ReadPixelValue(row, x, picture.bits);
            *color = WidenChannel(word, picture.channels[0]) << 16 | WidenChannel(word, picture.channels[1]) << 8 |
                     WidenChannel(word, picture.channels[2]);
            *value = word;
            return;
        }
        case StorageGrey:
        case StorageRgb:
            break;
    }
    uint32_t samples = (picture.storage == StorageRgb ? 3 : 1) + (picture.alpha ? 1 : 0);
    if (picture.bits < 8) {
        uint32_t grey = ReadPixelValue(row, x, picture.bits);
        *color = WidenChannel(grey, ChannelMask{(1u << picture.bits) - 1, 0, picture.bits}) * 0x010101u;
        *value = grey;
        return;
    }
    uint32_t top[3] = {};
    *value = 0;
    for (uint32_t i = 0; i < samples; ++i) {
        uint32_t sample = picture.bits == 16 ? Sample16(row + (size_t{x} * samples + i) * 2)
                                             : row[size_t{x} * samples + i];
        *value = *value << picture.bits | sample;
        if (i < 3) {
            top[i] = picture.bits == 16 ? sample >> 8 : sample;
        }
    }
    *color = picture.storage == StorageRgb ? top[0] << 16 | top[1] << 8 | top[2] : top[0] * 0x010101u;
}

uint8_t PaletteAlphaOf(const Picture& picture, uint64_t value) {
    switch (picture.storage) {
        case StorageIndexed:
            return value < picture.alphaCount ? picture.paletteAlpha[value] : 0xFF;
        case StorageGrey:
        case StorageRgb:
            if (picture.alpha) {
                return (value & ((uint64_t{1} << picture.bits) - 1)) == 0 ? 0 : 0xFF;
            }
            return picture.keyed && value == picture.key ? 0 : 0xFF;
        case StorageMasked:
        case StorageBgr24:
            break;
    }
    return 0xFF;
}

bool PictureOfBitmap(const BitmapFormat& format, uint8_t* pixels, Picture* picture) {
    if (IsRle(format)) {
        return false;
    }
    *picture = Picture{};
    picture->width = format.width;
    picture->height = format.rowCount;
    picture->topDown = format.topDown;
    picture->stride = static_cast<size_t>(format.stride);
    picture->rows = pixels;
    picture->bits = static_cast<uint8_t>(format.bitsPerPixel);
    switch (format.encoding) {
        case EncodingRgb24:
            picture->storage = StorageBgr24;
            break;
        case EncodingIndexed:
            picture->storage = StorageIndexed;
            picture->paletteCount = format.paletteCount;
            std::memcpy(picture->palette, format.palette, sizeof format.palette);
            break;
        default:
            picture->storage = StorageMasked;
            std::memcpy(picture->channels, format.channels, sizeof format.channels);
            picture->colorBits = format.colorBits;
            break;
    }
    return true;
}

}  // namespace quenvale
