// The palette files the host writes (--palette, --palette-dir): their
// formats, one row of one table each, and their text.
#ifndef QUENVALE_PALETTE_FILE_H
#define QUENVALE_PALETTE_FILE_H

#include <cstdint>
#include <string>
#include <vector>

#include "ops/picture_flatten.h"

namespace quenvale_host {

enum PaletteFormat { PaletteGpl, PaletteJson, PaletteText };

// The format an extension ("gpl", "json", "txt", any case) names; false
// for another.
bool PaletteFormatOf(const std::string& extension, PaletteFormat* format);
const char* PaletteExtension(PaletteFormat format);
// The format of a palette file of this name: --palette-format's where
// given, gpl for standard output (-), else its extension's; false where
// the extension names none.
bool PaletteFormatFor(const std::string& name, const char* given, PaletteFormat* format);
// How a palette was made: the first-fit flatten at a tolerance, or the
// chooser (--colors) or the remap (--remap, from the file named), with the
// largest error of one channel it left.
struct PaletteOrigin {
    bool chosen;
    int tolerance;
    uint32_t largestError;
    const char* remappedFrom;
};

// The file's text: the entries of a flatten of the picture (for how its
// founders' values are stored), named as the input is, and how they were made.
std::string PaletteFileText(const quenvale::FlattenPalette& palette, const quenvale::Picture& picture,
                            PaletteFormat format, const std::string& name, const PaletteOrigin& origin);

// The text of one palette shared by a batch (--shared-palette): its colours
// (0xAARRGGBB) in order, as --remap reads them back.
std::string SharedPaletteText(const std::vector<uint32_t>& colors, PaletteFormat format, const std::string& name,
                              size_t pictures);

}  // namespace quenvale_host

#endif
