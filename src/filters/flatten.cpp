// Flatten: first-fit colour grouping with a tolerance of 20 per channel.
//
// The plain walk compares each pixel with every entry from the oldest on.
// FlattenColors gives the same entry for every pixel with far less work:
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
#include <cstring>

#include "filters.h"

namespace quenvale {

namespace {

constexpr int kCellWidth = kColorTolerance + 1;
constexpr int kCellsPerChannel = 13;  // 255 / 21 + 1
constexpr int kCellCount = kCellsPerChannel * kCellsPerChannel * kCellsPerChannel;
// A cell's masks: red by channel value - 21 * cell at words 0 to 20, green
// at 21 to 41, blue at 42 to 62, the candidate count at 63. A power-of-two
// stride keeps the lookup to shifts and adds.
constexpr int kCellWords = 64;
constexpr int kCountWord = 63;

struct CellIndex {
    uint32_t masks[kCellCount * kCellWords];
    Rgb colors[kCellCount][27];  // candidates in creation order
    // Per channel value: its cell's part of the word index, and the word of
    // its value within the cell.
    uint32_t redCell[256], greenCell[256], blueCell[256];
    uint8_t redWord[256], greenWord[256], blueWord[256];
};

void InitCellIndex(CellIndex& index) {
    std::memset(&index, 0, sizeof index);
    for (int value = 0; value < 256; ++value) {
        uint32_t cell = static_cast<uint32_t>(value / kCellWidth);
        index.redCell[value] = cell * kCellsPerChannel * kCellsPerChannel * kCellWords;
        index.greenCell[value] = cell * kCellsPerChannel * kCellWords;
        index.blueCell[value] = cell * kCellWords;
        auto offset = static_cast<uint8_t>(value % kCellWidth);
        index.redWord[value] = offset;
        index.greenWord[value] = static_cast<uint8_t>(kCellWidth + offset);
        index.blueWord[value] = static_cast<uint8_t>(2 * kCellWidth + offset);
    }
}

// Marks the values of one channel in a cell that lie within reach of the
// entry's channel value.
void MarkChannel(uint32_t* masks, int cell, int entryValue, uint32_t bit) {
    for (int offset = 0; offset < kCellWidth; ++offset) {
        int difference = cell * kCellWidth + offset - entryValue;
        if (difference <= kColorTolerance && difference >= -kColorTolerance) {
            masks[offset] |= bit;
        }
    }
}

// Makes the colour a candidate in its own cell and each neighbouring one.
#if defined(__GNUC__)
__attribute__((noinline))
#endif
void AddEntry(CellIndex& index, Rgb color) {
    int red = color.red / kCellWidth;
    int green = color.green / kCellWidth;
    int blue = color.blue / kCellWidth;
    for (int r = red - 1; r <= red + 1; ++r) {
        for (int g = green - 1; g <= green + 1; ++g) {
            for (int b = blue - 1; b <= blue + 1; ++b) {
                if (r < 0 || g < 0 || b < 0 || r >= kCellsPerChannel || g >= kCellsPerChannel ||
                    b >= kCellsPerChannel) {
                    continue;
                }
                int number = (r * kCellsPerChannel + g) * kCellsPerChannel + b;
                uint32_t* masks = index.masks + number * kCellWords;
                uint32_t count = masks[kCountWord]++;
                uint32_t bit = uint32_t{1} << count;
                MarkChannel(masks, r, color.red, bit);
                MarkChannel(masks + kCellWidth, g, color.green, bit);
                MarkChannel(masks + 2 * kCellWidth, b, color.blue, bit);
                index.colors[number][count] = color;
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

}  // namespace

bool IsNearColor(const PaletteEntry& entry, Rgb pixel) {
    auto near = [](uint8_t a, uint8_t b) {
        int difference = int{a} - int{b};
        return difference <= kColorTolerance && difference >= -kColorTolerance;
    };
    return near(entry.color.red, pixel.red) && near(entry.color.green, pixel.green) &&
           near(entry.color.blue, pixel.blue);
}

const PaletteEntry& MatchPaletteEntry(Palette& palette, Rgb pixel) {
    for (uint32_t i = 0; i < palette.count; ++i) {
        if (IsNearColor(palette.entries[i], pixel)) {
            return palette.entries[i];
        }
    }
    // Cannot pass the capacity: a pixel matching nothing lies in a cell of
    // the 21-step split that no entry occupies.
    PaletteEntry& founded = palette.entries[palette.count++];
    founded.color = pixel;
    return founded;
}

int32_t FlattenColors(PixelGrid source, PixelGrid destination, uint32_t width, uint32_t height) {
    size_t pixelCount = static_cast<size_t>(width) * height;
    if (pixelCount == 0) {
        return ResultDone;
    }
    auto* index = static_cast<CellIndex*>(AllocateBytes(sizeof(CellIndex)));
    if (index == nullptr) {
        return ResultOutOfMemory;
    }
    InitCellIndex(*index);
    const Rgb* in = source.pixels;
    Rgb* out = destination.pixels;
    // Column-major storage makes the visiting order the memory order. An
    // entry's colour never changes, so each pixel takes it at once.
    for (size_t i = 0; i < pixelCount; ++i) {
        Rgb pixel = in[i];
        uint32_t cell = index->redCell[pixel.red] + index->greenCell[pixel.green] + index->blueCell[pixel.blue];
        const uint32_t* masks = index->masks + cell;
        uint32_t near = masks[index->redWord[pixel.red]] & masks[index->greenWord[pixel.green]] &
                        masks[index->blueWord[pixel.blue]];
        if (near != 0) {
            out[i] = index->colors[cell / kCellWords][LowestBit(near)];
        } else {
            AddEntry(*index, pixel);
            out[i] = pixel;
        }
    }
    ReleaseBytes(index);
    return ResultDone;
}

}  // namespace quenvale
