// Pictures to and from the library's BMP: the bitmap a PNG or JPEG input is
// handed to the call as, and the pixels of the bitmap the call writes, read
// back with the library's own reading of every encoding.
#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "bmp/bitmap.h"
#include "bmp/pixel_values.h"
#include "codecs/picture.h"
#include "sample/bitmap_writer.h"

namespace quenvale_host {

namespace {

using quenvale_writer::PutLe;

// The bitmap's depth for a picture: palettes of 2 bits go to 4, which
// every reader takes.
uint32_t BitmapDepth(const Picture& picture) {
    switch (PngColorTypeOf(picture)) {
        case PngPalette:
            return picture.bits == 1 ? 1 : picture.bits <= 4 ? 4 : 8;
        case PngGray:
            return 8;
        case PngRgb:
            return 24;
        default:
            return 32;
    }
}

// A row of that bitmap: whole 32-bit words.
uint64_t BitmapStride(const Picture& picture) {
    return (uint64_t{picture.width} * BitmapDepth(picture) + 31) / 32 * 4;
}

// The library's reason for a refusal, as a picture's error.
PictureError ReasonOf(const quenvale::Failure& failure) {
    char reason[quenvale::kReasonTextBytes];
    quenvale::FormatReason(failure, reason, sizeof reason);
    return PictureError{reason, failure.status};
}

// File header, BITMAPINFOHEADER, or a V5 header with bit fields and an
// alpha mask as ImageMagick writes one for alpha, and the palette.
std::vector<uint8_t> BitmapHeaders(const Picture& picture, uint32_t depth, uint64_t stride) {
    bool masked = depth == 32;
    uint32_t infoBytes = masked ? quenvale::kV5HeaderBytes : quenvale::kInfoHeaderBytes;
    uint32_t entries = PngColorTypeOf(picture) == PngPalette ? picture.paletteCount
                       : PngColorTypeOf(picture) == PngGray  ? 1u << (picture.bits < 8 ? picture.bits : 8)
                                                       : 0;
    uint32_t offset = quenvale::kFileHeaderBytes + infoBytes + 4 * entries;
    uint64_t fileBytes = offset + stride * picture.height;
    std::vector<uint8_t> bytes(offset, 0);
    bytes[0] = 'B';
    bytes[1] = 'M';
    PutLe(bytes, 2, fileBytes > 0xFFFFFFFFu ? 0 : static_cast<uint32_t>(fileBytes), 4);
    PutLe(bytes, 10, offset, 4);
    const size_t at = quenvale::kFileHeaderBytes;
    PutLe(bytes, at, infoBytes, 4);
    PutLe(bytes, at + 4, picture.width, 4);
    PutLe(bytes, at + 8, static_cast<uint32_t>(-static_cast<int64_t>(picture.height)), 4);  // top down
    PutLe(bytes, at + 12, 1, 2);
    PutLe(bytes, at + 14, depth, 2);
    PutLe(bytes, at + 16, masked ? quenvale::CompressionBitFields : quenvale::CompressionNone, 4);
    PutLe(bytes, at + 20, static_cast<uint32_t>(stride * picture.height), 4);
    PutLe(bytes, at + 24, picture.resolution[0], 4);
    PutLe(bytes, at + 28, picture.resolution[1], 4);
    PutLe(bytes, at + 32, entries, 4);
    if (masked) {
        PutLe(bytes, at + 40, 0x00FF0000, 4);
        PutLe(bytes, at + 44, 0x0000FF00, 4);
        PutLe(bytes, at + 48, 0x000000FF, 4);
        PutLe(bytes, at + 52, 0xFF000000, 4);
        PutLe(bytes, at + 56, 0x73524742, 4);  // 'sRGB'
        PutLe(bytes, at + 108, 4, 4);          // rendering intent: pictures
    }
    uint8_t* palette = bytes.data() + at + infoBytes;
    for (uint32_t i = 0; i < entries; ++i) {
        uint32_t grey = WidenSample(i, picture.bits < 8 ? picture.bits : 8);
        bool indexed = picture.storage == quenvale::StorageIndexed;
        palette[4 * i] = indexed ? PaletteSample(picture, i, 2) : static_cast<uint8_t>(grey);
        palette[4 * i + 1] = indexed ? PaletteSample(picture, i, 1) : static_cast<uint8_t>(grey);
        palette[4 * i + 2] = indexed ? PaletteSample(picture, i, 0) : static_cast<uint8_t>(grey);
    }
    return bytes;
}

// One picture row as the bitmap stores it. 16-bit samples give their top
// 8 bits; grey is replicated into the three channels where there is alpha.
void ConvertRow(const Picture& picture, const uint8_t* row, uint32_t depth, uint8_t* out) {
    uint32_t channels = ChannelsOf(picture);
    if (PngColorTypeOf(picture) == PngPalette || PngColorTypeOf(picture) == PngGray) {
        if (picture.bits == depth) {
            std::memcpy(out, row, picture.stride);
            return;
        }
        for (uint32_t x = 0; x < picture.width; ++x) {
            uint32_t value = ReadSample(picture, row, x);
            quenvale::WritePixelValue(out, x, depth, picture.bits == 16 ? value >> 8 : value);
        }
        return;
    }
    size_t step = picture.bits / 8;
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

// The alpha channel of a V3 or later header, or of an alpha bit-fields
// one; a zero mask where there is none or it overlaps the colours.
quenvale::ChannelMask AlphaChannel(const uint8_t* prefix, size_t length, const quenvale::BitmapFormat& format) {
    quenvale::ChannelMask none{0, 0, 0};
    if (format.encoding != quenvale::EncodingMasked || length < quenvale::kHeaderBytes + 16) {
        return none;
    }
    quenvale::BitmapHeader header{};
    quenvale::DecodeBitmapHeader(prefix, &header);
    if (header.infoSize < quenvale::kV3HeaderBytes && header.compression != quenvale::CompressionAlphaBitFields) {
        return none;
    }
    uint32_t mask = quenvale::Le32(prefix + quenvale::kHeaderBytes + 12);  // after the three colour masks
    if (format.bitsPerPixel < 32) {
        mask &= (1u << format.bitsPerPixel) - 1;
    }
    if (mask == 0 || (mask & format.colorBits) != 0) {
        return none;
    }
    quenvale::ChannelMask alpha{mask, 0, 0};
    while ((mask >> alpha.shift & 1) == 0) {
        ++alpha.shift;
    }
    for (uint32_t run = mask >> alpha.shift; run != 0; run >>= 1) {
        ++alpha.bits;
    }
    return alpha;
}

// Indices as stored (RLE runs set their pixels; the rest stay entry 0), or
// colours, from the pixel data read whole.
void TakePixels(const quenvale::BitmapFormat& format, uint8_t* data, size_t size, const quenvale::ChannelMask& alpha,
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
        if (PngColorTypeOf(*picture) == PngPalette) {
            std::memcpy(row, stored, picture->stride);
            continue;
        }
        uint32_t channels = ChannelsOf(*picture);
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
            if (alpha.mask != 0) {
                to[3] = static_cast<uint8_t>(quenvale::WidenChannel(value, alpha));
            }
        }
    }
}

// The picture's form for a bitmap's encoding, and its palette: the
// entries given, and black ones up to the largest index the pixels use.
void DescribeAsPicture(const quenvale::BitmapFormat& format, const quenvale::ChannelMask& alpha, Picture* picture) {
    picture->width = format.width;
    picture->height = format.rowCount;
    bool indexed = format.encoding == quenvale::EncodingIndexed || quenvale::IsRle(format);
    SetPngEncoding(picture, indexed ? PngPalette : alpha.mask != 0 ? PngRgba : PngRgb, !indexed ? 8 : format.encoding == quenvale::EncodingRle8 ? 8
                        : format.encoding == quenvale::EncodingRle4              ? 4
                                                                                 : format.bitsPerPixel);
    // PNG allows no more entries than the depth can index.
    uint32_t most = indexed ? 1u << picture->bits : 0;
    picture->paletteCount = indexed ? std::min(std::max<uint32_t>(format.paletteCount, 1), most) : 0;
    for (uint32_t i = 0; i < 256; ++i) {
        uint32_t color = i < format.paletteCount ? format.palette[i] : 0;
        picture->palette[i] = color & 0xFFFFFF;
    }
    picture->resolution[0] = format.resolution[0] > 0 ? static_cast<uint32_t>(format.resolution[0]) : 0;
    picture->resolution[1] = format.resolution[1] > 0 ? static_cast<uint32_t>(format.resolution[1]) : 0;
}

}  // namespace

