// The PNG encoder through libdeflate, where this build has it
// (QUENVALE_DEFLATE): a whole PNG of a picture that is not interlaced.
#ifndef QUENVALE_PNG_DEFLATE_H
#define QUENVALE_PNG_DEFLATE_H

#include <cstddef>
#include <cstdint>

#include "codecs/picture.h"

namespace quenvale_host {

// The PNG of the picture in a block of the C heap (*bytes, *length): its
// header, palette and transparency, and where withMetadata its ICC
// profile, resolution and EXIF, then its rows at the effort's level. False
// with *error where memory runs out.
bool EncodePngDeflate(const Picture& picture, bool withMetadata, PngEffort effort, uint8_t** bytes, size_t* length,
                      PictureError* error);

}  // namespace quenvale_host

#endif
