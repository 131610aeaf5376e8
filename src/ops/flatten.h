// The flatten: first-fit flat colours at a tolerance per channel, on a
// pixel grid, on 24-bit rows in place, or on any bitmap's pixel data, all
// through one search of cells of the colour cube.
#ifndef QUENVALE_FLATTEN_H
#define QUENVALE_FLATTEN_H

#include <cstddef>
#include <cstdint>

#include "base/status.h"
#include "bmp/bitmap_format.h"
#include "bmp/pixel_grid.h"

namespace quenvale {

// The exported call's tolerance. Entries lie pairwise more than the
// tolerance apart on some channel, so no two share a cell of a 13 x 13 x 13
// split of the colour cube into 21-wide steps: a palette at 20 never holds
// more than 2197 entries.
constexpr int kColorTolerance = 20;
constexpr uint32_t kMaxPaletteEntries = 13 * 13 * 13;

// The most entries a palette can hold at a tolerance: one to a cell of
// tolerance + 1 values per channel.
uint64_t MaxPaletteEntries(int tolerance);

struct PaletteEntry {
    Rgb color;  // the founding pixel's colour, never changed
};

// The plain first-fit walk over the entries in order of creation, at the
// exported call's tolerance. FlattenColors gives, for every pixel, the entry
// this walk gives.
struct Palette {
    PaletteEntry entries[kMaxPaletteEntries];
    uint32_t count;
};

bool IsNearColor(const PaletteEntry& entry, Rgb pixel);
// The oldest entry within tolerance of the pixel, appending one when none is.
const PaletteEntry& MatchPaletteEntry(Palette& palette, Rgb pixel);
// Visits the pixels column by column, each column in stored row order: that
// order decides which pixel founds each entry. StatusOutOfMemory when its
// working storage could not be had.
Status FlattenColors(PixelGrid source, PixelGrid destination, uint32_t width, uint32_t height);
// The same flatten, in place on rows of 3-byte pixels (blue, green, red) or
// 4-byte ones with those in their first three bytes (the fourth kept): the
// first visited row at rows and each next one stride bytes on (negative for
// a top-down file). Padding bytes are not touched. Pixels are read a word at
// a time, so the byte after the last pixel must be readable, as a
// RowImage's spare bytes make it.
Status FlattenRows(uint8_t* rows, ptrdiff_t stride, uint32_t width, uint32_t height,
                   int tolerance = kColorTolerance, int pixelBytes = 3);
// The exported call's filter: the flatten in place on any bitmap's pixel
// data, each visited pixel given its founder's value in the file's own
// encoding (an index, masked bits with the others kept, or bytes).
Status FlattenBitmap(const BitmapFormat& format, uint8_t* pixels, int tolerance);
// The same on uncompressed pixels of at most 16 bits whose values fall in
// classes (a palette's alpha): a pixel joins only an entry whose founder's
// value is of its own class, and the classes flatten apart.
Status FlattenValuesInClasses(const BitmapFormat& format, uint8_t* pixels, int tolerance, const uint8_t* classOf);

// The search behind every flatten: packed 0xRRGGBB colours in visiting
// order, each replaced by its entry's colour at the given tolerance. It
// keeps its palette from one piece to the next; a piece holds at most the
// capacity it was made with.
struct CellIndex;
// A packed colour's bits: blue in bits 0 to 7, green 8 to 15, red 16 to 23,
// the order of a BGR pixel's bytes read little-endian.
constexpr uint32_t kColorBits = 0xFFFFFF;
// Null when out of memory. The pixels the flatten will search, for the
// storage that pays only on a large image.
CellIndex* NewCellIndex(uint32_t pieceCapacity, int tolerance, uint64_t pixels);
void FreeCellIndex(CellIndex* index);                            // null is ignored
uint32_t* CellIndexPiece(CellIndex* index);                      // pieceCapacity words to fill
uint32_t CellIndexCapacity(const CellIndex* index);
// Once the palette holds every entry it can, no pixel founds one and the
// order of the rest no longer matters.
bool CellIndexFull(const CellIndex& index);
// Whether two packed colours lie within the tolerance on every channel.
bool WithinReach(uint32_t a, uint32_t b, int tolerance);
// The entries the palette holds so far.
uint64_t CellIndexEntries(const CellIndex& index);
void FlattenPiece(CellIndex& index, uint32_t* colors, size_t count);

}  // namespace quenvale

#endif
