// Pictures to and from the library's BMP: the bitmap a PNG or JPEG input is
// handed to the call as, and the pixels of the bitmap the call writes, read
// back with the library's own reading of every encoding.
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

#include "bitmap.h"
#include "picture.h"
#include "pixel_values.h"

namespace quenvale_host {

namespace {

void PutLittleEndian(uint8_t* at, uint32_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) {
        at[i] = static_cast<uint8_t>(value >> (8 * i));
    }
}

bool HostIsLittleEndian() {
    uint16_t one = 1;
    uint8_t first = 0;
    std::memcpy(&first, &one, 1);
    return first == 1;
}

// Widens a grey sample of depth bits to 8 by repeating its bits.
uint32_t WidenGrey(uint32_t value, uint32_t depth) {
    uint32_t wide = 0;
    for (int shift = 8 - static_cast<int>(depth); shift > -static_cast<int>(depth); shift -= depth) {
        wide |= shift >= 0 ? value << shift : value >> -shift;
    }
    return wide & 0xFF;
}

// The bitmap's depth for a picture: palettes of 2 bits go to 4, which
// every reader takes.
uint32_t BitmapDepth(const Picture& picture) {
    switch (picture.colorType) {
        case PngPalette:
            return picture.bitDepth == 1 ? 1 : picture.bitDepth <= 4 ? 4 : 8;
        case PngGray:
            return 8;
        case PngRgb:
            return 24;
        default:
            return 32;
    }
}

// File header, BITMAPINFOHEADER, or a V5 header with bit fields and an
// alpha mask as ImageMagick writes one for alpha, and the palette.
std::vector<uint8_t> BitmapHeaders(const Picture& picture, uint32_t depth, uint64_t stride) {
    bool masked = depth == 32;
    uint32_t infoBytes = masked ? quenvale::kV5HeaderBytes : quenvale::kInfoHeaderBytes;
    uint32_t entries = picture.colorType == PngPalette ? picture.paletteCount
                       : picture.colorType == PngGray  ? 1u << (picture.bitDepth < 8 ? picture.bitDepth : 8)
                                                       : 0;
    uint32_t offset = quenvale::kFileHeaderBytes + infoBytes + 4 * entries;
    uint64_t fileBytes = offset + stride * picture.height;
    std::vector<uint8_t> bytes(offset, 0);
    uint8_t* at = bytes.data();
    at[0] = 'B';
    at[1] = 'M';
    PutLittleEndian(at + 2, fileBytes > 0xFFFFFFFFu ? 0 : static_cast<uint32_t>(fileBytes), 4);
    PutLittleEndian(at + 10, offset, 4);
    at += quenvale::kFileHeaderBytes;
    PutLittleEndian(at, infoBytes, 4);
    PutLittleEndian(at + 4, picture.width, 4);
    PutLittleEndian(at + 8, static_cast<uint32_t>(-static_cast<int64_t>(picture.height)), 4);  // top down
    PutLittleEndian(at + 12, 1, 2);
    PutLittleEndian(at + 14, depth, 2);
    PutLittleEndian(at + 16, masked ? quenvale::CompressionBitFields : quenvale::CompressionNone, 4);
    PutLittleEndian(at + 20, static_cast<uint32_t>(stride * picture.height), 4);
    PutLittleEndian(at + 24, picture.resolution[0], 4);
    PutLittleEndian(at + 28, picture.resolution[1], 4);
    PutLittleEndian(at + 32, entries, 4);
    if (masked) {
        PutLittleEndian(at + 40, 0x00FF0000, 4);
        PutLittleEndian(at + 44, 0x0000FF00, 4);
        PutLittleEndian(at + 48, 0x000000FF, 4);
        PutLittleEndian(at + 52, 0xFF000000, 4);
        PutLittleEndian(at + 56, 0x73524742, 4);  // 'sRGB'
        PutLittleEndian(at + 108, 4, 4);          // rendering intent: pictures
    }
    uint8_t* palette = at + infoBytes;
    for (uint32_t i = 0; i < entries; ++i) {
        uint32_t grey = WidenGrey(i, picture.bitDepth < 8 ? picture.bitDepth : 8);
        const uint8_t* rgb = picture.palette[i];
        palette[4 * i] = picture.colorType == PngPalette ? rgb[2] : static_cast<uint8_t>(grey);
        palette[4 * i + 1] = picture.colorType == PngPalette ? rgb[1] : static_cast<uint8_t>(grey);
        palette[4 * i + 2] = picture.colorType == PngPalette ? rgb[0] : static_cast<uint8_t>(grey);
    }
    return bytes;
}

// One picture row as the bitmap stores it. 16-bit samples give their top
// 8 bits; grey is replicated into the three channels where there is alpha.
void ConvertRow(const Picture& picture, const uint8_t* row, uint32_t depth, uint8_t* out) {
    uint32_t channels = ChannelsOf(picture.colorType);
    if (picture.colorType == PngPalette || picture.colorType == PngGray) {
        if (picture.bitDepth == depth) {
            std::memcpy(out, row, picture.stride);
            return;
        }
        for (uint32_t x = 0; x < picture.width; ++x) {
            uint32_t value = ReadSample(picture, row, x);
            quenvale::WritePixelValue(out, x, depth, picture.bitDepth == 16 ? value >> 8 : value);
        }
        return;
    }
    size_t step = picture.bitDepth / 8;
    size_t top = step == 2 && HostIsLittleEndian() ? 1 : 0;  // the high byte of a 16-bit sample
    for (uint32_t x = 0; x < picture.width; ++x) {
        const uint8_t* pixel = row + size_t{x} * channels * step + top;
        uint8_t* to = out + size_t{x} * (depth / 8);
        bool grey = channels <= 2;
        uint8_t red = pixel[0];
        to[2] = red;
        to[1] = grey ? red : pixel[step];
        to[0] = grey ? red : pixel[2 * step];
        if (depth == 32) {
            to[3] = pixel[(channels - 1) * step];
        }
    }
}

// The alpha mask of a V3 or later header, or of an alpha bit-fields one;
// zero where there is none or it overlaps the colours.
uint32_t AlphaMask(const uint8_t* prefix, size_t length, const quenvale::BitmapFormat& format) {
    if (format.encoding != quenvale::EncodingMasked || length < 70) {
        return 0;
    }
    uint32_t infoBytes = prefix[14] | prefix[15] << 8 | prefix[16] << 16 | uint32_t{prefix[17]} << 24;
    uint32_t compression = prefix[30] | prefix[31] << 8 | prefix[32] << 16 | uint32_t{prefix[33]} << 24;
    if (infoBytes < quenvale::kV3HeaderBytes && compression != quenvale::CompressionAlphaBitFields) {
        return 0;
    }
    uint32_t mask = prefix[66] | prefix[67] << 8 | prefix[68] << 16 | uint32_t{prefix[69]} << 24;
    if (format.bitsPerPixel < 32) {
        mask &= (1u << format.bitsPerPixel) - 1;
    }
    return (mask & format.colorBits) == 0 ? mask : 0;
}

uint32_t MaskedAlpha(uint32_t value, uint32_t mask) {
    uint32_t shift = 0;
    while ((mask >> shift & 1) == 0) {
        ++shift;
    }
    uint32_t top = mask >> shift;
    return top == 0xFF ? (value & mask) >> shift : ((value & mask) >> shift) * 255 / top;
}

// Indices as stored (RLE runs set their pixels; the rest stay entry 0), or
// colours, from the pixel data read whole.
void TakePixels(const quenvale::BitmapFormat& format, uint8_t* data, size_t size, uint32_t alphaMask,
                Picture* picture) {
    if (quenvale::IsRle(format)) {
        bool four = format.encoding == quenvale::EncodingRle4;
        quenvale::WalkRleStream(format, data, size, [&](const quenvale::RleRun& run) {
            uint8_t* row = picture->rows + size_t{picture->height - 1 - run.y} * picture->stride;
            for (uint32_t i = 0; i < run.count; ++i) {
                WriteSample(*picture, row, run.x + i, quenvale::RleRunIndex(run, four, i));
            }
        });
        return;
    }
    for (uint32_t y = 0; y < picture->height; ++y) {
        const uint8_t* stored = data + (format.topDown ? y : picture->height - 1 - y) * format.stride;
        uint8_t* row = picture->rows + size_t{y} * picture->stride;
        if (picture->colorType == PngPalette) {
            std::memcpy(row, stored, picture->stride);
            continue;
        }
        uint32_t channels = ChannelsOf(picture->colorType);
        for (uint32_t x = 0; x < picture->width; ++x) {
            uint8_t* to = row + size_t{x} * channels;
            if (format.encoding == quenvale::EncodingRgb24) {
                to[0] = stored[3 * x + 2];
                to[1] = stored[3 * x + 1];
                to[2] = stored[3 * x];
                continue;
            }
            uint32_t value = quenvale::ReadPixelValue(stored, x, format.bitsPerPixel);
            uint32_t color = quenvale::ValueColor(format, value);
            to[0] = static_cast<uint8_t>(color >> 16);
            to[1] = static_cast<uint8_t>(color >> 8);
            to[2] = static_cast<uint8_t>(color);
            if (alphaMask != 0) {
                to[3] = static_cast<uint8_t>(MaskedAlpha(value, alphaMask));
            }
        }
    }
}

// The picture's form for a bitmap's encoding, and its palette: the
// entries given, and black ones up to the largest index the pixels use.
void DescribeAsPicture(const quenvale::BitmapFormat& format, uint32_t alphaMask, Picture* picture) {
    picture->width = format.width;
    picture->height = format.rowCount;
    bool indexed = format.encoding == quenvale::EncodingIndexed || quenvale::IsRle(format);
    picture->colorType = indexed ? PngPalette : alphaMask != 0 ? PngRgba : PngRgb;
    picture->bitDepth = !indexed ? 8 : format.encoding == quenvale::EncodingRle8 ? 8
                        : format.encoding == quenvale::EncodingRle4              ? 4
                                                                                 : format.bitsPerPixel;
    // PNG allows no more entries than the depth can index.
    uint32_t most = indexed ? 1u << picture->bitDepth : 0;
    picture->paletteCount = indexed ? std::min(std::max<uint32_t>(format.paletteCount, 1), most) : 0;
    for (uint32_t i = 0; i < 256; ++i) {
        uint32_t color = i < format.paletteCount ? format.palette[i] : 0;
        picture->palette[i][0] = static_cast<uint8_t>(color >> 16);
        picture->palette[i][1] = static_cast<uint8_t>(color >> 8);
        picture->palette[i][2] = static_cast<uint8_t>(color);
    }
    picture->resolution[0] = format.resolution[0] > 0 ? static_cast<uint32_t>(format.resolution[0]) : 0;
    picture->resolution[1] = format.resolution[1] > 0 ? static_cast<uint32_t>(format.resolution[1]) : 0;
}

void CoverIndices(Picture* picture) {
    uint32_t largest = 0;
    for (uint32_t y = 0; y < picture->height; ++y) {
        const uint8_t* row = picture->rows + size_t{y} * picture->stride;
        for (uint32_t x = 0; x < picture->width; ++x) {
            largest = std::max(largest, ReadSample(*picture, row, x));
        }
    }
    picture->paletteCount = std::max(picture->paletteCount, largest + 1);
}

}  // namespace

