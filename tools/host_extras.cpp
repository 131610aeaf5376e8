// What a flatten writes beside its output: its palette as a file, and its
// layers, one 1-bit PNG mask per palette entry, black where the output has
// that entry and white elsewhere (as potrace and cutters take a shape), so
// that the masks of one picture cover every pixel exactly once.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <unordered_map>

#include "file_io.h"
#include "host.h"
#include "host_call.h"
#include "output_file.h"
#include "palette_file.h"
#include "picture.h"

namespace quenvale_host {

namespace {

// More layers than this are refused: each is a file, and a pass of its own.
constexpr size_t kMaxLayers = 256;

// The name of this input's files in a folder: the output's name without
// its extension, or the input's where the output is standard output.
std::string StemOf(const std::string& input, const std::string& output) {
    std::string base = BaseName(output != "-" && !output.empty() ? output : input != "-" ? input : "stdin");
    size_t dot = base.rfind('.');
    return dot == std::string::npos || dot == 0 ? base : base.substr(0, dot);
}

// The path of the palette file for this input and output, and its format.
void PalettePath(const Options& options, const std::string& input, const std::string& output, std::string* path,
                 PaletteFormat* format) {
    // The name and format were checked with the options.
    PaletteFormatFor(options.palette != nullptr ? options.palette : "", options.paletteFormat, format);
    if (options.palette != nullptr) {
        *path = options.palette;
        return;
    }
    *path = std::string(options.paletteDir) + "/" + StemOf(input, output) + "." + PaletteExtension(*format);
}

// Writes the pieces as the file at path, replaced whole; the failure
// reported against path.
bool WriteWhole(const Options& options, const std::string& path, const std::vector<EncodedPng::Piece>& pieces,
                const char* what) {
    std::u16string wide = CallPath(path, 0);
    quenvale::OutputFile replaced{};
    quenvale::Failure failure{};
    bool written = quenvale::OpenOutput(wide.c_str(), path.c_str(), nullptr, &replaced, &failure);
    for (const EncodedPng::Piece& piece : pieces) {
        if (written && !quenvale::WriteBytes(replaced.stream, piece.bytes, piece.length)) {
            failure = quenvale::FailWithErrno(quenvale::StatusOutputWriteFailed);
            written = false;
        }
    }
    written = written && quenvale::CommitOutput(replaced, options.call.sync, &failure);
    quenvale::AbandonOutput(replaced);
    if (!written) {
        ReportFailure(path, std::string("could not write ") + what + ": " + ErrorText(failure.systemError),
                      failure.systemError);
    }
    return written;
}

// Each pixel's layer: its palette entry, by its colour as the flatten sees it.
bool PrepareLayers(const quenvale::Picture& model, const quenvale::FlattenPalette& palette, const std::string& input,
                   FlattenExtras* extras) {
    if (palette.count > kMaxLayers) {
        ReportFailure(input, std::to_string(palette.count) + " colours, more than the " + std::to_string(kMaxLayers) +
                                 " layers written; ask for fewer with --colors");
        return false;
    }
    std::unordered_map<uint32_t, uint8_t> layerOf;
    for (size_t i = 0; i < palette.count; ++i) {
        extras->colors.push_back(palette.entries[i].color);
        layerOf.emplace(palette.entries[i].color, static_cast<uint8_t>(i));
    }
    extras->width = model.width;
    extras->height = model.height;
    extras->layerOf.resize(size_t{model.width} * model.height);
    for (uint32_t y = 0; y < model.height; ++y) {
        const uint8_t* row = model.rows + size_t{model.topDown ? y : model.height - 1 - y} * model.stride;
        for (uint32_t x = 0; x < model.width; ++x) {
            uint32_t color = 0;
            uint64_t unused = 0;
            quenvale::ReadPictureColor(model, row, x, &color, &unused);
            extras->layerOf[size_t{y} * model.width + x] = layerOf[color];
        }
    }
    return true;
}

bool WriteLayers(const Options& options, const FlattenExtras& extras, const std::string& input,
                 const std::string& output) {
    Picture mask{};
    mask.width = extras.width;
    mask.height = extras.height;
    mask.colorType = PngGray;
    mask.bitDepth = 1;
    PictureError error{};
    if (!AllocateRows(&mask, &error)) {
        ReportFailure(input, error.reason);
        return false;
    }
    size_t digits = std::max<size_t>(2, std::to_string(extras.colors.size() - 1).size());
    bool written = true;
    for (size_t layer = 0; written && layer < extras.colors.size(); ++layer) {
        for (uint32_t y = 0; y < mask.height; ++y) {
            uint8_t* row = mask.rows + size_t{y} * mask.stride;
            const uint8_t* of = extras.layerOf.data() + size_t{y} * mask.width;
            for (uint32_t x = 0; x < mask.width; ++x) {
                WriteSample(mask, row, x, of[x] == layer ? 0 : 1);
            }
        }
        char name[32];
        std::snprintf(name, sizeof name, ".%0*zu-%06x.png", static_cast<int>(digits), layer,
                      static_cast<unsigned>(extras.colors[layer]));
        std::string path = std::string(options.layersDir) + "/" + StemOf(input, output) + name;
        EncodedPng png{};
        written = EncodePngPieces(mask, nullptr, nullptr, nullptr, true, &png, &error);
        if (!written) {
            ReportFailure(path, error.reason);
        }
        written = written && WriteWhole(options, path, png.pieces, "the layer");
        ReleaseEncodedPng(&png);
    }
    ReleasePicture(&mask);
    return written;
}

}  // namespace

bool PrepareExtras(const Options& options, Picture& picture, int tolerance, const std::string& input,
                   FlattenExtras* extras) {
    bool palette = options.palette != nullptr || options.paletteDir != nullptr;
    if (!palette && options.layersDir == nullptr) {
        return true;
    }
    quenvale::FlattenPalette entries{};
    LittleEndianSamples(&picture);
    quenvale::Picture model = ModelOf(picture);
    quenvale::Status status = quenvale::DescribeFlattenPalette(model, &entries);
    bool prepared = status == quenvale::StatusOk;
    if (!prepared) {
        ReportFailure(input, "not enough memory to describe its palette");
    }
    if (prepared && palette) {
        std::string path;
        PaletteFormat format{};
        PalettePath(options, input, "", &path, &format);
        extras->palette = PaletteFileText(entries, model, format, BaseName(input), tolerance);
    }
    if (prepared && options.layersDir != nullptr) {
        prepared = PrepareLayers(model, entries, input, extras);
    }
    LittleEndianSamples(&picture);
    quenvale::FreeFlattenPalette(&entries);
    return prepared;
}

bool WriteExtras(const Options& options, const FlattenExtras& extras, const std::string& input,
                 const std::string& output) {
    if (options.layersDir != nullptr && !WriteLayers(options, extras, input, output)) {
        return false;
    }
    if (options.palette == nullptr && options.paletteDir == nullptr) {
        return true;
    }
    std::string path;
    PaletteFormat format{};
    PalettePath(options, input, output, &path, &format);
    if (path == "-") {
        bool written = quenvale::WriteBytes(stdout, extras.palette.data(), extras.palette.size()) &&
                       std::fflush(stdout) == 0;
        if (!written) {
            int error = errno;
            ReportFailure(path, "could not write the palette: " + ErrorText(error), error);
        }
        return written;
    }
    std::vector<EncodedPng::Piece> text{{reinterpret_cast<const uint8_t*>(extras.palette.data()), extras.palette.size()}};
    return WriteWhole(options, path, text, "the palette");
}

bool WriteBitmapExtras(const Options& options, const std::string& outputFile, const std::string& input,
                       const std::string& output) {
    if (options.palette == nullptr && options.paletteDir == nullptr && options.layersDir == nullptr) {
        return true;
    }
    FILE* file = OpenFile(outputFile, "rb");
    Picture picture{};
    PictureError error{};
    FlattenExtras extras{};
    bool read = file != nullptr && ReadBitmapAsPicture(file, &picture, &error);
    if (file != nullptr) {
        std::fclose(file);
    }
    if (!read) {
        ReportFailure(output, "could not read it back for its palette: " +
                                  (file == nullptr ? ErrorText(errno) : error.reason));
    }
    bool done = read && PrepareExtras(options, picture, options.call.tolerance, input, &extras) &&
                WriteExtras(options, extras, input, output);
    ReleasePicture(&picture);
    return done;
}

}  // namespace quenvale_host
