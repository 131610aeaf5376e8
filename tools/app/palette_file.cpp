// A flatten's palette as a file: GIMP's .gpl (which Inkscape and Krita
// read too), JSON, or hex colours one a line; every entry in creation
// order, with its colour as the flatten saw it and as stored, its pixel
// count and its founder's place.
#include "app/palette_file.h"

#include <cctype>
#include <cstdio>

#include "app/host.h"

namespace quenvale_host {

namespace {

struct PaletteKind {
    PaletteFormat format;
    const char* extension;
};
const PaletteKind kPaletteKinds[] = {{PaletteGpl, "gpl"}, {PaletteJson, "json"}, {PaletteText, "txt"}};

std::string Hex(uint32_t color) {
    char text[8];
    std::snprintf(text, sizeof text, "#%06x", static_cast<unsigned>(color & 0xFFFFFF));
    return text;
}

// The founder's colour samples as stored, alpha left out (each pixel keeps
// its own): an index, a masked word, or samples red first.
std::string StoredSamples(const quenvale::Picture& picture, uint64_t value) {
    switch (picture.storage) {
        case quenvale::StorageIndexed:
        case quenvale::StorageMasked:
            return std::to_string(value);
        case quenvale::StorageBgr24:
            return std::to_string(value >> 16 & 0xFF) + ", " + std::to_string(value >> 8 & 0xFF) + ", " +
                   std::to_string(value & 0xFF);
        default:
            break;
    }
    uint32_t bits = picture.bits;
    uint32_t samples = picture.storage == quenvale::StorageRgb ? 3 : 1;
    if (picture.alpha) {
        value >>= bits;
    }
    std::string text;
    for (uint32_t i = samples; i-- > 0;) {
        uint64_t sample = value >> (bits * i) & ((uint64_t{1} << bits) - 1);
        text += std::to_string(sample) + (i > 0 ? ", " : "");
    }
    return text;
}

// A colour (0xRRGGBB) and its alpha in each format, as --remap reads them
// back: GIMP's numbers and the hex in the name, with the alpha told there
// (GIMP has none); JSON's fields; the hex, with alpha where not opaque.
std::string GplColour(uint32_t color, uint32_t alpha) {
    char line[64];
    std::snprintf(line, sizeof line, "%3u %3u %3u\t%s%s", color >> 16 & 0xFF, color >> 8 & 0xFF, color & 0xFF,
                  Hex(color).c_str(), alpha == 0xFF ? "" : (" alpha " + std::to_string(alpha)).c_str());
    return line;
}

std::string JsonColour(uint32_t color, uint32_t alpha) {
    return "\"hex\": \"" + Hex(color) + "\", \"rgb\": [" + std::to_string(color >> 16 & 0xFF) + ", " +
           std::to_string(color >> 8 & 0xFF) + ", " + std::to_string(color & 0xFF) + "]" +
           (alpha != 0xFF ? ", \"alpha\": " + std::to_string(alpha) : "");
}

std::string TextColour(uint32_t color, uint32_t alpha) {
    char digits[4];
    std::snprintf(digits, sizeof digits, "%02x", alpha);
    return Hex(color) + (alpha != 0xFF ? digits : "");
}

// A string as JSON writes it.
std::string Quoted(const std::string& text) {
    std::string quoted = "\"";
    for (unsigned char c : text) {
        if (c == '"' || c == '\\') {
            quoted += '\\';
            quoted += static_cast<char>(c);
        } else if (c < 0x20) {
            char escape[8];
            std::snprintf(escape, sizeof escape, "\\u%04x", c);
            quoted += escape;
        } else {
            quoted += static_cast<char>(c);
        }
    }
    return quoted + "\"";
}

}  // namespace

bool PaletteFormatOf(const std::string& extension, PaletteFormat* format) {
    std::string lower;
    for (char c : extension) {
        lower += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    for (const PaletteKind& kind : kPaletteKinds) {
        if (lower == kind.extension) {
            *format = kind.format;
            return true;
        }
    }
    return false;
}

bool PaletteFormatFor(const std::string& name, const char* given, PaletteFormat* format) {
    *format = PaletteGpl;
    if (given != nullptr) {
        return PaletteFormatOf(given, format);
    }
    size_t dot = name.rfind('.');
    return name == "-" || (dot != std::string::npos && PaletteFormatOf(name.substr(dot + 1), format));
}

const char* PaletteExtension(PaletteFormat format) {
    for (const PaletteKind& kind : kPaletteKinds) {
        if (kind.format == format) {
            return kind.extension;
        }
    }
    return "";
}

std::string PaletteFileText(const quenvale::FlattenPalette& palette, const quenvale::Picture& picture,
                            PaletteFormat format, const std::string& name, const PaletteOrigin& origin) {
    std::string made = origin.remappedFrom != nullptr
                           ? "of " + Printable(origin.remappedFrom) + " the picture was mapped to, the largest error " +
                                 std::to_string(origin.largestError) + " on a channel"
                       : origin.chosen ? "chosen, each a colour of the picture, the largest error " +
                                           std::to_string(origin.largestError) + " on a channel"
                                     : "at tolerance " + std::to_string(origin.tolerance) +
                                           ", in the order they were founded";
    std::string text;
    switch (format) {
        case PaletteGpl:
            // GIMP takes a line's name after a tab; # lines are comments.
            text = "GIMP Palette\nName: " + Printable(name) + "\nColumns: 16\n# " + std::to_string(palette.count) +
                   " colours " + made + "\n";
            if (palette.transparent != 0) {
                text += "# " + std::to_string(palette.transparent) + " fully transparent pixels, no colour\n";
            }
            for (size_t i = 0; i < palette.count; ++i) {
                const quenvale::FlattenEntry& entry = palette.entries[i];
                text += GplColour(entry.color, entry.alpha) + " " + std::to_string(entry.pixelCount) + " px, founder " +
                        std::to_string(entry.founderX) + "," + std::to_string(entry.founderY) + "\n";
            }
            return text;
        case PaletteJson:
            text = "{\"name\": " + Quoted(name) +
                   (origin.remappedFrom != nullptr ? ", \"remapped\": " + Quoted(origin.remappedFrom) : "") +
                   (origin.chosen ? (origin.remappedFrom != nullptr ? "" : ", \"chosen\": true") +
                                        (", \"largest_error\": " + std::to_string(origin.largestError))
                                  : ", \"tolerance\": " + std::to_string(origin.tolerance)) +
                   (palette.transparent != 0 ? ", \"transparent\": " + std::to_string(palette.transparent) : "") +
                   ", \"colors\": [";
            for (size_t i = 0; i < palette.count; ++i) {
                const quenvale::FlattenEntry& entry = palette.entries[i];
                text += std::string(i == 0 ? "\n" : ",\n") + "  {" + JsonColour(entry.color, entry.alpha) + ", \"stored\": [" +
                        StoredSamples(picture, entry.founderValue) + "], \"count\": " +
                        std::to_string(entry.pixelCount) + ", \"founder\": {\"x\": " + std::to_string(entry.founderX) +
                        ", \"y\": " + std::to_string(entry.founderY) + "}}";
            }
            return text + "\n]}\n";
        case PaletteText:
            for (size_t i = 0; i < palette.count; ++i) {
                text += TextColour(palette.entries[i].color, palette.entries[i].alpha) + "\n";
            }
            // Fully transparent pixels as one clear colour, so that --remap
            // with this file gives its picture again.
            return text + (palette.transparent != 0 ? "#00000000\n" : "");
    }
    return text;
}

std::string SharedPaletteText(const std::vector<uint32_t>& colors, PaletteFormat format, const std::string& name,
                              size_t pictures) {
    std::string made = std::to_string(colors.size()) + " colours chosen over " + std::to_string(pictures) +
                       (pictures == 1 ? " picture" : " pictures") + ", every output mapped onto them";
    std::string text;
    for (size_t i = 0; i < colors.size(); ++i) {
        uint32_t color = colors[i] & 0xFFFFFF, alpha = colors[i] >> 24;
        switch (format) {
            case PaletteGpl:
                text += GplColour(color, alpha) + "\n";
                break;
            case PaletteJson:
                text += std::string(i == 0 ? "\n" : ",\n") + "  {" + JsonColour(color, alpha) + "}";
                break;
            case PaletteText:
                text += TextColour(color, alpha) + "\n";
                break;
        }
    }
    switch (format) {
        case PaletteGpl:
            return "GIMP Palette\nName: " + Printable(name) + "\nColumns: 16\n# " + made + "\n" + text;
        case PaletteJson:
            return "{\"name\": " + Quoted(name) + ", \"shared\": true, \"colors\": [" + text + "\n]}\n";
        case PaletteText:
            break;
    }
    return text;
}

}  // namespace quenvale_host
