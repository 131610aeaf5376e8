// The flatten's search: first-fit colour grouping at a tolerance N per
// channel, 20 for the exported call; the figures below are those of N = 20.
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

#include "base/memory.h"
#include "bmp/pixel_values.h"
#include "ops/flatten.h"

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
// From this many pixels on, a tolerance below 5 takes the table of every colour.
constexpr uint64_t kDirectTablePixels = uint64_t{1} << 21;
// Painting costs (2N + 1)^3 an entry: from 5 on the masks are faster
// (measured on the bench photo).
constexpr int kPaintedBelow = 5;
constexpr uint32_t kOffsetKnown = 0x8000;
static_assert(2 * (kPaintedBelow - 1) < 16, "an offset fits its 4 bits");

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

}  // namespace

void FlattenPiece(CellIndex& index, uint32_t* pixels, size_t count) { SearchPiece(index, pixels, count); }

// The cells count entries from 1.
bool CellIndexFull(const CellIndex& index) {
    return index.cells == nullptr && index.entryCount == MaxPaletteEntries(index.tolerance);
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

uint64_t CellIndexEntries(const CellIndex& index) { return index.entryCount - (index.cells != nullptr ? 1 : 0); }

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
uint32_t CellIndexCapacity(const CellIndex* index) { return index->pieceCapacity; }

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

}  // namespace quenvale
