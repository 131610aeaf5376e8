// The remap: every pixel of a picture to the nearest of given colours, as
// --remap maps a picture onto a palette file's.
#ifndef QUENVALE_PALETTE_REMAP_H
#define QUENVALE_PALETTE_REMAP_H

#include <cstdint>

#include "base/status.h"
#include "picture/picture_model.h"

namespace quenvale {

// The most colours a palette to remap to may have.
constexpr uint32_t kMostRemapColors = 65536;

// Every pixel of source (its colour and alpha, ReadPictureRgba) to the
// nearest of count colours, 0xAARRGGBB, under ColorDistance, ties to the
// lower index: a pixel of one of the colours keeps it. A fully transparent
// pixel takes the first fully transparent colour, where there is one (its
// hidden colour is not compared, nor counted in the error). Written into target,
// of source's size and with its rows: the colour's index where target is
// indexed (the caller gives it the colours as its palette, in their order),
// else its samples, where target is 8-bit RGB, or RGBA, whose alpha it
// takes. *largestError is the largest difference of one channel.
Status RemapPicture(const Picture& source, const uint32_t* colors, uint32_t count, const Picture& target,
                    uint32_t* largestError);

}  // namespace quenvale

#endif
