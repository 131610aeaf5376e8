// Format choice, the same in every build; the codecs are elsewhere.
#include "host_formats.h"

#include <cctype>
#include <cstdio>
#include <cstring>

#include "file_io.h"
#include "host.h"

namespace quenvale_host {

namespace {

const char kJpegRefusal[] = "JPEG is not written: flat colours do not survive its compression; write PNG";

std::string Lower(const std::string& text) {
    std::string lower = text;
    for (char& c : lower) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return lower;
}

// The extension of a name's last component, lower case, without its dot.
std::string ExtensionOf(const std::string& name) {
    std::string base = BaseName(name);
    size_t dot = base.rfind('.');
    return dot == std::string::npos || dot == 0 ? std::string() : Lower(base.substr(dot + 1));
}

}  // namespace

#if defined(QUENVALE_PICTURES)
const bool kPicturesBuiltIn = true;
#else
const bool kPicturesBuiltIn = false;
#endif

const char* FormatName(FileFormat format) {
    switch (format) {
        case FormatPng:
            return "PNG";
        case FormatJpeg:
            return "JPEG";
        default:
            return "BMP";
    }
}

FileFormat SniffFormat(const std::string& path, std::string* claim) {
    static const uint8_t kPng[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    uint8_t head[12] = {};
    FILE* file = OpenFile(path, "rb");
    uint64_t length = 0;
    // A pipe or device is not read here: the call refuses it at once.
    size_t got = file != nullptr && quenvale::RegularFileLength(file, &length) ? std::fread(head, 1, sizeof head, file)
                                                                                : 0;
    if (file != nullptr) {
        std::fclose(file);
    }
    if (got >= sizeof kPng && std::memcmp(head, kPng, sizeof kPng) == 0) {
        return FormatPng;
    }
    if (got >= 3 && head[0] == 0xFF && head[1] == 0xD8 && head[2] == 0xFF) {
        return FormatJpeg;
    }
    claim->clear();
    if (got >= 4 && std::memcmp(head + 1, "PNG", 3) == 0) {
        // The signature's line ends are there to catch a transfer in text mode.
        *claim = "damaged PNG: its signature's bytes were changed, as by a transfer in text mode";
    }
    // Formats that are not read, named rather than called no BMP.
    static const struct {
        size_t at;
        size_t length;
        const char* bytes;
        const char* name;
    } kOthers[] = {{0, 6, "GIF87a", "GIF"},      {0, 6, "GIF89a", "GIF"},      {8, 4, "WEBP", "WebP"},
                   {0, 4, "II*\0", "TIFF"},      {0, 4, "MM\0*", "TIFF"},      {4, 8, "ftypavif", "AVIF"},
                   {4, 8, "ftypheic", "HEIF"},   {0, 4, "qoif", "QOI"}};
    for (const auto& other : kOthers) {
        if (got >= other.at + other.length && std::memcmp(head + other.at, other.bytes, other.length) == 0) {
            *claim = std::string("a ") + other.name + " file: " +
                     (kPicturesBuiltIn ? "BMP, PNG and JPEG are read" : "this build reads BMP only");
        }
    }
    return FormatBmp;
}

FileFormat ParseFormat(const std::string& value, std::string* refusal) {
    std::string lower = Lower(value);
    if (lower == "bmp") {
        return FormatBmp;
    }
    if (lower == "png") {
        return FormatPng;
    }
    *refusal = lower == "jpeg" || lower == "jpg" ? kJpegRefusal : "--format takes bmp or png, not '" + value + "'";
    return FormatNone;
}

FileFormat ChooseOutputFormat(FileFormat given, FileFormat input, const std::string& output, std::string* refusal) {
    if (given != FormatNone) {
        return given;
    }
    std::string extension = output == "-" ? std::string() : ExtensionOf(output);
    if (extension == "bmp" || extension == "dib") {
        return FormatBmp;
    }
    if (extension == "png") {
        return FormatPng;
    }
    for (const char* jpeg : {"jpg", "jpeg", "jpe", "jfif"}) {
        if (extension == jpeg) {
            *refusal = kJpegRefusal;
            return FormatNone;
        }
    }
    for (const char* other : {"gif", "tif", "tiff", "webp", "avif", "heic"}) {
        if (extension == other) {
            *refusal = "." + extension + " is not written: the output is BMP or PNG (see --format)";
            return FormatNone;
        }
    }
    return input == FormatJpeg ? FormatPng : input;
}

std::string WithExtension(const std::string& name, FileFormat format) {
    std::string base = BaseName(name);
    size_t dot = base.rfind('.');
    std::string stem = dot == std::string::npos || dot == 0 ? name : name.substr(0, name.size() - (base.size() - dot));
    return stem + (format == FormatPng ? ".png" : ".bmp");
}

std::string BuildRefusal(FileFormat input, FileFormat output) {
    if (kPicturesBuiltIn) {
        return std::string();
    }
    if (input != FormatBmp) {
        return std::string("a ") + FormatName(input) + " file: this build reads BMP only";
    }
    return output != FormatBmp ? "this build writes BMP only, not PNG" : std::string();
}

}  // namespace quenvale_host
