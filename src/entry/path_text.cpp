// Path texts: conversion from 16-bit code units, and opening the input.
#include <cstring>

#include "entry.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#endif

namespace quenvale {

namespace {

size_t CodeUnitCount(const char16_t* path) {
    size_t count = 0;
    while (path[count] != 0) {
        ++count;
    }
    return count;
}

#if !defined(_WIN32)
// UTF-16 to UTF-8; false on an unpaired surrogate. Three bytes per code unit
// cover every case: a pair of units takes four.
bool EncodeUtf8(const char16_t* path, char* text) {
    for (; *path != 0; ++path) {
        uint32_t unit = *path;
        uint32_t codePoint = unit;
        if (unit >= 0xD800 && unit <= 0xDBFF) {
            uint32_t low = path[1];
            if (low < 0xDC00 || low > 0xDFFF) {
                return false;
            }
            codePoint = 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00);
            ++path;
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
#endif

}  // namespace

char* ConvertPath(const char16_t* path, bool* outOfMemory) {
    *outOfMemory = false;
    if (path == nullptr) {
        return nullptr;
    }
    size_t count = CodeUnitCount(path);
#if defined(_WIN32)
    const size_t bytesPerUnit = 2;  // the most a code page gives per unit
#else
    const size_t bytesPerUnit = 3;
#endif
    if (count >= SIZE_MAX / bytesPerUnit - 1 || (count + 1) * bytesPerUnit > INT32_MAX) {
        *outOfMemory = true;
        return nullptr;
    }
    size_t capacity = (count + 1) * bytesPerUnit;
    auto* text = static_cast<char*>(AllocateBytes(capacity));
    if (text == nullptr) {
        *outOfMemory = true;
        return nullptr;
    }
    text[0] = 0;
#if defined(_WIN32)
    if (WideCharToMultiByte(CP_ACP, 0, reinterpret_cast<LPCWCH>(path), -1, text, static_cast<int>(capacity),
                            nullptr, nullptr) == 0) {
        text[0] = 0;
    }
#else
    if (!EncodeUtf8(path, text)) {
        text[0] = 0;
    }
#endif
    return text;
}

FILE* OpenInputPath(const char16_t* widePath, const char* convertedPath) {
#if defined(_WIN32)
    (void)convertedPath;
    return widePath == nullptr ? nullptr : _wfopen(reinterpret_cast<const wchar_t*>(widePath), L"rb");
#else
    (void)widePath;
    if (convertedPath == nullptr) {
        return nullptr;
    }
    // Opening a pipe for reading waits for a writer, unless asked not to.
    int descriptor = open(convertedPath, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (descriptor < 0) {
        return nullptr;
    }
    int flags = fcntl(descriptor, F_GETFL);
    FILE* stream = flags == -1 || fcntl(descriptor, F_SETFL, flags & ~O_NONBLOCK) == -1
                       ? nullptr
                       : fdopen(descriptor, "rb");
    if (stream == nullptr) {
        int error = errno;
        close(descriptor);
        errno = error;
    }
    return stream;
#endif
}

}  // namespace quenvale
