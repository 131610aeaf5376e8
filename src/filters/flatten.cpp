// Flatten: first-fit colour grouping at a tolerance N per channel, 20 for
// the exported call; the figures below are those of N = 20.
//
// The plain walk compares each pixel with every entry from the oldest on.
// The fast flatten gives the same entry for every pixel with far less work:
// split the colour cube into 13 x 13 x 13 cells, 21 values wide per channel.
// Two entries never share a cell (they would lie within 20 of each other),
// and an entry within reach of a pixel lies in the pixel's cell or one of
// its 26 neighbours. So each cell keeps, in creation order, the entries of
// its neighbourhood: at most 27. The first of them within reach of a pixel
// of that cell is the oldest entry within reach overall.
//
// Reach is tested a channel at a time: for each of the 21 values a channel
// takes inside the cell, a bit mask of the candidates within 20 of it. The
// masks of a pixel's three channels, ANDed, hold the candidates within
// reach; the lowest bit is the oldest.
//
// A colour keeps the entry it found, since every later entry is younger, so
// a small table of recent colours and their entries answers repeats. And
// once the palette holds all 2197 entries it can take, no pixel founds one:
// the rest are mapped in whatever order suits memory.
//
// Any tolerance N works the same way with cells N + 1 wide. Where the masks
// would not fit or would take too much memory, the same cells hold their
// one entry each, and the oldest entry within reach is the oldest of at
// most 27 cells' entries that lie within reach. A tolerance of 0 reaches
// only the colour itself, which leaves every colour as it is.
//
// From 85 on a palette holds at most 27 entries, so one mask per channel
// value over all of them answers a pixel in three loads. Below 5 a palette
// may hold millions of entries, and a photograph meets millions of distinct
// colours, each of which would search its cells (2.8 million on the 24 MP
// bench photo). On a large image a table of every colour replaces the
// search: a new entry paints itself into every colour within its reach
// that holds none yet, at most (2N + 1)^3 = 729 of them. Entries are painted
// in creation order, so what a pixel finds there is the oldest entry within
// its reach, at one load. The table holds the entry's offset from the
// colour, 4 bits a channel, so that it takes 32 MB rather than 64. That
// table and the cells are laid out in Morton order, so that colours close
// on every channel lie close in memory.
#include <algorithm>
#include <cstring>

#include "flatten.h"
#include "memory.h"
#include "pixel_values.h"