bool ReadBitmapPrefix(FILE* file, uint8_t (&prefix)[quenvale::kFormatPrefixBytes], size_t* length,
                      quenvale::BitmapFormat* format, quenvale::Failure* failure) {
    uint64_t fileLength = 0;
    if (!quenvale::RegularFileLength(file, &fileLength)) {
        *failure = quenvale::FailWith(quenvale::StatusUnsupported, quenvale::ReasonNotRegular);
        return false;
    }
    *length = static_cast<size_t>(std::min<uint64_t>(fileLength, sizeof prefix));
    if (!quenvale::SeekFile(file, 0) || !quenvale::ReadBytes(file, prefix, *length)) {
        *failure = quenvale::FailWith(quenvale::StatusInputReadFailed, quenvale::ReasonReadError);
        return false;
    }
    return quenvale::ParseBitmapFormat(prefix, *length, fileLength, format, failure);
}

bool BitmapWithinPixelBudget(FILE* file, uint64_t maxPixels, PictureError* error) {
    uint8_t prefix[quenvale::kFormatPrefixBytes];
    size_t length = 0;
    quenvale::BitmapFormat format{};
    quenvale::Failure failure{};
    // A file that is no bitmap the library reads is left for its call to refuse.
    return !ReadBitmapPrefix(file, prefix, &length, &format, &failure) ||
           WithinPixelBudget(format.width, format.rowCount, maxPixels, error);
}

