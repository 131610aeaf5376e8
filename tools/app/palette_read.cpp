// The palette formats read in: each a parser of its text, by the name's
// extension; every refusal names the line it failed on.
#include "app/palette_read.h"

#include <cctype>
#include <cstdio>
#include <cstring>

#include "ops/palette_remap.h"

namespace quenvale_host {

namespace {

constexpr int kMostDepth = 64;  // JSON nesting, far beyond the tool's own files

std::string AtLine(size_t line, const std::string& why) { return "line " + std::to_string(line) + ": " + why; }

bool HexDigits(const std::string& text, size_t from, size_t count, uint32_t* value) {
    *value = 0;
    for (size_t i = from; i < from + count; ++i) {
        if (i >= text.size() || !std::isxdigit(static_cast<unsigned char>(text[i]))) {
            return false;
        }
        char c = static_cast<char>(std::tolower(static_cast<unsigned char>(text[i])));
        *value = *value << 4 | static_cast<uint32_t>(c <= '9' ? c - '0' : c - 'a' + 10);
    }
    return true;
}

// "#rrggbb" or "#rrggbbaa" (the # optional) as 0xAARRGGBB.
bool ParseHex(const std::string& text, uint32_t* color) {
    size_t from = !text.empty() && text[0] == '#' ? 1 : 0;
    size_t digits = text.size() - from;
    uint32_t value = 0;
    if ((digits != 6 && digits != 8) || !HexDigits(text, from, digits, &value)) {
        return false;
    }
    *color = digits == 6 ? 0xFF000000u | value : (value & 0xFF) << 24 | value >> 8;
    return true;
}

std::string Trimmed(const std::string& text) {
    size_t begin = 0, end = text.size();
    while (begin < end && std::isspace(static_cast<unsigned char>(text[begin]))) ++begin;
    while (end > begin && std::isspace(static_cast<unsigned char>(text[end - 1]))) --end;
    return text.substr(begin, end - begin);
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        end = end == std::string::npos ? text.size() : end;
        std::string line = text.substr(start, end - start);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        lines.push_back(line);
        start = end + 1;
    }
    return lines;
}

// A whole decimal number of at most 255 at the front of *rest, taken off it.
bool TakeByte(std::string* rest, uint32_t* value) {
    size_t i = 0;
    while (i < rest->size() && std::isspace(static_cast<unsigned char>((*rest)[i]))) ++i;
    size_t digits = i;
    *value = 0;
    while (i < rest->size() && std::isdigit(static_cast<unsigned char>((*rest)[i])) && *value <= 255) {
        *value = *value * 10 + static_cast<uint32_t>((*rest)[i++] - '0');
    }
    if (i == digits || *value > 255 || (i < rest->size() && !std::isspace(static_cast<unsigned char>((*rest)[i])))) {
        return false;
    }
    *rest = rest->substr(i);
    return true;
}

// GIMP's palette: a header line, Name: and Columns: lines, # comments, and
// "R G B name" entries. The tool's own names an entry's alpha as
// "#rrggbb alpha A", and counts fully transparent pixels in a comment.
bool ParseGpl(const std::string& text, std::vector<uint32_t>* colors, std::string* reason) {
    std::vector<std::string> lines = Lines(text);
    if (lines.empty() || Trimmed(lines[0]) != "GIMP Palette") {
        *reason = AtLine(1, "not a GIMP palette (its first line is not \"GIMP Palette\")");
        return false;
    }
    bool transparent = false;
    for (size_t i = 1; i < lines.size(); ++i) {
        std::string line = Trimmed(lines[i]);
        if (line.empty() || line.compare(0, 5, "Name:") == 0 || line.compare(0, 8, "Columns:") == 0) {
            continue;
        }
        if (line[0] == '#') {
            transparent = transparent || line.find(" fully transparent pixels") != std::string::npos;
            continue;
        }
        uint32_t red = 0, green = 0, blue = 0;
        std::string rest = line;
        if (!TakeByte(&rest, &red) || !TakeByte(&rest, &green) || !TakeByte(&rest, &blue)) {
            *reason = AtLine(i + 1, "not three numbers of 0 to 255 and a name");
            return false;
        }
        uint32_t alpha = 0xFF;
        std::string name = Trimmed(rest);
        if (name.size() > 14 && name[0] == '#' && name.compare(7, 7, " alpha ") == 0) {
            std::string after = name.substr(13);
            uint32_t value = 0;
            if (TakeByte(&after, &value)) {
                alpha = value;
            }
        }
        colors->push_back(alpha << 24 | red << 16 | green << 8 | blue);
    }
    if (transparent) {
        colors->push_back(0);
    }
    return true;
}

bool ParseText(const std::string& text, std::vector<uint32_t>* colors, std::string* reason) {
    std::vector<std::string> lines = Lines(text);
    for (size_t i = 0; i < lines.size(); ++i) {
        std::string line = Trimmed(lines[i]);
        uint32_t color = 0;
        if (line.empty()) {
            continue;
        }
        if (!ParseHex(line, &color)) {
            *reason = AtLine(i + 1, "not a colour #rrggbb or #rrggbbaa");
            return false;
        }
        colors->push_back(color);
    }
    return true;
}

// Adobe's colour table: 256 RGB triples, and in its 772-byte form the count
// used and the transparent index, big-endian.
bool ParseAct(const std::string& text, std::vector<uint32_t>* colors, std::string* reason) {
    if (text.size() != 768 && text.size() != 772) {
        *reason = "an Adobe colour table has 768 or 772 bytes, not " + std::to_string(text.size());
        return false;
    }
    auto byte = [&text](size_t i) { return static_cast<uint32_t>(static_cast<unsigned char>(text[i])); };
    uint32_t count = 256, transparent = 0xFFFF;
    if (text.size() == 772) {
        count = byte(768) << 8 | byte(769);
        transparent = byte(770) << 8 | byte(771);
        if (count == 0 || count > 256) {
            *reason = "an Adobe colour table of " + std::to_string(count) + " colours (1 to 256)";
            return false;
        }
    }
    for (uint32_t i = 0; i < count; ++i) {
        uint32_t alpha = i == transparent ? 0 : 0xFF;
        colors->push_back(alpha << 24 | byte(3 * i) << 16 | byte(3 * i + 1) << 8 | byte(3 * i + 2));
    }
    return true;
}

// JSON, enough to read any document whole and refuse a damaged one by its
// line: the colours are "colors": [{"rgb": [r, g, b], "alpha": a} or
// {"hex": "#rrggbb"}, ...] at the top, with "transparent": N there.
struct JsonReader {
    const std::string& text;
    size_t at = 0;
    size_t line = 1;
    std::string why;

