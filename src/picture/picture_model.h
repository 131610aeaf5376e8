// The one picture in memory, whatever its source format: how its pixels
// are stored, how they are read, and the metadata a codec carries with
// them. The operations on it are a layer above (picture_flatten.h).
// Every uncompressed BMP encoding, and every PNG, JPEG and WebP the host
// reads, is one of these storages; an RLE stream is flattened as it is
// stored.
#ifndef QUENVALE_PICTURE_MODEL_H
#define QUENVALE_PICTURE_MODEL_H

#include <cstddef>
#include <cstdint>
#include <vector>

#include "base/status.h"
#include "bmp/bitmap_format.h"

namespace quenvale {

// How a pixel is stored.
enum PixelStorage : uint8_t {
    StorageIndexed,  // 1, 2, 4 or 8 bits, an index into the palette
    StorageGrey,     // 1, 2, 4, 8 or 16 bits of grey; alpha follows at the same depth where there is alpha
    StorageRgb,      // 8 or 16 bits a sample, red first; alpha follows where there is alpha
    StorageMasked,   // 16- or 32-bit little-endian words, the colour under three masks
    StorageBgr24,    // three bytes: blue, green, red
};

// Rows lie stride bytes apart; samples of under 8 bits are packed from a
// byte's high bits down, as BMP and PNG both pack them, and 16-bit samples
// are little-endian. The byte after the last pixel must be readable (the
// flatten loads whole words), as a RowImage's spare bytes and the host's
// decoded rows make it. The host's codecs hold a picture top down, in the
// first three storages (PNG's own terms), and say where it came from.
struct Picture {
    uint32_t width;
    uint32_t height;
    bool topDown;  // the first row in memory is the picture's top
    PixelStorage storage;
    uint8_t bits;  // a sample's (indexed, grey, RGB), a word's (masked); 24 for BGR
    bool alpha;    // grey and RGB: a last sample of alpha, which the flatten keeps
    size_t stride;
    uint8_t* rows;
    uint32_t paletteCount;    // indexed: entries given; an index past them is black
    uint32_t palette[256];    // indexed: packed 0xRRGGBB
    ChannelMask channels[3];  // masked: red, green, blue
    uint32_t colorBits;       // masked: the union of the three masks; other bits are kept
    // Alpha held in the stored value, as PNG's tRNS holds it: a palette's
    // first alphaCount entries' alpha (the rest opaque), or for grey and RGB
    // without an alpha sample one transparent value, its samples packed red
    // first. A pixel joins only an entry whose founder has its alpha.
    uint32_t alphaCount;
    uint8_t paletteAlpha[256];
    bool keyed;
    uint64_t key;
    // Carried from the source by a codec; the engine does not read them.
    uint8_t interlace;            // 0, or 1 for an Adam7 source (the rows are never interlaced)
    uint32_t resolution[2];       // pixels per metre, across and down; 0 where unknown
    std::vector<uint8_t> iccProfile;
    std::vector<uint8_t> exif;    // a TIFF stream, as PNG's eXIf holds it
};

// The uncompressed bitmap's pixel data as a picture, or false for an RLE
// stream, which is no picture until decoded.
bool PictureOfBitmap(const BitmapFormat& format, uint8_t* pixels, Picture* picture);

// A pixel's colour as the flatten sees it (packed 0xRRGGBB), and its
// stored value as a FlattenEntry's founderValue holds it.
void ReadPictureColor(const Picture& picture, const uint8_t* row, uint32_t x, uint32_t* color, uint64_t* value);

// The alpha a stored value (as ReadPictureColor gives it) has as the
// palette sees it: 0 for a fully transparent pixel, the palette's alpha
// for an index (tRNS), else 255: an alpha sample of its own, which the
// flatten keeps per pixel, does not set entries apart unless it is 0.
uint8_t PaletteAlphaOf(const Picture& picture, uint64_t value);

}  // namespace quenvale

#endif
