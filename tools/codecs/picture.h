// The host's codecs and what they share: pictures read and written beside
// the library's BMP (PNG and WebP in and out, JPEG in), held as the
// engine's one picture in PNG's terms (colour type, bit depth, packed rows,
// top down). None of this is in the shared library, which keeps to BMP.
#ifndef QUENVALE_PICTURE_H
#define QUENVALE_PICTURE_H

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "base/status.h"
#include "bmp/bitmap_format.h"
#include "picture/picture_model.h"

namespace quenvale_host {

// PNG's colour types.
enum PngColorType : uint8_t { PngGray = 0, PngRgb = 2, PngPalette = 3, PngGrayAlpha = 4, PngRgba = 6 };

// The engine's one picture (picture_model.h), held by the codecs top down
// in PNG's terms; these give and set it in those terms.
using quenvale::Picture;
inline uint8_t PngColorTypeOf(const Picture& picture) {
    return picture.storage == quenvale::StorageIndexed ? PngPalette
           : picture.storage == quenvale::StorageGrey  ? (picture.alpha ? PngGrayAlpha : PngGray)
                                                       : (picture.alpha ? PngRgba : PngRgb);
}
void SetPngEncoding(Picture* picture, uint8_t colorType, uint8_t bitDepth);
// A palette entry's sample (0 red, 1 green, 2 blue), and an entry set.
inline uint8_t PaletteSample(const Picture& picture, uint32_t index, uint32_t channel) {
    return static_cast<uint8_t>(picture.palette[index] >> (16 - 8 * channel));
}
void SetPaletteEntry(Picture* picture, uint32_t index, uint32_t red, uint32_t green, uint32_t blue);
// The transparent key's sample of a channel (grey: any channel), and a key set.
uint32_t KeySample(const Picture& picture, uint32_t channel);
void SetKey(Picture* picture, uint32_t red, uint32_t green, uint32_t blue);

// Why a codec refused a file: the reason as the user reads it, and what
// kind of refusal it is, as the engine's Failure says it: damaged (the
// default), in a form not read or beyond a budget (unsupported), a read
// that failed, or memory run out. A job's error takes both (job.h).
struct PictureError {
    std::string reason;
    quenvale::Status status = quenvale::StatusBadInput;
};

// Pixel data larger than this is refused, as the library refuses it in a BMP.
constexpr uint64_t kMaxPixelBytes = uint64_t{4} << 30;
// What PNG's text, profile and EXIF chunks may decompress to, in all: a
// photo's XMP or ICC profile is kilobytes to a few MiB; a bomb of text is
// refused after this much work.
constexpr size_t kMaxAncillaryBytes = size_t{64} << 20;

// The budget of pixels a picture held in memory may have (--max-pixels):
// false, with *error naming the option, for a picture beyond it. Checked
// before anything of the picture is allocated.
bool WithinPixelBudget(uint64_t width, uint64_t height, uint64_t maxPixels, PictureError* error);
// Told of each picture's pixels once they are within the budget and before
// any is allocated, so that a host running several jobs at once can keep
// them all within one budget, making a job wait (none by default).
void WatchPixelBudget(void (*reserve)(uint64_t pixels));

// Samples a pixel, the bytes of a row, and the row storage; false (with
// *error) when they do not fit or memory runs out.
uint32_t ChannelsOf(uint8_t colorType);
inline uint32_t ChannelsOf(const Picture& picture) { return ChannelsOf(PngColorTypeOf(picture)); }
bool RowBytes(uint32_t width, uint8_t colorType, uint8_t bitDepth, size_t* stride);
// The picture's rows, zeroed, with spare bytes after them for a decoder.
bool AllocateRows(Picture* picture, PictureError* error, size_t spare = 0);
void ReleasePicture(Picture* picture);
// A sample of depth bits (1 to 8) widened to 8 bits, as the library widens
// a masked channel: its bits repeated.
uint32_t WidenSample(uint32_t value, uint32_t depth);
// One sample of a row, x samples in (not pixels: channels counted).
uint32_t ReadSample(const Picture& picture, const uint8_t* row, size_t sample);
void WriteSample(const Picture& picture, uint8_t* row, size_t sample, uint32_t value);

// The codecs hold 16-bit samples in the host's order; the engine reads
// them little-endian, as every target this builds for holds them
// (LittleEndianSamples swaps them elsewhere, and back).
bool HostIsLittleEndian();
void LittleEndianSamples(Picture* picture);
// A palette picture's entries made to cover every index its pixels use;
// those added are black, as the library reads an index past its palette.
void CoverIndices(Picture* picture);

// The PNG's chunks as stored, for carrying them over.
struct PngChunk {
    size_t offset;  // of the length field, in the file
    size_t bytes;   // length field to CRC, inclusive
    char type[5];
};

// An input to decode: a file open for reading, length bytes long, or
// bytes in memory (file null).
struct PictureInput {
    FILE* file;
    const uint8_t* bytes;
    uint64_t length;
};

// What a source carries into an output of its own format beyond its
// pixels: a PNG's chunks (listed, and all but the image data copied into
// bytes). The other formats carry their metadata in the picture itself
// (its ICC profile, EXIF and resolution), and leave this empty.
struct SourceCarry {
    std::vector<PngChunk> chunks;
    std::vector<uint8_t> bytes;
    std::string warning;  // what the decoder left out (an animation's later frames), for the job to tell
};

// What an encoder is asked beside the picture: a source's carry to keep
// (null: the picture's own metadata is written), the source picture that
// carry describes, and whether to keep the picture's own encoding rather
// than the smallest that holds its pixels.
// A sample of the picture's rows, to try an encoding on: bands of 16 of
// every 128, copied into rows, which the picture returned points into.
Picture SampleOfRows(const Picture& picture, std::vector<uint8_t>* rows);

// How hard a PNG is compressed: fast for previews and batches, the default,
// or the smallest it makes.
enum PngEffort : uint8_t { EffortDefault, EffortFast, EffortMax };

struct EncodeRequest {
    const SourceCarry* carry;
    const Picture* source;
    bool keepEncoding;
    bool newPalette;  // the picture's palette is not the source's (a remap's), whatever its type
    PngEffort effort = EffortDefault;
};

// A file encoded, as the pieces it is written from in order, so that it is
// never assembled in memory: a PNG's signature, carried chunks (pointing
// into the carry) and the encoder's own (in encoded, which
// ReleaseEncodedFile frees); another format's whole file in encoded.
struct EncodedFile {
    struct Piece {
        const uint8_t* bytes;
        size_t length;
    };
    uint8_t* encoded;
    size_t encodedLength;
    std::vector<Piece> pieces;
    std::vector<uint8_t> remade;  // a source chunk made anew for this file (a profile compressed smaller)
};
void ReleaseEncodedFile(EncodedFile* file);
// A whole file's bytes copied into encoded as its one piece; false with
// *error ("not enough memory to write the NAME") where memory runs out.
bool TakeWholeFile(const void* bytes, size_t length, const char* name, EncodedFile* encoded, PictureError* error);

// An animation's frames on one palette, for an encoder to take one at a
// time: next(frame, indices, width, height) gives frame's 8-bit indices
// into colors, rows from the top, and returns false where it failed (then
// it has told why). Every frame is the first's size; each shows for delay
// hundredths of a second.
struct FrameSource {
    const std::vector<uint32_t>* colors;  // 0xAARRGGBB
    uint16_t delay;
    size_t count;
    std::function<bool(size_t frame, std::vector<uint8_t>* indices, uint32_t* width, uint32_t* height)> next;
};
// Decoders of a picture of at most maxPixels. ReadPng also lists the chunks,
// copying all but the image data into carried, where the list points (a
// file is read as it is decoded); ReadJpeg reads a file whole, since a JPEG
// is small beside its pixels, and has no chunks.
bool ReadPng(const PictureInput& input, uint64_t maxPixels, Picture* picture, SourceCarry* carry, PictureError* error);
// A GIF's first image as a palette picture, its transparent index kept (a
// warning carried for an animation's later frames); a picture of at most
// 256 colours as a GIF; and an animation's frames as one GIF on their
// shared palette (gif_codec.cpp, where this build has giflib).
bool ReadGif(const PictureInput& input, uint64_t maxPixels, Picture* picture, SourceCarry* carry, PictureError* error);
bool EncodeGifPieces(const Picture& picture, const EncodeRequest& request, EncodedFile* encoded, PictureError* error);
bool EncodeGifFrames(const FrameSource& frames, FILE* stream, PictureError* error);
// The picture as an SVG of one path a region (svg_codec.cpp): exact pixel
// edges, no overlaps or gaps, fully transparent pixels uncovered.
bool EncodeSvgPieces(const Picture& picture, const EncodeRequest& request, EncodedFile* encoded, PictureError* error);
// A still WebP (read whole; an animation is refused) as 8-bit RGB, or RGBA
// where it has alpha, with its ICC profile and EXIF; and a picture as a
// lossless WebP, in pieces as a PNG is (webp_codec.cpp, where this build
// has libwebp).
bool ReadWebp(const PictureInput& input, uint64_t maxPixels, Picture* picture, SourceCarry* carry, PictureError* error);
bool EncodeWebpPieces(const Picture& picture, const EncodeRequest& request, EncodedFile* encoded,
                      PictureError* error);
// A file input's bytes, whole.
bool ReadInputWhole(const PictureInput& input, std::vector<uint8_t>* bytes, PictureError* error);
bool ReadJpeg(const PictureInput& input, uint64_t maxPixels, Picture* picture, SourceCarry* carry, PictureError* error);

// A PNG of the picture. Unless keepEncoding, in the smallest encoding that
// decodes to the same 8-bit RGBA (SmallestEncoding). With source chunks,
// every chunk of the source but its image data is carried in order; those
// that describe the pixels' encoding (palette, transparency, background,
// histogram, significant bits) are kept only while the encoding is the
// source's. Without, the picture's resolution, ICC profile and EXIF are
// written.
bool EncodePng(const Picture& picture, const EncodeRequest& request, std::vector<uint8_t>* png, PictureError* error);
// The same PNG as the pieces it is written from.
bool EncodePngPieces(const Picture& picture, const EncodeRequest& request, EncodedFile* png, PictureError* error);
// The picture's pixels in the smallest PNG encoding that decodes to the
// same 8-bit RGBA, not interlaced: opaque grey at the fewest bits that hold
// each grey exactly, unless a palette is narrower; a palette of 1 to 8 bits
// (tRNS for alpha) for at most 256 colours; grey and alpha; else its own
// type (and *changed false). 16-bit samples keep their own. With *framed
// true, a palette's rows are laid out as unfiltered PNG image data: each
// after a zero byte (stride one more, the block at rows - 1, to be freed
// there), and *framed says whether they were.
bool SmallestEncoding(const Picture& picture, Picture* smallest, bool* changed, PictureError* error,
                      bool* framed = nullptr);
// The picture's pixels as they decode at 8 bits a sample, RGBA (16-bit
// samples by their high byte, tRNS applied), into rgba (4 bytes a pixel);
// *opaque tells whether every alpha is 255.
bool DecodeRgba8(const Picture& picture, uint8_t* rgba, bool* opaque);
// The picture's pixels as 8-bit RGBA, band rows at a time (DecodeRgba8),
// for an encoder that needs no whole copy: visit(top, height, rgba) for
// each band, rows from the top; stops where visit returns false.
template <typename Visit>
bool VisitRgbaBands(const Picture& picture, uint32_t rows, Visit visit) {
    std::vector<uint8_t> rgba(size_t{picture.width} * rows * 4);
    for (uint32_t top = 0; top < picture.height; top += rows) {
        Picture band = picture;
        band.rows = picture.rows + size_t{top} * picture.stride;
        band.height = picture.height - top < rows ? picture.height - top : rows;
        bool opaque = true;
        DecodeRgba8(band, rgba.data(), &opaque);
        if (!visit(top, band.height, rgba.data())) {
            return false;
        }
    }
    return true;
}
// Whether two pictures of 8-bit (or narrower) samples decode to the same
// 8-bit RGBA; of 16-bit ones, only whether their sizes and depths agree.
bool SameRgba8(const Picture& a, const Picture& b);

// The picture as a BMP the library reads: palettes indexed, grey as 8-bit
// with a grey palette, RGB as 24-bit, alpha as 32-bit with an alpha mask,
// 16-bit samples cut to their top 8 bits; rows top down.
bool WriteBitmapOfPicture(const Picture& picture, FILE* file, PictureError* error);
// Whether that bitmap's pixel data stays within the 4 GiB the library reads.
bool BitmapOfPictureFits(const Picture& picture, PictureError* error);
// The pixels of any BMP the library reads, as a picture at 8 bits a sample:
// palettes and RLE as indices (never-set RLE pixels as entry 0), the rest as
// RGB, or RGBA where an alpha mask is given.
bool ReadBitmapAsPicture(FILE* file, Picture* picture, PictureError* error);
// The same as the decoder of the format table's BMP row: an open file,
// within the pixel budget.
bool ReadBitmap(const PictureInput& input, uint64_t maxPixels, Picture* picture, SourceCarry* carry, PictureError* error);
// The same from a bitmap's format, its header bytes (for an alpha mask) and
// its pixel data in memory.
bool PictureOfBitmapData(const quenvale::BitmapFormat& format, const uint8_t* prefix, size_t length, uint8_t* data,
                         size_t size, Picture* picture, PictureError* error);
// The bitmap WriteBitmapOfPicture writes, in memory: its headers, the
// format the library reads in them, and its rows.
struct BridgeBitmap {
    std::vector<uint8_t> headers;
    quenvale::BitmapFormat format;
    uint8_t* rows;
};
bool MakeBridgeBitmap(const Picture& picture, BridgeBitmap* bitmap, PictureError* error);
void ReleaseBridgeBitmap(BridgeBitmap* bitmap);
// A bitmap's headers from the file's start, as the library reads them:
// *length bytes of prefix read, and *failure as the library's own call
// fills it on a refusal.
bool ReadBitmapPrefix(FILE* file, uint8_t (&prefix)[quenvale::kFormatPrefixBytes], size_t* length,
                      quenvale::BitmapFormat* format, quenvale::Failure* failure);
// Whether a bitmap, which an RLE stream lets declare any size in a few
// bytes, is within the budget for a picture held in memory.
bool BitmapWithinPixelBudget(FILE* file, uint64_t maxPixels, PictureError* error);

// The filter's result (read back from the library's BMP) in the source's
// encoding where it can hold it: the source's colour type and depth, grey
// while the result is grey, a palette while the result is indexed. Samples
// of 16 bits take the full value of the pixel whose colour the flatten gave
// (its founder), or the 8-bit result widened for the other filters; alpha is
// the source's. Takes the result's rows.
bool MapToSourceEncoding(const Picture& source, bool flatten, Picture* result, PictureError* error);

}  // namespace quenvale_host

#endif
