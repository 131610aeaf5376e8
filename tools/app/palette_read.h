// Palette files read in (--remap): GIMP's .gpl, the tool's own .json, hex
// colours one a line (.txt) and Adobe's .act, each to its colours in order.
#ifndef QUENVALE_PALETTE_READ_H
#define QUENVALE_PALETTE_READ_H

#include <cstdint>
#include <string>
#include <vector>

namespace quenvale_host {

// The most bytes a palette file may have: far more than 65,536 entries in
// any of the formats need.
constexpr uint64_t kMostPaletteBytes = uint64_t{16} << 20;

// The colours of a palette file's text, 0xAARRGGBB in the file's order, by
// the format its name's extension gives. False with *reason where the
// format is unknown, the text is damaged (the reason names its line), or
// it holds no colour or more than 65,536. A palette the tool wrote that
// counts fully transparent pixels ends with a transparent entry, so the
// picture it came from maps to itself.
bool ParsePalette(const std::string& name, const std::string& text, std::vector<uint32_t>* colors,
                  std::string* reason);
// The same from the file of that name (palette_load.cpp, with the host's
// files), read whole (at most
// kMostPaletteBytes); *reason says why not, without the name, and
// *systemError (where given) the system's error number, 0 for none.
bool ReadPaletteFile(const std::string& name, std::vector<uint32_t>* colors, std::string* reason,
                     int* systemError = nullptr);

}  // namespace quenvale_host

#endif