bool ReadBitmapAsPicture(FILE* file, Picture* picture, PictureError* error) {
    uint8_t prefix[quenvale::kFormatPrefixBytes];
    uint64_t fileLength = 0;
    quenvale::BitmapFormat format{};
    quenvale::Failure failure{};
    size_t length = 0;
    bool parsed = quenvale::RegularFileLength(file, &fileLength) && quenvale::SeekFile(file, 0);
    if (parsed) {
        length = static_cast<size_t>(std::min<uint64_t>(fileLength, sizeof prefix));
        parsed = quenvale::ReadBytes(file, prefix, length) &&
                 quenvale::ParseBitmapFormat(prefix, length, fileLength, &format, &failure);
    }
    quenvale::RowImage image = parsed ? quenvale::AllocRowImage(format) : quenvale::RowImage{nullptr};
    size_t size = 0;
    bool read = parsed && quenvale::RowImageSize(format, &size) && (image.bytes != nullptr || size == 0) &&
                (size == 0 || quenvale::ReadRowImage(file, image, format, &failure));
    uint32_t alphaMask = read ? AlphaMask(prefix, length, format) : 0;
    if (read) {
        DescribeAsPicture(format, alphaMask, picture);
        read = AllocateRows(picture, error);
        if (read) {
            TakePixels(format, image.bytes, size, alphaMask, picture);
            if (picture->colorType == PngPalette) {
                CoverIndices(picture);
            }
        }
    } else {
        char reason[quenvale::kReasonTextBytes] = "could not read the filtered bitmap";
        if (failure.status != quenvale::StatusOk) {
            quenvale::FormatReason(failure, reason, sizeof reason);
        }
        *error = {ProblemBad, reason};
    }
    quenvale::FreeRowImage(image);
    return read;
}

bool WriteBitmapOfPicture(const Picture& picture, FILE* file, PictureError* error) {
    uint32_t depth = BitmapDepth(picture);
    uint64_t stride = (uint64_t{picture.width} * depth + 31) / 32 * 4;
    if (stride * picture.height > kMaxPixelBytes) {
        *error = {ProblemUnsupported, "as a bitmap its pixel data would take " +
                                          std::to_string(stride * picture.height) + " bytes, more than 4 GiB"};
        return false;
    }
    std::vector<uint8_t> headers = BitmapHeaders(picture, depth, stride);
    std::vector<uint8_t> row(static_cast<size_t>(stride) + 1, 0);
    bool written = std::fwrite(headers.data(), 1, headers.size(), file) == headers.size();
    for (uint32_t y = 0; written && y < picture.height; ++y) {
        ConvertRow(picture, picture.rows + size_t{y} * picture.stride, depth, row.data());
        written = std::fwrite(row.data(), 1, static_cast<size_t>(stride), file) == stride;
    }
    if (!written) {
        *error = {ProblemBad, std::string("could not write its temporary bitmap: ") + std::strerror(errno)};
    }
    return written;
}

}  // namespace quenvale_host
