// The palette chooser: at most N colours, each one a colour some pixel of
// the picture has, chosen to keep the squared error small, and every pixel
// mapped to its nearest, in place, in the picture's own storage.
#ifndef QUENVALE_PALETTE_CHOOSER_H
#define QUENVALE_PALETTE_CHOOSER_H

#include <cstddef>
#include <cstdint>

#include "base/status.h"
#include "ops/nearest_search.h"
#include "picture/picture_model.h"

namespace quenvale {

// A pixel's colour with its alpha, 0xAARRGGBB at 8 bits a channel (16-bit
// samples by their top byte), and its stored value: alpha from an alpha
// sample, a palette's tRNS, or a transparent key; 255 where none is held.
uint32_t ReadPictureRgba(const Picture& picture, const uint8_t* row, uint32_t x, uint64_t* value);
// A row's colours so, into line (width of them): the common storages at
// once, the others pixel by pixel.
void ReadPictureRgbaRow(const Picture& picture, const uint8_t* row, uint32_t* line);

struct ChosenPalette {
    uint32_t count;         // entries chosen, at most the colours asked for
    uint32_t largestError;  // the largest difference of one channel (RGBA) between a pixel and its entry
};

// Chooses at most colors entries and maps every pixel to its nearest entry
// (ties to the entry chosen first), taking that entry's stored value from
// a pixel that has its colour; alpha goes with the colour. Fully
// transparent pixels are one entry of their own where colors is 2 or more.
// The method: a histogram of the colours, each its own bin where there are
// at most 2^18 (coarser bins beyond), a median cut of the bins by their
// weighted squared spread, a few rounds of k-means over the bins, and each centre moved to the colour nearest it
// that a pixel of its cluster has. StatusOutOfMemory leaves the picture as
// it was.
Status ChoosePalette(const Picture& picture, uint32_t colors, ChosenPalette* chosen);

// The entries alone, with pinned colours (--pin): those first, in their
// order, whether a pixel has them or not; then the colour of the first
// fully transparent pixel, where there is one and no pinned colour is
// clear; then as ChoosePalette chooses, up to colors in all, the pinned
// centres held still through the rounds. The picture is not changed
// (RemapPicture maps it). entries has room for colors; StatusBadInput where
// more are pinned than that.
Status ChoosePinnedColors(const Picture& picture, uint32_t colors, const uint32_t* pinned, uint32_t pinnedCount,
                          uint32_t* entries, uint32_t* count);
// The same over several pictures as one (--shared-palette): their pixels
// in turn, the first picture's first, in one histogram.
Status ChooseColorsOf(const Picture* pictures, size_t count, uint32_t colors, const uint32_t* pinned,
                      uint32_t pinnedCount, uint32_t* entries, uint32_t* chosen);

}  // namespace quenvale

#endif