    void Space() {
        while (at < text.size() && std::isspace(static_cast<unsigned char>(text[at]))) {
            line += text[at++] == '\n' ? 1 : 0;
        }
    }
    bool Fail(const std::string& reason) {
        why = why.empty() ? AtLine(line, reason) : why;
        return false;
    }
    bool Eat(char c) {
        Space();
        if (at < text.size() && text[at] == c) {
            ++at;
            return true;
        }
        return false;
    }
    bool String(std::string* out) {
        if (!Eat('"')) return Fail("a string was expected");
        out->clear();
        while (at < text.size() && text[at] != '"') {
            char c = text[at++];
            if (c == '\n' || static_cast<unsigned char>(c) < 0x20) return Fail("a control character in a string");
            if (c == '\\') {
                if (at >= text.size()) break;
                char e = text[at++];
                uint32_t code = 0;
                if (e == 'u' && !HexDigits(text, at, 4, &code)) return Fail("a bad \\u escape");
                at += e == 'u' ? 4 : 0;
                if (std::strchr("\"\\/bfnrtu", e) == nullptr) return Fail("a bad escape");
                c = e == 'u' ? (code < 0x80 ? static_cast<char>(code) : '?') : e;
            }
            out->push_back(c);
        }
        if (at >= text.size()) return Fail("a string is not closed");
        ++at;
        return true;
    }
    bool Number(double* out, bool* whole) {
        Space();
        size_t start = at;
        if (at < text.size() && text[at] == '-') ++at;
        while (at < text.size() && (std::isdigit(static_cast<unsigned char>(text[at])) || std::strchr(".eE+-", text[at]))) ++at;
        std::string digits = text.substr(start, at - start);
        char* end = nullptr;
        *out = std::strtod(digits.c_str(), &end);
        *whole = digits.find_first_of(".eE") == std::string::npos;
        return (!digits.empty() && end == digits.c_str() + digits.size()) || Fail("a bad number");
    }
    // Skips any value, or reads it where a colour or the count is wanted.
    bool Value(int depth) {
        if (depth > kMostDepth) return Fail("nested too deep");
        Space();
        if (at >= text.size()) return Fail("the text ends early");
        char c = text[at];
        if (c == '{' || c == '[') {
            ++at;
            char close = c == '{' ? '}' : ']';
            if (Eat(close)) return true;
            do {
                std::string key;
                if (c == '{' && (!String(&key) || !Eat(':'))) return Fail("a key and ':' were expected");
                if (!Value(depth + 1)) return false;
            } while (Eat(','));
            return Eat(close) || Fail(std::string("'") + close + "' or ',' was expected");
        }
        if (c == '"') {
            std::string ignored;
            return String(&ignored);
        }
        for (const char* word : {"true", "false", "null"}) {
            if (text.compare(at, std::strlen(word), word) == 0) {
                at += std::strlen(word);
                return true;
            }
        }
        double number = 0;
        bool whole = false;
        return Number(&number, &whole);
    }
    bool Byte(uint32_t* value, const char* what) {
        double number = 0;
        bool whole = false;
        if (!Number(&number, &whole)) return false;
        if (!whole || number < 0 || number > 255) return Fail(std::string(what) + " is not a whole number of 0 to 255");
        *value = static_cast<uint32_t>(number);
        return true;
    }
    bool Color(uint32_t* color) {
        if (!Eat('{')) return Fail("a colour is an object");
        uint32_t rgb = 0, alpha = 0xFF;
        bool has = false;
        if (!Eat('}')) {
            do {
                std::string key;
                if (!String(&key) || !Eat(':')) return Fail("a key and ':' were expected");
                if (key == "rgb") {
                    uint32_t part[3] = {};
                    if (!Eat('[') || !Byte(&part[0], "red") || !Eat(',') || !Byte(&part[1], "green") || !Eat(',') ||
                        !Byte(&part[2], "blue") || !Eat(']')) {
                        return Fail("\"rgb\" is three numbers of 0 to 255");
                    }
                    rgb = part[0] << 16 | part[1] << 8 | part[2];
                    has = true;
                } else if (key == "hex" && !has) {
                    std::string hex;
                    uint32_t value = 0;
                    if (!String(&hex) || !ParseHex(hex, &value)) return Fail("\"hex\" is not a colour #rrggbb");
                    rgb = value & 0xFFFFFF;
                    alpha = value >> 24;
                    has = true;
                } else if (key == "alpha") {
                    if (!Byte(&alpha, "alpha")) return false;
                } else if (!Value(2)) {
                    return false;
                }
            } while (Eat(','));
            if (!Eat('}')) return Fail("'}' or ',' was expected");
        }
        if (!has) return Fail("a colour without \"rgb\" or \"hex\"");
        *color = alpha << 24 | rgb;
        return true;
    }
    bool Document(std::vector<uint32_t>* colors) {
        if (!Eat('{')) return Fail("the palette is a JSON object");
        bool listed = false, transparent = false;
        if (!Eat('}')) {
            do {
                std::string key;
                if (!String(&key) || !Eat(':')) return Fail("a key and ':' were expected");
                if (key == "colors") {
                    listed = true;
                    if (!Eat('[')) return Fail("\"colors\" is a list");
                    if (!Eat(']')) {
                        do {
                            uint32_t color = 0;
                            if (!Color(&color)) return false;
                            if (colors->size() > quenvale::kMostRemapColors) return Fail("more than 65,536 colours");
                            colors->push_back(color);
                        } while (Eat(','));
                        if (!Eat(']')) return Fail("']' or ',' was expected");
                    }
                } else if (key == "transparent") {
                    double count = 0;
                    bool whole = false;
                    if (!Number(&count, &whole)) return false;
                    transparent = count > 0;
                } else if (!Value(1)) {
                    return false;
                }
            } while (Eat(','));
            if (!Eat('}')) return Fail("'}' or ',' was expected");
        }
        Space();
        if (at != text.size()) return Fail("more text after the palette");
        if (!listed) return Fail("no \"colors\" list");
        if (transparent) colors->push_back(0);
        return true;
    }
};

struct PaletteParser {
    const char* extension;
    bool (*parse)(const std::string& text, std::vector<uint32_t>* colors, std::string* reason);
};

bool ParseJson(const std::string& text, std::vector<uint32_t>* colors, std::string* reason) {
    JsonReader reader{text, 0, 1, std::string()};
    if (!reader.Document(colors)) {
        *reason = reader.why;
        return false;
    }
    return true;
}

const PaletteParser kParsers[] = {{"gpl", ParseGpl}, {"json", ParseJson}, {"txt", ParseText}, {"act", ParseAct}};

}  // namespace

bool ParsePalette(const std::string& name, const std::string& text, std::vector<uint32_t>* colors,
                  std::string* reason) {
    colors->clear();
    size_t dot = name.rfind('.');
    std::string extension;
    for (size_t i = dot == std::string::npos ? name.size() : dot + 1; i < name.size(); ++i) {
        extension += static_cast<char>(std::tolower(static_cast<unsigned char>(name[i])));
    }
    for (const PaletteParser& parser : kParsers) {
        if (extension == parser.extension) {
            if (!parser.parse(text, colors, reason)) {
                colors->clear();
                return false;
            }
            if (colors->empty()) {
                *reason = "no colour in it";
                return false;
            }
            if (colors->size() > quenvale::kMostRemapColors) {
                *reason = std::to_string(colors->size()) + " colours, more than 65,536";
                colors->clear();
                return false;
            }
            return true;
        }
    }
    *reason = "not a palette file: name a .gpl, .json, .txt or .act file";
    return false;
}

}  // namespace quenvale_host
