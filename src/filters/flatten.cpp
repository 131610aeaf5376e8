// Flatten: first-fit colour grouping with a tolerance of 20 per channel.
#include "filters.h"

namespace quenvale {

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
    auto* palette = static_cast<Palette*>(AllocateBytes(sizeof(Palette)));
    if (palette == nullptr) {
        return ResultOutOfMemory;
    }
    palette->count = 0;
    // Column-major storage makes the visiting order the memory order. An
    // entry's colour never changes, so each pixel takes it at once.
    size_t pixelCount = static_cast<size_t>(width) * height;
    for (size_t i = 0; i < pixelCount; ++i) {
        destination.pixels[i] = MatchPaletteEntry(*palette, source.pixels[i]).color;
    }
    ReleaseBytes(palette);
    return ResultDone;
}

}  // namespace quenvale
