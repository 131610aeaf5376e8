// The filters on a picture held in memory, which the host, Python and
// WebAssembly all run: the flatten in place and the kernels, each result in
// the picture's own encoding.
#ifndef QUENVALE_HELD_FILTERS_H
#define QUENVALE_HELD_FILTERS_H

#include <cstdint>
#include <vector>

#include "codecs/picture.h"
#include "ops/color_count.h"
#include "ops/kernel_stream.h"
#include "ops/min_region.h"
#include "ops/palette_chooser.h"
#include "ops/picture_flatten.h"

namespace quenvale_host {

// The filters on a picture in memory, as the host runs them on a decoded
// file (held_filters.cpp). The flatten in place, founders' values or
// groups' means, with the palette it made where entries is not null; a
// palette picture's entries are made to cover its indices.
quenvale::Status FlattenHeld(Picture* picture, int tolerance, bool meanFill, quenvale::FlattenPalette* entries);
// The same at *tolerance or, where colors is not 0, at most that many
// colours, as --colors gives them: the chooser's (then *tolerance is -1 and
// *chosen says what it left), or with firstFit or the mean fill, the
// flatten at the tolerance that gives at most that many entries
// (ChooseToleranceFor), which *tolerance then holds.
quenvale::Status FlattenHeldToCount(Picture* picture, int* tolerance, uint64_t colors, bool meanFill, bool firstFit,
                                    quenvale::FlattenPalette* entries, quenvale::ChosenPalette* chosen);
// The chooser's palette of at most colors entries (palette_chooser.h), the
// picture mapped to it in place.
quenvale::Status ChooseHeld(Picture* picture, uint64_t colors, quenvale::ChosenPalette* chosen);
// The chooser's colours with pinned ones (ChoosePinnedColors), the picture
// not changed: the pinned first, then at most colors in all.
quenvale::Status ChoosePinnedHeld(Picture* picture, uint64_t colors, const std::vector<uint32_t>& pinned,
                                  std::vector<uint32_t>* entries);
// The picture mapped onto a palette's colours (RemapPicture) into *result,
// whose rows ReleasePicture frees: a palette picture of the colours in
// their order where there are at most 256 (a byte an index where
// byteIndices, else the fewest bits), else 8-bit RGB or RGBA; the metadata
// kept. False with *error where memory runs out.
bool RemapHeld(Picture& source, const std::vector<uint32_t>& colors, Picture* result, uint32_t* largestError,
               PictureError* error, bool byteIndices = false);
// Speck removal (min_region.h) on a flattened picture, in place; where
// entries is not null, the palette it held is described anew from the
// pixels (founders and counts change), its transparent count kept should
// that fail.
quenvale::Status RemoveSmallRegionsHeld(Picture* picture, uint64_t smallest, quenvale::RegionMerge* merge,
                                        quenvale::FlattenPalette* entries = nullptr);
// A kernel on the picture itself (kernel_picture.h), its result in the
// source's encoding where it can hold it (MapToSourceEncoding). 16-bit
// samples are read little-endian, swapped and back where the host's differ.
bool KernelOnHeld(const quenvale::Kernel& kernel, Picture& source, Picture* result, PictureError* error);

}  // namespace quenvale_host

#endif
