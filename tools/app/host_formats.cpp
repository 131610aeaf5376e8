// The table of formats and the choices made from it, the same in every
// build; the codecs are elsewhere.
#include "app/host_formats.h"

#include <cctype>
#include <cstdio>
#include <cstring>

#include "app/host.h"
#include "base/file_io.h"
#if defined(QUENVALE_PICTURES)
#include "codecs/picture.h"
#endif

namespace quenvale_host {

#if defined(QUENVALE_PICTURES)
const bool kPicturesBuiltIn = true;
constexpr PictureDecoder kBmpDecoder = ReadBitmap;
constexpr PictureDecoder kPngDecoder = ReadPng;
constexpr PictureEncoder kPngEncoder = EncodePngPieces;
constexpr PictureEncoder kSvgEncoder = EncodeSvgPieces;
constexpr PictureDecoder kJpegDecoder = ReadJpeg;
#if defined(QUENVALE_WEBP)
constexpr PictureDecoder kWebpDecoder = ReadWebp;
constexpr PictureEncoder kWebpEncoder = EncodeWebpPieces;
#else
constexpr PictureDecoder kWebpDecoder = nullptr;
constexpr PictureEncoder kWebpEncoder = nullptr;
#endif
#if defined(QUENVALE_GIF)
constexpr PictureDecoder kGifDecoder = ReadGif;
constexpr PictureEncoder kGifEncoder = EncodeGifPieces;
constexpr FramesEncoder kGifFrames = EncodeGifFrames;
#else
constexpr PictureDecoder kGifDecoder = nullptr;
constexpr PictureEncoder kGifEncoder = nullptr;
constexpr FramesEncoder kGifFrames = nullptr;
#endif
#else
const bool kPicturesBuiltIn = false;
constexpr PictureDecoder kBmpDecoder = nullptr;
constexpr PictureDecoder kPngDecoder = nullptr;
constexpr PictureEncoder kPngEncoder = nullptr;
constexpr PictureEncoder kSvgEncoder = nullptr;
constexpr PictureDecoder kJpegDecoder = nullptr;
constexpr PictureDecoder kWebpDecoder = nullptr;
constexpr PictureEncoder kWebpEncoder = nullptr;
constexpr PictureDecoder kGifDecoder = nullptr;
constexpr PictureEncoder kGifEncoder = nullptr;
constexpr FramesEncoder kGifFrames = nullptr;
#endif

namespace {

const char kJpegRefusal[] = "JPEG is not written: flat colours do not survive its compression; write PNG";

}  // namespace

// BMP first: what no signature claims is read as BMP.
const FormatRow kFormats[] = {
    // A bitmap is read by the library's call; as a picture only where the
    // call cannot take it (--fill mean).
    {FormatBmp, "BMP", "bmp dib", {}, false, kBmpDecoder, nullptr, true, nullptr, nullptr},
    {FormatPng, "PNG", "png", {{0, 8, "\x89PNG\r\n\x1A\n"}}, true, kPngDecoder, kPngEncoder, true, nullptr, nullptr},
    {FormatJpeg, "JPEG", "jpg jpeg jpe jfif", {{0, 3, "\xFF\xD8\xFF"}}, true, kJpegDecoder, nullptr, false,
     kJpegRefusal, nullptr},
    // Named, so that a refusal says what the file is; never read or written.
    // Lossless only: flat colours must survive.
    {FormatWebp, "WebP", "webp", {{8, 4, "WEBP"}}, true, kWebpDecoder, kWebpEncoder, true, nullptr, nullptr},
    // A still picture, or an animation's first frame; written at 256 colours or fewer, or as an animation.
    {FormatGif, "GIF", "gif", {{0, 6, "GIF87a"}, {0, 6, "GIF89a"}}, true, kGifDecoder, kGifEncoder, true, nullptr, kGifFrames},
    // Written only: each region an exact outline of its pixels.
    {FormatSvg, "SVG", "svg", {}, true, nullptr, kSvgEncoder, true, nullptr, nullptr},
    {FormatNone, "TIFF", "tif tiff", {{0, 4, "II*\0"}, {0, 4, "MM\0*"}}, false, nullptr, nullptr, false, nullptr, nullptr},
    {FormatNone, "AVIF", "avif", {{4, 8, "ftypavif"}}, false, nullptr, nullptr, false, nullptr, nullptr},
    {FormatNone, "HEIF", "heic heif", {{4, 8, "ftypheic"}}, false, nullptr, nullptr, false, nullptr, nullptr},
    {FormatNone, "QOI", "qoi", {{0, 4, "qoif"}}, false, nullptr, nullptr, false, nullptr, nullptr},
};
const size_t kFormatCount = sizeof kFormats / sizeof kFormats[0];

namespace {

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

bool HasExtension(const FormatRow& row, const std::string& extension) {
    std::string list = std::string(" ") + row.extensions + " ";
    return !extension.empty() && list.find(" " + extension + " ") != std::string::npos;
}

bool Claims(const FormatRow& row, const uint8_t* head, size_t got) {
    for (const Signature& signature : row.signatures) {
        if (signature.length > 0 && got >= signature.at + signature.length &&
            std::memcmp(head + signature.at, signature.bytes, signature.length) == 0) {
            return true;
        }
    }
    return false;
}

// A codec's format is read where this build has its decoder, and written
// where it has its encoder (WebP needs libwebp beside the others; SVG is
// written only).
bool ReadHere(const FormatRow& row) { return row.format != FormatNone && (!row.codec || row.decode != nullptr); }
bool WrittenHere(const FormatRow& row) {
    return row.written && row.format != FormatNone && (!row.codec || row.encode != nullptr);
}

// The names of the rows chosen, between and last apart: "BMP, PNG and
// JPEG", "BMP or PNG", "BMP PNG".
std::string NameList(bool (*chosen)(const FormatRow&), const char* between, const char* last) {
    size_t count = 0;
    for (const FormatRow& row : kFormats) {
        count += chosen(row) ? 1 : 0;
    }
    std::string list;
    size_t named = 0;
    for (const FormatRow& row : kFormats) {
        if (chosen(row)) {
            list += std::string(named == 0 ? "" : named + 1 == count ? last : between) + row.name;
            ++named;
        }
    }
    return list;
}

bool Written(const FormatRow& row) { return row.written; }

}  // namespace

const FormatRow& RowOf(FileFormat format) {
    for (const FormatRow& row : kFormats) {
        if (row.format == format) {
            return row;
        }
    }
    return kFormats[0];
}

const char* FormatName(FileFormat format) { return RowOf(format).name; }

std::string FormatsRead() { return NameList(ReadHere, " ", " "); }

std::string FormatsReadText() { return NameList(ReadHere, ", ", " or "); }

std::string FormatsWrittenText() {
    std::string extensions;
    for (const FormatRow& row : kFormats) {
        if (WrittenHere(row)) {
            std::string first(row.extensions, std::strcspn(row.extensions, " "));
            extensions += (extensions.empty() ? "." : ", .") + first;
        }
    }
    return NameList(WrittenHere, ", ", " or ") + ", by its extension (" + extensions + ")";
}

std::string FormatsWritten() { return NameList(WrittenHere, " ", " "); }

FileFormat SniffFormat(const std::string& path, std::string* claim) {
    FILE* file = OpenFile(path, "rb");
    FileFormat format = SniffOpenFormat(file, claim);
    if (file != nullptr) {
        std::fclose(file);
    }
    return format;
}

FileFormat SniffOpenFormat(FILE* file, std::string* claim, bool* damaged) {
    uint8_t head[16] = {};
    uint64_t length = 0;
    // A pipe or device is not read here: the call refuses it at once.
    size_t got = file != nullptr && quenvale::RegularFileLength(file, &length) ? std::fread(head, 1, sizeof head, file)
                                                                                : 0;
    if (got != 0) {
        quenvale::SeekFile(file, 0);
    }
    claim->clear();
    for (const FormatRow& row : kFormats) {
        if (!Claims(row, head, got)) {
            continue;
        }
        if (row.format != FormatNone) {
            return row.format;
        }
        *claim = std::string("a ") + row.name + " file: not read (" +
                 (kPicturesBuiltIn ? NameList(ReadHere, ", ", " and ") + " are)" : "this build reads BMP only)");
        return FormatBmp;
    }
    if (got >= 4 && std::memcmp(head + 1, "PNG", 3) == 0) {
        // The signature's line ends are there to catch a transfer in text mode.
        *claim = "damaged PNG: its signature's bytes were changed, as by a transfer in text mode";
        if (damaged != nullptr) {
            *damaged = true;
        }
    }
    return FormatBmp;
}

FileFormat ParseFormat(const std::string& value, std::string* refusal) {
    std::string lower = Lower(value);
    for (const FormatRow& row : kFormats) {
        if (row.format == FormatNone || (lower != Lower(row.name) && !HasExtension(row, lower))) {
            continue;
        }
        if (row.written) {
            return row.format;
        }
        *refusal = row.notWritten;
        return FormatNone;
    }
    *refusal = "--format takes " + Lower(NameList(Written, ", ", " or ")) + ", not '" + value + "'";
    return FormatNone;
}

FileFormat ChooseOutputFormat(FileFormat given, FileFormat input, const std::string& output, std::string* refusal) {
    if (given != FormatNone) {
        return given;
    }
    std::string extension = output == "-" ? std::string() : ExtensionOf(output);
    for (const FormatRow& row : kFormats) {
        if (!HasExtension(row, extension)) {
            continue;
        }
        if (row.written) {
            return row.format;
        }
        *refusal = row.notWritten != nullptr ? row.notWritten
                                             : "." + extension + " is not written: the output is " +
                                                   NameList(Written, ", ", " or ") + " (see --format)";
        return FormatNone;
    }
    // A format that is read but not written gives the first written one
    // that holds its pixels: PNG for a JPEG.
    return RowOf(input).written ? input : FormatPng;
}

std::string WithExtension(const std::string& name, FileFormat format) {
    std::string base = BaseName(name);
    size_t dot = base.rfind('.');
    std::string stem = dot == std::string::npos || dot == 0 ? name : name.substr(0, name.size() - (base.size() - dot));
    std::string extensions = RowOf(format).extensions;
    return stem + "." + extensions.substr(0, extensions.find(' '));
}

std::string BuildRefusal(FileFormat input, FileFormat output) {
    if (!ReadHere(RowOf(input))) {
        return std::string("a ") + FormatName(input) + " file: this build reads " + FormatsRead() + " only";
    }
    if (!WrittenHere(RowOf(output))) {
        return std::string("this build writes ") + FormatsWritten() + " only, not " + FormatName(output);
    }
    return std::string();
}

}  // namespace quenvale_host
