// The flatten on a picture of any storage, in place, and the palette it
// made: the operations on the picture model, above it.
#ifndef QUENVALE_PICTURE_FLATTEN_H
#define QUENVALE_PICTURE_FLATTEN_H

#include <cstddef>
#include <cstdint>

#include "base/status.h"
#include "picture/picture_model.h"

namespace quenvale {

// One entry of the palette a flatten made.
struct FlattenEntry {
    uint32_t color;        // packed 0xRRGGBB, as the flatten saw its founder (16-bit samples: their top 8 bits)
    uint8_t alpha;         // 255, or the alpha that the stored value holds (tRNS), which keeps entries apart
    uint64_t founderValue; // the founder's stored value: an index, a word, or its samples packed red first, alpha last
    uint32_t founderX;     // the founder's column
    uint32_t founderY;     // and row, 0 at the picture's top
    uint64_t pixelCount;   // pixels that took the entry, fully transparent ones left out
};
// The entries in order of creation. Fully transparent pixels are no colour:
// they make no entry and are counted apart.
struct FlattenPalette {
    FlattenEntry* entries;
    size_t count;
    uint64_t transparent;  // pixels of alpha 0
};

void FreeFlattenPalette(FlattenPalette* palette);

// First-fit flat colours at the tolerance per channel, in place: pixels are
// visited column by column, left to right, each column from the picture's
// bottom row up, and each takes its founder's whole stored value (an index,
// a word with its bits outside the masks kept, every colour sample at its
// full depth); alpha is each pixel's own, and where alpha is held in the
// stored value, pixels of one alpha flatten apart from the others. The colour the flatten sees is the
// palette entry, the widened masked channels, or the top 8 bits of each
// sample (grey as three equal channels). StatusOutOfMemory leaves the
// picture partly flattened.
Status FlattenPicture(const Picture& picture, int tolerance);
// The same, and the palette it made (flatten_palette.cpp, so that a caller
// that wants none links none of it).
Status FlattenPicture(const Picture& picture, int tolerance, FlattenPalette* palette);

// The same grouping, each pixel given its group's mean colour as the
// flatten sees colours, rounded to nearest per channel (mean_fill.cpp): a
// palette's founder entry is rewritten to the mean, and the group's other
// indices take the founder's index; other storages take the stored value
// nearest the mean. Mean colours need not occur in the picture, where
// founders' always do.
Status FlattenPictureToMeans(Picture& picture, int tolerance);

// The palette a flatten at any tolerance left in a picture, read back from
// its pixels: an entry is a colour and its palette alpha, and a founder is
// the first pixel of the visiting order with its entry's colour, since entries hold distinct colours and a pixel before it
// had no entry of that colour to join.
Status DescribeFlattenPalette(const Picture& flattened, FlattenPalette* palette);

}  // namespace quenvale

#endif
