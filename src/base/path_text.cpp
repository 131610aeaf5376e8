// Path texts: conversion from 16-bit code units, and the one UTF-8 codec
// of the library and the host.
#include <cstdint>
#include <string>

#include "base/memory.h"
#include "base/path_text.h"

namespace quenvale {

bool EncodeUtf8(const char16_t* units, char* text) {
    // Three bytes per code unit cover every case: a pair of units takes four.
    for (; *units != 0; ++units) {
        uint32_t unit = *units;
        uint32_t codePoint = unit;
        if (unit >= 0xD800 && unit <= 0xDBFF) {
            uint32_t low = units[1];
            if (low < 0xDC00 || low > 0xDFFF) {
                return false;
            }
            codePoint = 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00);
            ++units;
        } else if (unit >= 0xDC00 && unit <= 0xDFFF) {
            return false;
        }
        if (codePoint < 0x80) {
            *text++ = static_cast<char>(codePoint);
        } else if (codePoint < 0x800) {
            *text++ = static_cast<char>(0xC0 | codePoint >> 6);
            *text++ = static_cast<char>(0x80 | (codePoint & 0x3F));
        } else if (codePoint < 0x10000) {
            *text++ = static_cast<char>(0xE0 | codePoint >> 12);
            *text++ = static_cast<char>(0x80 | (codePoint >> 6 & 0x3F));
            *text++ = static_cast<char>(0x80 | (codePoint & 0x3F));
        } else {
            *text++ = static_cast<char>(0xF0 | codePoint >> 18);
            *text++ = static_cast<char>(0x80 | (codePoint >> 12 & 0x3F));
            *text++ = static_cast<char>(0x80 | (codePoint >> 6 & 0x3F));
            *text++ = static_cast<char>(0x80 | (codePoint & 0x3F));
        }
    }
    *text = 0;
    return true;
}

bool DecodeUtf8(const char* text, char16_t* units, size_t* count) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(text);
    size_t used = 0;
    bool valid = true;
    while (valid && *bytes != 0) {
        uint32_t lead = *bytes++;
        int extra = lead < 0x80 ? 0 : lead >= 0xC2 && lead < 0xE0 ? 1 : lead >= 0xE0 && lead < 0xF0 ? 2
                                       : lead >= 0xF0 && lead < 0xF5 ? 3 : -1;
        valid = extra >= 0;
        uint32_t codePoint = extra <= 0 ? lead : lead & (0x3F >> extra);
        // A byte that continues nothing (the NUL included) ends the text there.
        for (int i = 0; valid && i < extra; ++i) {
            valid = (*bytes & 0xC0) == 0x80;
            if (valid) {
                codePoint = codePoint << 6 | (*bytes++ & 0x3F);
            }
        }
        static const uint32_t kSmallest[] = {0, 0x80, 0x800, 0x10000};
        valid = valid && codePoint >= kSmallest[extra] && codePoint <= 0x10FFFF &&
                (codePoint < 0xD800 || codePoint > 0xDFFF);
        if (valid && codePoint >= 0x10000) {
            codePoint -= 0x10000;
            units[used++] = static_cast<char16_t>(0xD800 + (codePoint >> 10));
            units[used++] = static_cast<char16_t>(0xDC00 + (codePoint & 0x3FF));
        } else if (valid) {
            units[used++] = static_cast<char16_t>(codePoint);
        }
    }
    units[used] = 0;
    *count = used;
    return valid;
}

char* ConvertPath(const char16_t* path, bool* outOfMemory) {
    *outOfMemory = false;
    if (path == nullptr) {
        return nullptr;
    }
    size_t count = std::char_traits<char16_t>::length(path);
    const size_t bytesPerUnit = PathBytesPerUnit();
    if (count >= SIZE_MAX / bytesPerUnit - 1 || (count + 1) * bytesPerUnit > INT32_MAX) {
        *outOfMemory = true;
        return nullptr;
    }
    size_t capacity = (count + 1) * bytesPerUnit;
    auto* text = AllocateArrayOf<char>(capacity);
    if (text == nullptr) {
        *outOfMemory = true;
        return nullptr;
    }
    text[0] = 0;
    if (!EncodePathText(path, text, capacity)) {
        text[0] = 0;
    }
    return text;
}

}  // namespace quenvale
