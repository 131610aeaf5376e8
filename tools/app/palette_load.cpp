// A palette file read from its path for --remap and --pin, whole and
// bounded, then parsed as palette_read.cpp parses any palette's text.
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "app/host.h"
#include "app/palette_read.h"

namespace quenvale_host {

bool ReadPaletteFile(const std::string& name, std::vector<uint32_t>* colors, std::string* reason, int* systemError) {
    FILE* file = OpenFile(name, "rb");
    if (systemError != nullptr) {
        *systemError = file == nullptr ? errno : 0;
    }
    if (file == nullptr) {
        *reason = std::strerror(errno);
        return false;
    }
    std::string text;
    char buffer[65536];
    size_t got = 0;
    while ((got = std::fread(buffer, 1, sizeof buffer, file)) != 0 && text.size() <= kMostPaletteBytes) {
        text.append(buffer, got);
    }
    bool failed = std::ferror(file) != 0;
    std::fclose(file);
    if (failed || text.size() > kMostPaletteBytes) {
        *reason = failed ? "it could not be read" : "more than 16 MiB, too large for a palette";
        return false;
    }
    return ParsePalette(name, text, colors, reason);
}

}  // namespace quenvale_host