bool PictureOfBitmapData(const quenvale::BitmapFormat& format, const uint8_t* prefix, size_t length, uint8_t* data,
                         size_t size, Picture* picture, PictureError* error) {
    quenvale::ChannelMask alpha = AlphaChannel(prefix, length, format);
    DescribeAsPicture(format, alpha, picture);
    if (!AllocateRows(picture, error)) {
        return false;
    }
    if (picture->width == 0) {
        return true;  // no pixel to take: not a walk over the rows a header may claim
    }
    TakePixels(format, data, size, alpha, picture);
    if (PngColorTypeOf(*picture) == PngPalette) {
        CoverIndices(picture);
    }
    return true;
}

bool ReadBitmapAsPicture(FILE* file, Picture* picture, PictureError* error) {
    uint8_t prefix[quenvale::kFormatPrefixBytes];
    quenvale::BitmapFormat format{};
    quenvale::Failure failure{};
    size_t length = 0;
    bool parsed = ReadBitmapPrefix(file, prefix, &length, &format, &failure);
    quenvale::RowImage image = parsed ? quenvale::AllocRowImage(format) : quenvale::RowImage{nullptr};
    size_t size = 0;
    bool read = parsed && quenvale::RowImageSize(format, &size) && (image.bytes != nullptr || size == 0) &&
                (size == 0 || quenvale::ReadRowImage(file, image, format, &failure));
    if (read) {
        read = PictureOfBitmapData(format, prefix, length, image.bytes, size, picture, error);
    } else {
        *error = failure.status != quenvale::StatusOk ? ReasonOf(failure)
                                                      : PictureError{"could not read the filtered bitmap"};
    }
    quenvale::FreeRowImage(image);
    return read;
}

bool ReadBitmap(const PictureInput& input, uint64_t maxPixels, Picture* picture, SourceCarry*, PictureError* error) {
    return input.file != nullptr && BitmapWithinPixelBudget(input.file, maxPixels, error) &&
           quenvale::SeekFile(input.file, 0) && ReadBitmapAsPicture(input.file, picture, error);
}

bool MakeBridgeBitmap(const Picture& picture, BridgeBitmap* bitmap, PictureError* error) {
    if (!BitmapOfPictureFits(picture, error)) {
        return false;
    }
    uint32_t depth = BitmapDepth(picture);
    uint64_t stride = BitmapStride(picture);
    bitmap->headers = BitmapHeaders(picture, depth, stride);
    // The rows as the file would hold them, and a spare word: the kernels
    // load whole words.
    auto size = static_cast<size_t>(stride * picture.height);
    bitmap->rows = static_cast<uint8_t*>(std::calloc(size + 4, 1));
    if (bitmap->rows == nullptr) {
        *error = {"not enough memory for its pixels", quenvale::StatusOutOfMemory};
        return false;
    }
    for (uint32_t y = 0; y < picture.height; ++y) {
        ConvertRow(picture, picture.rows + size_t{y} * picture.stride, depth,
                   bitmap->rows + y * static_cast<size_t>(stride));
    }
    quenvale::Failure failure{};
    if (!quenvale::ParseBitmapFormat(bitmap->headers.data(), bitmap->headers.size(), bitmap->headers.size() + size,
                                     &bitmap->format, &failure)) {
        *error = ReasonOf(failure);
        return false;
    }
    return true;
}

void ReleaseBridgeBitmap(BridgeBitmap* bitmap) {
    std::free(bitmap->rows);
    bitmap->rows = nullptr;
}

bool BitmapOfPictureFits(const Picture& picture, PictureError* error) {
    uint64_t stride = BitmapStride(picture);
    if (stride * picture.height > kMaxPixelBytes) {
        *error = {"as a bitmap its pixel data would take " +
                  std::to_string(stride * picture.height) + " bytes, more than 4 GiB", quenvale::StatusUnsupported};
        return false;
    }
    return true;
}

bool WriteBitmapOfPicture(const Picture& picture, FILE* file, PictureError* error) {
    if (!BitmapOfPictureFits(picture, error)) {
        return false;
    }
    uint32_t depth = BitmapDepth(picture);
    uint64_t stride = BitmapStride(picture);
    std::vector<uint8_t> headers = BitmapHeaders(picture, depth, stride);
    std::vector<uint8_t> row(static_cast<size_t>(stride) + 1, 0);
    bool written = std::fwrite(headers.data(), 1, headers.size(), file) == headers.size();
    // Rows of no bytes are not walked: a header may claim two billion.
    for (uint32_t y = 0; written && picture.width != 0 && y < picture.height; ++y) {
        ConvertRow(picture, picture.rows + size_t{y} * picture.stride, depth, row.data());
        written = std::fwrite(row.data(), 1, static_cast<size_t>(stride), file) == stride;
    }
    if (!written) {
        *error = {std::strerror(errno)};  // the caller names the file
    }
    return written;
}

}  // namespace quenvale_host
