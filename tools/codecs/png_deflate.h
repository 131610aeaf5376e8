// PNG image data through libdeflate, where this build has it
// (QUENVALE_DEFLATE): a whole PNG of a picture that is not interlaced, and
// the rows of one read back.
#ifndef QUENVALE_PNG_DEFLATE_H
#define QUENVALE_PNG_DEFLATE_H

#include <cstddef>
#include <cstdint>

#include "codecs/picture.h"

namespace quenvale_host {

// The PNG of the picture in a block of the C heap (*bytes, *length): its
// header, palette and transparency, and where withMetadata its ICC
// profile, resolution and EXIF, then its rows at the effort's level. With
// framed, the rows are unfiltered image data already (each after a zero
// byte, from rows - 1; SmallestEncoding lays a palette's out so). False
// with *error where memory runs out.
bool EncodePngDeflate(const Picture& picture, bool framed, bool withMetadata, PngEffort effort, uint8_t** bytes,
                      size_t* length, PictureError* error);

// A source's iCCP chunk (its frame included) with the profile compressed
// at the most effort, into *remade, where that is smaller; false where it
// is not, or the chunk is not a well-formed profile.
bool RecompressProfile(const uint8_t* chunk, size_t bytes, std::vector<uint8_t>* remade);

// The image data of a PNG that is not interlaced (its IDATs joined),
// inflated into block and unfiltered there in place: block holds
// (picture.stride + 1) * picture.height bytes, and its first stride *
// height become the rows as libspng gives them (16-bit samples in the
// host's order). False, with block's contents undefined, where the data is
// anything but exactly the rows: damaged, or with more than they need,
// which libspng then judges as it always has.
bool InflatePngRows(const uint8_t* compressed, size_t length, const Picture& picture, uint8_t* block);

}  // namespace quenvale_host

#endif