namespace quenvale {

namespace {

// A cell of width W has masks for red by channel value - W * cell at words
// 0 to W - 1, green at W to 2W - 1, blue at 2W to 3W - 1, the candidate
// count at the last word: 64 words at the tolerance of 20. A power-of-two
// stride keeps the lookup to shifts and adds. A value's word must fit the
// key's 8 bits, and small cells would take too much memory: the masks serve
// tolerances from 4 to 84 (36 MB of masks at 4), and a plainer search of the
// 27 cells around the pixel the others.
constexpr int kColorSlots = 32;  // per cell; 27 are used
constexpr int kMaskedTolerances[2] = {4, 84};
constexpr int kRecentBits = 12;
constexpr uint32_t kRecentValid = uint32_t{1} << 24;
// Pixels are worked on in pieces of this many, packed one to a word; a
// block of the rows may take a piece of up to kLargePiecePixels, so that it
// holds at least kBlockColumns whole columns of a tall image.
constexpr size_t kPiecePixels = size_t{1} << 16;
constexpr uint64_t kLargePiecePixels = uint64_t{1} << 22;
constexpr uint64_t kBlockColumns = 16;
// From this many pixels on, a tolerance below 5 takes the table of every colour.
constexpr uint64_t kDirectTablePixels = uint64_t{1} << 21;
// Painting costs (2N + 1)^3 an entry: from 5 on the masks are faster
// (measured on the bench photo).
constexpr int kPaintedBelow = 5;
constexpr uint32_t kOffsetKnown = 0x8000;
static_assert(2 * (kPaintedBelow - 1) < 16, "an offset fits its 4 bits");

// Blue in bits 0 to 7, green 8 to 15, red 16 to 23: the order of the
// file's bytes read little-endian.
constexpr uint32_t kColorBits = 0xFFFFFF;

#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
#define QUENVALE_BIG_ENDIAN 1
#endif

// A pixel and the byte after it as one little-endian word: rows leave room
// for the byte after the last pixel.
inline uint32_t LoadWord(const uint8_t* bytes) {
    uint32_t word;
    std::memcpy(&word, bytes, sizeof word);
#if defined(QUENVALE_BIG_ENDIAN)
    word = __builtin_bswap32(word);
#endif
    return word;
}

inline void StoreWord(uint32_t word, uint8_t* bytes) {
#if defined(QUENVALE_BIG_ENDIAN)
    word = __builtin_bswap32(word);
#endif
    std::memcpy(bytes, &word, sizeof word);
}

inline void StorePixel(uint32_t color, uint8_t* bgr) {
    bgr[0] = static_cast<uint8_t>(color);
    bgr[1] = static_cast<uint8_t>(color >> 8);
    bgr[2] = static_cast<uint8_t>(color >> 16);
}

}  // namespace

struct CellIndex {
    uint32_t* masks;   // cellWords per cell
    uint32_t* colors;  // kColorSlots per cell: packed candidates in creation order
    int cellWidth;     // tolerance + 1
    int cellsPerChannel;
    int cellWords;
    int colorShift;    // from a cell's first mask word to its first colour
    // Per channel value: its cell's part of the mask word index in bits 0
    // to 23, and the word of its value within the cell in bits 24 to 31.
    uint32_t redKey[256], greenKey[256], blueKey[256];
    // Recent colours: the colour with kRecentValid in the low half, its
    // entry's colour in the high half.
    uint64_t recent[size_t{1} << kRecentBits];
    uint32_t entryCount;
    bool remembering;  // whether pieces go through recent
    uint32_t piecesSinceTry;
    uint32_t* piece;  // a block of its own
    uint32_t pieceCapacity;
    // Outside the masks' tolerances: each cell holds its entry's creation
    // number in the high half and its colour with kRecentValid in the low
    // half, or zero.
    int tolerance;
    uint64_t* cells;
    uint8_t cellOf[256];
    // The cells that may hold an entry within reach of a channel value: the
    // one below only when the value is not its cell's last, the one above
    // only when it is not its cell's first.
    uint8_t nearFirst[256];
    uint8_t nearLast[256];
    // Below 5, for large images: every colour's oldest entry within reach,
    // by the Morton order of the colour: zero, or kOffsetKnown with the
    // entry's channels less the colour's plus the tolerance, four bits each
    // (red in bits 8 to 11). Null when not taken.
    uint16_t* direct;
    uint32_t spread[256];  // a channel value's bits three apart, for Morton order
    // From 85 on: each channel value's mask of the entries within reach, and
    // the entries' colours in creation order.
    bool few;
    uint32_t fewMasks[3][256];
    uint32_t fewColors[32];
};

namespace {

void InitCellIndex(CellIndex& index) {
    std::memset(index.recent, 0, sizeof index.recent);
    index.entryCount = 0;
    index.remembering = true;
    index.piecesSinceTry = 0;
    auto width = static_cast<uint32_t>(index.cellWidth);
    auto cells = static_cast<uint32_t>(index.cellsPerChannel);
    auto words = static_cast<uint32_t>(index.cellWords);
    for (uint32_t value = 0; value < 256; ++value) {
        uint32_t spread = 0;
        for (int bit = 0; bit < 8; ++bit) {
            spread |= (value >> bit & 1) << (3 * bit);
        }
        index.spread[value] = spread;
        uint32_t cell = value / width;
        uint32_t offset = value % width;
        index.cellOf[value] = static_cast<uint8_t>(cell);
        index.nearFirst[value] = static_cast<uint8_t>(cell > 0 && offset + 1 < width ? cell - 1 : cell);
        index.nearLast[value] = static_cast<uint8_t>(cell + 1 < cells && offset > 0 ? cell + 1 : cell);
        index.redKey[value] = cell * cells * cells * words | offset << 24;
        index.greenKey[value] = cell * cells * words | (width + offset) << 24;
        index.blueKey[value] = cell * words | (2 * width + offset) << 24;
    }
}

// Marks the values of one channel in a cell that lie within reach of the
// entry's channel value.
void MarkChannel(uint32_t* masks, int width, int cell, int entryValue, uint32_t bit) {
    int first = std::max(0, entryValue - (width - 1) - cell * width);
    int last = std::min(width - 1, entryValue + (width - 1) - cell * width);
    for (int offset = first; offset <= last; ++offset) {
        masks[offset] |= bit;
    }
}

// Makes the colour a candidate in its own cell and each neighbouring one.
#if defined(__GNUC__)
__attribute__((noinline))
#endif
void AddEntry(CellIndex& index, uint32_t color) {
    ++index.entryCount;
    int red = index.cellOf[color >> 16];
    int green = index.cellOf[color >> 8 & 0xFF];
    int blue = index.cellOf[color & 0xFF];
    int cells = index.cellsPerChannel;
    int width = index.cellWidth;
    for (int r = red - 1; r <= red + 1; ++r) {
        for (int g = green - 1; g <= green + 1; ++g) {
            for (int b = blue - 1; b <= blue + 1; ++b) {
                if (r < 0 || g < 0 || b < 0 || r >= cells || g >= cells || b >= cells) {
                    continue;
                }
                size_t number = static_cast<size_t>((r * cells + g) * cells + b);
                uint32_t* masks = index.masks + number * static_cast<size_t>(index.cellWords);
                uint32_t count = masks[index.cellWords - 1]++;
                uint32_t bit = uint32_t{1} << count;
                MarkChannel(masks, width, r, static_cast<int>(color >> 16), bit);
                MarkChannel(masks + width, width, g, static_cast<int>(color >> 8 & 0xFF), bit);
                MarkChannel(masks + 2 * width, width, b, static_cast<int>(color & 0xFF), bit);
                index.colors[number * kColorSlots + count] = color;
            }
        }
    }
}

int LowestBit(uint32_t mask) {
#if defined(__GNUC__)
    return __builtin_ctz(mask);
#else
    int bit = 0;
    while ((mask & 1) == 0) {
        mask >>= 1;
        ++bit;
    }
    return bit;
#endif
}

// The colour of the oldest entry within reach, founding one when none is.
inline uint32_t MatchColor(CellIndex& index, uint32_t color) {
    uint32_t red = index.redKey[color >> 16];
    uint32_t green = index.greenKey[color >> 8 & 0xFF];
    uint32_t blue = index.blueKey[color & 0xFF];
    uint32_t cell = (red + green + blue) & 0xFFFFFF;  // the cell parts never carry past bit 23
    const uint32_t* masks = index.masks + cell;
    uint32_t near = masks[red >> 24] & masks[green >> 24] & masks[blue >> 24];
    if (near == 0) {
        AddEntry(index, color);
        return color;
    }
    return index.colors[(cell >> index.colorShift) + static_cast<uint32_t>(LowestBit(near))];
}

// A cell's place in the cells: the Morton order of its three numbers.
inline size_t CellNumber(const CellIndex& index, uint32_t red, uint32_t green, uint32_t blue) {
    return index.spread[red] << 2 | index.spread[green] << 1 | index.spread[blue];
}

// From 85 on: the oldest entry within reach through one mask per channel.
inline uint32_t MatchFew(CellIndex& index, uint32_t color) {
    uint32_t red = color >> 16, green = color >> 8 & 0xFF, blue = color & 0xFF;
    uint32_t near = index.fewMasks[0][red] & index.fewMasks[1][green] & index.fewMasks[2][blue];
    if (near != 0) {
        return index.fewColors[LowestBit(near)];
    }
    // Cannot pass 32: entries lie pairwise out of reach, at most 27 of them.
    uint32_t bit = uint32_t{1} << index.entryCount;
    index.fewColors[index.entryCount++] = color;
    int reach = index.tolerance;
    const uint32_t values[3] = {red, green, blue};
    for (int channel = 0; channel < 3; ++channel) {
        int first = std::max(0, static_cast<int>(values[channel]) - reach);
        int last = std::min(255, static_cast<int>(values[channel]) + reach);
        for (int value = first; value <= last; ++value) {
            index.fewMasks[channel][value] |= bit;
        }
    }
    return color;
}

bool WithinReach(uint32_t a, uint32_t b, int tolerance) {
    for (int shift = 0; shift < 24; shift += 8) {
        int difference = static_cast<int>(a >> shift & 0xFF) - static_cast<int>(b >> shift & 0xFF);
        if (difference > tolerance || difference < -tolerance) {
            return false;
        }
    }
    return true;
}

// The oldest entry within reach among the pixel's cell and its neighbours.
uint32_t MatchAnyTolerance(CellIndex& index, uint32_t color) {
    uint32_t r8 = color >> 16, g8 = color >> 8 & 0xFF, b8 = color & 0xFF;
    uint64_t best = UINT64_MAX;
    for (uint32_t r = index.nearFirst[r8]; r <= index.nearLast[r8]; ++r) {
        for (uint32_t g = index.nearFirst[g8]; g <= index.nearLast[g8]; ++g) {
            for (uint32_t b = index.nearFirst[b8]; b <= index.nearLast[b8]; ++b) {
                uint64_t entry = index.cells[CellNumber(index, r, g, b)];
                if (entry != 0 && entry < best && WithinReach(static_cast<uint32_t>(entry), color, index.tolerance)) {
                    best = entry;
                }
            }
        }
    }
    if (best != UINT64_MAX) {
        return static_cast<uint32_t>(best) & kColorBits;
    }
    // Nothing within reach: the pixel's own cell is empty, since any entry
    // there would be.
    index.cells[CellNumber(index, index.cellOf[r8], index.cellOf[g8], index.cellOf[b8])] =
        uint64_t{index.entryCount++} << 32 | color | kRecentValid;
    return color;
}

// Founds an entry at the colour in the table of every colour: each colour
// within reach that no older entry reaches now finds this one, as the
// entry's offset from it.
#if defined(__GNUC__)
__attribute__((noinline))
#endif
void PaintReach(CellIndex& index, uint32_t color) {
    ++index.entryCount;
    const int reach = index.tolerance;
    const int red = static_cast<int>(color >> 16), green = static_cast<int>(color >> 8 & 0xFF),
              blue = static_cast<int>(color & 0xFF);
    const int blueFirst = std::max(0, blue - reach), blueLast = std::min(255, blue + reach);
    for (int r = std::max(0, red - reach); r <= std::min(255, red + reach); ++r) {
        for (int g = std::max(0, green - reach); g <= std::min(255, green + reach); ++g) {
            uint16_t* plane = index.direct + (index.spread[r] << 2 | index.spread[g] << 1);
            auto offsets = static_cast<uint32_t>(kOffsetKnown | (red - r + reach) << 8 | (green - g + reach) << 4);
            for (int b = blueFirst; b <= blueLast; ++b) {
                uint16_t& known = plane[index.spread[b]];
                known = known != 0 ? known : static_cast<uint16_t>(offsets | static_cast<uint32_t>(blue - b + reach));
            }
        }
    }
}

// The colour of the entry that a colour's offsets in the table lead to.
inline uint32_t OffsetColor(uint32_t color, uint32_t offsets, uint32_t reach) {
    uint32_t bytes = (offsets & 0xF00) << 8 | (offsets & 0xF0) << 4 | (offsets & 0xF);
    return color + bytes - reach * 0x010101;
}

// Flattens packed pixels in place, in their order, through the table of
// recent colours; returns how many were found there.
template <uint32_t (*Match)(CellIndex&, uint32_t)>
size_t FlattenRemembering(CellIndex& index, uint32_t* pixels, size_t count) {
    size_t found = 0;
    for (size_t i = 0; i < count; ++i) {
        uint32_t color = pixels[i];
        uint64_t& recent = index.recent[(color * 0x9E3779B1u) >> (32 - kRecentBits)];
        if (static_cast<uint32_t>(recent) == (color | kRecentValid)) {
            pixels[i] = static_cast<uint32_t>(recent >> 32);
            ++found;
            continue;
        }
        uint32_t match = Match(index, color);
        recent = uint64_t{match} << 32 | color | kRecentValid;
        pixels[i] = match;
    }
    return found;
}

// Images of flat colour areas repeat exact colours, and the table answers
// them at a fraction of a search. Photographs and noise seldom repeat, and
// there the table's check costs more than it saves (a quarter more time on a
// 24 MP photo, measured). So a piece uses the table while the last one
// found nearly all of its pixels there, and every 16th piece tries it again.
void SearchPiece(CellIndex& index, uint32_t* pixels, size_t count) {
    if (index.tolerance == 0) {
        return;
    }
    if (index.few) {
        for (size_t i = 0; i < count; ++i) {
            pixels[i] = MatchFew(index, pixels[i]);
        }
        return;
    }
    if (index.direct != nullptr) {
        const auto reach = static_cast<uint32_t>(index.tolerance);
        for (size_t i = 0; i < count; ++i) {
#if defined(__GNUC__)
            // The table is far larger than the caches: ask for an entry
            // well before it is needed.
            if (i + 16 < count) {
                uint32_t ahead = pixels[i + 16];
                __builtin_prefetch(index.direct + CellNumber(index, ahead >> 16, ahead >> 8 & 0xFF, ahead & 0xFF));
            }
#endif
            uint32_t color = pixels[i];
            const uint16_t& known = index.direct[CellNumber(index, color >> 16, color >> 8 & 0xFF, color & 0xFF)];
            if (known == 0) {
                PaintReach(index, color);
            }
            pixels[i] = OffsetColor(color, known, reach);
        }
        return;
    }
    if (index.cells != nullptr) {
        FlattenRemembering<MatchAnyTolerance>(index, pixels, count);
        return;
    }
    if (index.remembering || ++index.piecesSinceTry == 16) {
        index.piecesSinceTry = 0;
        index.remembering = FlattenRemembering<MatchColor>(index, pixels, count) >= count - count / 8;
        return;
    }
    for (size_t i = 0; i < count; ++i) {
        pixels[i] = MatchColor(index, pixels[i]);
    }
}

// A row's part of a block of columns, into and out of a piece that holds
// the block column by column. Pixels are 3 bytes (blue, green, red) or 4,
// whose fourth byte (alpha, or unused) is kept.
template <int kPixelBytes>
inline void GatherRow(const uint8_t* from, uint32_t* piece, uint32_t rowCount, uint32_t columns) {
    for (uint32_t c = 0; c < columns; ++c, piece += rowCount) {
        *piece = LoadWord(from + kPixelBytes * size_t{c}) & kColorBits;
    }
}

template <int kPixelBytes>
inline void ScatterRow(const uint32_t* piece, uint8_t* to, uint32_t rowCount, uint32_t columns) {
    if (kPixelBytes == 4) {
        for (uint32_t c = 0; c < columns; ++c, piece += rowCount) {
            uint8_t* pixel = to + 4 * size_t{c};
            StoreWord((LoadWord(pixel) & ~kColorBits) | *piece, pixel);
        }
        return;
    }
    // A word's fourth byte is the next pixel's, stored over next; the last
    // pixel's is not the block's.
    for (uint32_t c = 0; c + 1 < columns; ++c, piece += rowCount) {
        StoreWord(*piece, to + 3 * size_t{c});
    }
    StorePixel(*piece, to + 3 * size_t{columns - 1});
}

// Rows lie a stride apart, too far for the hardware to fetch ahead.
inline void FetchAhead(const uint8_t* row, ptrdiff_t stride) {
#if defined(__GNUC__)
    __builtin_prefetch(row + 8 * stride);
#else
    (void)row, (void)stride;
#endif
}

// Every cache line of a row's span of bytes, further ahead: on an image
// larger than the caches every line comes from memory (measured on 384 MP:
// a tenth faster than the first line alone, 8 rows ahead).
inline void FetchSpanAhead(const uint8_t* row, size_t span, ptrdiff_t stride) {
#if defined(__GNUC__)
    const uint8_t* ahead = row + 16 * stride;
    for (size_t at = 0; at < span; at += 64) {
        __builtin_prefetch(ahead + at);
    }
    __builtin_prefetch(ahead + span - 1);
#else
    (void)row, (void)span, (void)stride;
#endif
}

// Flattens a block of columns by rows in place: copied out of the rows into
// the piece column by column, flattened in that order, and copied back.
// Each row's memory is touched once for all of the block's columns rather
// than once per pixel.
template <int kPixelBytes>
void FlattenBlock(CellIndex& index, uint8_t* first, ptrdiff_t stride, uint32_t rowCount, uint32_t columns) {
    uint8_t* row = first;
    for (uint32_t r = 0; r < rowCount; ++r, row += stride) {
        FetchAhead(row, stride);
        GatherRow<kPixelBytes>(row, index.piece + r, rowCount, columns);
    }
    SearchPiece(index, index.piece, size_t{columns} * rowCount);
    row = first;
    for (uint32_t r = 0; r < rowCount; ++r, row += stride) {
        ScatterRow<kPixelBytes>(index.piece + r, row, rowCount, columns);
    }
}

// Flattens a rectangle of the rows, for a full palette, where the order no
// longer matters: a row at a time, so that memory is read in its order, or
// for a narrow rectangle, many rows of it at a time.
template <int kPixelBytes>
void FlattenRectangle(CellIndex& index, uint8_t* rows, ptrdiff_t stride, uint32_t firstColumn, uint32_t endColumn,
                      uint32_t firstRow, uint32_t endRow) {
    if (firstColumn >= endColumn) {
        return;
    }
    uint32_t capacity = index.pieceCapacity;
    uint32_t columns = std::min(endColumn - firstColumn, capacity);
    uint32_t blockRows = columns < 32 ? capacity / columns : 1;
    // Steps by what is left, so no count passes the ends and wraps.
    for (uint32_t y = firstRow, count = 0; y < endRow; y += count) {
        count = std::min(blockRows, endRow - y);
        for (uint32_t x = firstColumn, part = 0; x < endColumn; x += part) {
            part = std::min(columns, endColumn - x);
            FlattenBlock<kPixelBytes>(index, rows + static_cast<ptrdiff_t>(y) * stride + kPixelBytes * static_cast<ptrdiff_t>(x),
                                      stride, count, part);
        }
    }
}

// Once the palette holds every entry it can, no pixel founds one and the
// order no longer matters. The cells count entries from 1.
bool PaletteFull(const CellIndex& index) {
    return index.cells == nullptr && index.entryCount == MaxPaletteEntries(index.tolerance);
}

// Flattens the rows block by block, in the visiting order, until the
// palette is full; the rest then goes in row order.
template <int kPixelBytes>
void FlattenColumns(CellIndex& index, uint8_t* rows, ptrdiff_t stride, uint32_t width, uint32_t height,
                    uint32_t pieceColumns, uint32_t pieceRows) {
    for (uint32_t x = 0, columns = 0; x < width; x += columns) {
        columns = std::min(pieceColumns, width - x);
        for (uint32_t y = 0, count = 0; y < height; y += count) {
            count = std::min(pieceRows, height - y);
            FlattenBlock<kPixelBytes>(index, rows + static_cast<ptrdiff_t>(y) * stride + kPixelBytes * static_cast<ptrdiff_t>(x),
                                      stride, count, columns);
            if (PaletteFull(index)) {
                FlattenRectangle<kPixelBytes>(index, rows, stride, x, x + columns, y + count, height);
                FlattenRectangle<kPixelBytes>(index, rows, stride, x + columns, width, 0, height);
                return;
            }
        }
    }
}

// The same for blocks of whole columns, with a spare piece: between two
// blocks each row is walked once, storing the searched block's part and
// taking the next block's. The two parts share a cache line of the row,
// which is then fetched once rather than twice; on an image larger than
// the caches that is most of the flatten's memory traffic.
template <int kPixelBytes>
void FlattenWholeColumns(CellIndex& index, uint32_t* spare, uint8_t* rows, ptrdiff_t stride, uint32_t width,
                         uint32_t height, uint32_t pieceColumns) {
    uint32_t* current = index.piece;
    uint32_t* next = spare;
    uint32_t columns = std::min(pieceColumns, width);
    uint8_t* row = rows;
    for (uint32_t r = 0; r < height; ++r, row += stride) {
        FetchSpanAhead(row, kPixelBytes * size_t{columns}, stride);
        GatherRow<kPixelBytes>(row, current + r, height, columns);
    }
    for (uint32_t x = 0;;) {
        SearchPiece(index, current, size_t{columns} * height);
        uint32_t nextX = x + columns;
        bool full = PaletteFull(index);
        uint32_t nextColumns = full ? 0 : std::min(pieceColumns, width - nextX);
        row = rows + kPixelBytes * static_cast<ptrdiff_t>(x);
        const size_t span = kPixelBytes * size_t{columns + nextColumns};
        for (uint32_t r = 0; r < height; ++r, row += stride) {
            FetchSpanAhead(row, span, stride);
            ScatterRow<kPixelBytes>(current + r, row, height, columns);
            if (nextColumns != 0) {
                GatherRow<kPixelBytes>(row + kPixelBytes * static_cast<ptrdiff_t>(columns), next + r, height, nextColumns);
            }
        }
        if (nextColumns == 0) {
            if (full) {
                FlattenRectangle<kPixelBytes>(index, rows, stride, nextX, width, 0, height);
            }
            return;
        }
        std::swap(current, next);
        x = nextX;
        columns = nextColumns;
    }
}

}  // namespace

void FlattenPiece(CellIndex& index, uint32_t* pixels, size_t count) { SearchPiece(index, pixels, count); }

// Null when a block could not be had.
namespace {

// The search's storage for the index's tolerance: masks from 4 to 84, cells
// below (with the table of every colour on a large image), nothing from 85.
bool TakeSearchStorage(CellIndex& index, uint64_t pixels) {
    int tolerance = index.tolerance;
    // The table of every colour pays for its 32 MB on a large image only.
    if (tolerance > 0 && tolerance < kPaintedBelow && pixels >= kDirectTablePixels) {
        index.direct = AllocateArrayOf<uint16_t>(uint64_t{1} << 24);
        if (index.direct == nullptr) {
            return false;
        }
        std::memset(index.direct, 0, (size_t{1} << 24) * sizeof(uint16_t));
        return true;
    }
    if (tolerance >= kMaskedTolerances[0] && tolerance <= kMaskedTolerances[1]) {
        uint64_t cellCount = MaxPaletteEntries(tolerance);
        uint64_t maskWords = cellCount * static_cast<uint64_t>(index.cellWords);
        index.masks = AllocateArrayOf<uint32_t>(maskWords);
        index.colors = AllocateArrayOf<uint32_t>(cellCount * kColorSlots);
        if (index.masks == nullptr || index.colors == nullptr) {
            return false;
        }
        std::memset(index.masks, 0, static_cast<size_t>(maskWords) * sizeof(uint32_t));
        return true;
    }
    if (tolerance == 0 || index.few) {
        return true;
    }
    // Cells in Morton order: the cube of a power of two per channel.
    uint64_t side = 1;
    while (side < static_cast<uint64_t>(index.cellsPerChannel)) {
        side *= 2;
    }
    index.cells = AllocateArrayOf<uint64_t>(side * side * side);
    if (index.cells == nullptr) {
        return false;
    }
    std::memset(index.cells, 0, static_cast<size_t>(side * side * side) * sizeof(uint64_t));
    return true;
}

}  // namespace

CellIndex* NewCellIndex(uint32_t pieceCapacity, int tolerance, uint64_t pixels) {
    auto* index = static_cast<CellIndex*>(AllocateBytes(sizeof(CellIndex)));
    if (index == nullptr) {
        return nullptr;
    }
    index->masks = index->colors = index->piece = nullptr;
    index->direct = nullptr;
    index->cells = nullptr;
    index->tolerance = tolerance;
    index->cellWidth = tolerance + 1;
    index->cellsPerChannel = (255 + index->cellWidth) / index->cellWidth;
    index->few = tolerance > kMaskedTolerances[1];
    index->cellWords = kColorSlots;
    index->colorShift = 0;
    while (index->cellWords < 3 * index->cellWidth + 1) {
        index->cellWords *= 2;
        ++index->colorShift;
    }
    index->piece = AllocateArrayOf<uint32_t>(pieceCapacity);
    if (index->piece == nullptr || !TakeSearchStorage(*index, pixels)) {
        FreeCellIndex(index);
        return nullptr;
    }
    index->pieceCapacity = pieceCapacity;
    InitCellIndex(*index);
    if (index->few) {
        std::memset(index->fewMasks, 0, sizeof index->fewMasks);
    }
    if (index->cells != nullptr) {
        index->entryCount = 1;  // creation numbers start at 1: a zero cell is empty
    }
    return index;
}

uint64_t MaxPaletteEntries(int tolerance) {
    uint64_t cells = (255 + static_cast<uint64_t>(tolerance) + 1) / (static_cast<uint64_t>(tolerance) + 1);
    return cells * cells * cells;
}

uint32_t* CellIndexPiece(CellIndex* index) { return index->piece; }

void FreeCellIndex(CellIndex* index) {
    if (index == nullptr) {
        return;
    }
    ReleaseBytes(index->masks);
    ReleaseBytes(index->colors);
    ReleaseBytes(index->cells);
    ReleaseBytes(index->direct);
    ReleaseBytes(index->piece);
    ReleaseBytes(index);
}

Status FlattenRows(uint8_t* rows, ptrdiff_t stride, uint32_t width, uint32_t height, int tolerance, int pixelBytes) {
    if (width == 0 || height == 0) {
        return StatusOk;
    }
    // A block holds whole columns, as the visiting order requires; only a
    // column longer than a large piece is taken in parts. Memory hands out
    // a row's bytes a cache line at a time, so a block of a single column
    // would use 3 bytes of each: a tall image's blocks take a larger piece
    // (measured on 300 x 200000 noise: half the time of one-column blocks).
    uint64_t pieceWords = std::min(std::max<uint64_t>(kPiecePixels, kBlockColumns * height), kLargePiecePixels);
    auto pieceRows = static_cast<uint32_t>(std::min<uint64_t>(height, pieceWords));
    auto pieceColumns = static_cast<uint32_t>(std::min<uint64_t>(width, pieceWords / pieceRows));
    CellIndex* index = NewCellIndex(pieceColumns * pieceRows, tolerance, uint64_t{width} * height);
    if (index == nullptr) {
        return StatusOutOfMemory;
    }
    // A spare piece pays where blocks of whole columns follow one another;
    // without one the blocks go one at a time.
    uint32_t* spare = pieceRows == height && pieceColumns < width
                          ? AllocateArrayOf<uint32_t>(uint64_t{pieceColumns} * pieceRows)
                          : nullptr;
    if (spare != nullptr && pixelBytes == 4) {
        FlattenWholeColumns<4>(*index, spare, rows, stride, width, height, pieceColumns);
    } else if (spare != nullptr) {
        FlattenWholeColumns<3>(*index, spare, rows, stride, width, height, pieceColumns);
    } else if (pixelBytes == 4) {
        FlattenColumns<4>(*index, rows, stride, width, height, pieceColumns, pieceRows);
    } else {
        FlattenColumns<3>(*index, rows, stride, width, height, pieceColumns, pieceRows);
    }
    ReleaseBytes(spare);
    FreeCellIndex(index);
    return StatusOk;
}

}  // namespace quenvale
