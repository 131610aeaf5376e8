// The flatten's grid forms: the plain first-fit walk over a palette and the
// flatten of a pixel grid. They are the definitions the tests hold the fast
// paths to; the exported call reaches none of them, so the shared library
// does not carry them.
#include <algorithm>

#include "ops/flatten.h"

namespace quenvale {

namespace {

// Pixels searched at a time: the grid's columns follow one another in
// memory, so any run of them is in visiting order.
constexpr size_t kGridPiecePixels = size_t{1} << 16;

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

Status FlattenColors(PixelGrid source, PixelGrid destination, uint32_t width, uint32_t height) {
    size_t pixelCount = static_cast<size_t>(width) * height;
    if (pixelCount == 0) {
        return StatusOk;
    }
    CellIndex* index =
        NewCellIndex(static_cast<uint32_t>(std::min(kGridPiecePixels, pixelCount)), kColorTolerance, pixelCount);
    if (index == nullptr) {
        return StatusOutOfMemory;
    }
    uint32_t* piece = CellIndexPiece(index);
    // Column-major storage makes the visiting order the memory order.
    for (size_t start = 0; start < pixelCount; start += kGridPiecePixels) {
        size_t count = std::min(kGridPiecePixels, pixelCount - start);
        const Rgb* in = source.pixels + start;
        for (size_t i = 0; i < count; ++i) {
            piece[i] = uint32_t{in[i].blue} | uint32_t{in[i].green} << 8 | uint32_t{in[i].red} << 16;
        }
        FlattenPiece(*index, piece, count);
        Rgb* out = destination.pixels + start;
        for (size_t i = 0; i < count; ++i) {
            uint32_t color = piece[i];
            out[i] = Rgb{static_cast<uint8_t>(color >> 16), static_cast<uint8_t>(color >> 8),
                         static_cast<uint8_t>(color)};
        }
    }
    FreeCellIndex(index);
    return StatusOk;
}

}  // namespace quenvale
