// What a flatten writes beside its output: its palette as a file, and its
// layers, one 1-bit PNG mask per palette entry, black where the output has
// that entry and white elsewhere (as potrace and cutters take a shape), so
// that the masks of one picture cover every visible pixel exactly once;
// entries of two palette alphas are two layers, and fully transparent
// pixels are in none.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <unordered_map>

#include "app/host.h"
#include "app/host_call.h"
#include "app/output_set.h"
#include "app/palette_file.h"
#include "base/file_io.h"
#include "base/output_file.h"
#include "codecs/picture.h"

namespace quenvale_host {

namespace {

// More layers than this are refused: each is a file, and a pass of its own.
constexpr size_t kMaxLayers = 256;

// Writes the pieces to a temporary that will replace the file at path,
// held in extras until committed; the failure reported against path.
bool StageWhole(FlattenExtras& extras, const std::string& path, const std::vector<EncodedFile::Piece>& pieces,
                const char* what) {
    std::u16string wide = CallPath(path, 0);
    quenvale::OutputFile replaced{};
    quenvale::Failure failure{};
    bool written = quenvale::OpenOutput(wide.c_str(), path.c_str(), nullptr, &replaced, &failure);
    for (const EncodedFile::Piece& piece : pieces) {
        if (written && !quenvale::WriteBytes(replaced.stream, piece.bytes, piece.length)) {
            failure = quenvale::FailWithErrno(quenvale::StatusOutputWriteFailed);
            written = false;
        }
    }
    if (!written) {
        quenvale::AbandonOutput(replaced);
        ReportFailure(failure.status, path, std::string("could not write ") + what + ": " + FailureText(failure), failure.systemError);
        return false;
    }
    extras.staged.push_back(replaced);
    extras.stagedPaths.push_back(path);
    return true;
}

// Each pixel's layer: its palette entry, by its colour as the flatten sees it.
bool PrepareLayers(const quenvale::Picture& model, const quenvale::FlattenPalette& palette, const std::string& input,
                   FlattenExtras* extras) {
    if (palette.count > kMaxLayers) {
        ReportFailure(quenvale::StatusUnsupported, input, std::to_string(palette.count) + " colours, more than the " + std::to_string(kMaxLayers) +
                                 " layers written; ask for fewer with --colors");
        return false;
    }
    // Keyed as the palette keys them: a colour and its palette alpha.
    std::unordered_map<uint32_t, uint16_t> layerOf;
    for (size_t i = 0; i < palette.count; ++i) {
        uint32_t argb = uint32_t{palette.entries[i].alpha} << 24 | palette.entries[i].color;
        extras->colors.push_back(argb);
        layerOf.emplace(argb, static_cast<uint16_t>(i));
    }
    extras->width = model.width;
    extras->height = model.height;
    extras->layerOf.resize(size_t{model.width} * model.height);
    // No pixels: no walk over the rows a header may claim.
    for (uint32_t y = 0; !extras->layerOf.empty() && y < model.height; ++y) {
        const uint8_t* row = model.rows + size_t{model.topDown ? y : model.height - 1 - y} * model.stride;
        for (uint32_t x = 0; x < model.width; ++x) {
            uint32_t color = 0;
            uint64_t value = 0;
            quenvale::ReadPictureColor(model, row, x, &color, &value);
            uint32_t alpha = quenvale::PaletteAlphaOf(model, value);
            // A fully transparent pixel is in no layer: it has no shape to cut.
            auto layer = alpha == 0 ? layerOf.end() : layerOf.find(alpha << 24 | color);
            extras->layerOf[size_t{y} * model.width + x] = layer == layerOf.end() ? kNoLayer : layer->second;
        }
    }
    return true;
}

bool StageLayers(const JobOptions& options, FlattenExtras& extras, const std::string& input, const std::string& output) {
    Picture mask{};
    mask.width = extras.width;
    mask.height = extras.height;
    SetPngEncoding(&mask, PngGray, 1);
    PictureError error{};
    if (!AllocateRows(&mask, &error)) {
        ReportFailure(input, error);
        return false;
    }
    std::string stem = StemOf(input, output);
    bool written = true;
    for (size_t layer = 0; written && layer < extras.colors.size(); ++layer) {
        if (StopAsked(input)) {
            written = false;
            break;
        }
        for (uint32_t y = 0; y < mask.height; ++y) {
            uint8_t* row = mask.rows + size_t{y} * mask.stride;
            const uint16_t* of = extras.layerOf.data() + size_t{y} * mask.width;
            for (uint32_t x = 0; x < mask.width; ++x) {
                WriteSample(mask, row, x, of[x] == layer ? 0 : 1);
            }
        }
        std::string name = LayerName(stem, layer, extras.colors.size(), extras.colors[layer]);
        std::string path = std::string(options.layersDir) + "/" + name;
        EncodedFile png{};
        written = EncodePngPieces(mask, EncodeRequest{nullptr, nullptr, true, false}, &png, &error);
        if (!written) {
            ReportFailure(path, error);
        }
        written = written && StageWhole(extras, path, png.pieces, "the layer");
        extras.layerNames.push_back(name);
        ReleaseEncodedFile(&png);
    }
    ReleasePicture(&mask);
    return written;
}

// The layers of this stem that an earlier run left and this one did not
// write: a run with fewer colours would otherwise leave masks that overlap.
void RemoveStaleLayers(const JobOptions& options, const FlattenExtras& extras, const std::string& input,
                       const std::string& output) {
    std::string stem = StemOf(input, output);
    for (const std::string& name : NamesIn(options.layersDir)) {
        if (IsLayerOf(name, stem) &&
            std::find(extras.layerNames.begin(), extras.layerNames.end(), name) == extras.layerNames.end()) {
            RemoveFile(std::string(options.layersDir) + "/" + name);
        }
    }
}

}  // namespace

bool StageExtras(const JobOptions& options, Picture& picture, const PaletteOrigin& origin, const std::string& input,
                 const std::string& output, FlattenExtras* extras) {
    if (!WritesExtras(options)) {
        return true;
    }
    bool palette = options.palette != nullptr || options.paletteDir != nullptr;
    quenvale::FlattenPalette entries{};
    LittleEndianSamples(&picture);
    quenvale::Status status = quenvale::DescribeFlattenPalette(picture, &entries);
    bool prepared = status == quenvale::StatusOk;
    if (!prepared) {
        ReportFailure(quenvale::StatusOutOfMemory, input, "not enough memory to describe its palette");
    }
    PaletteFormat format{};
    std::string path = PalettePathOf(options, input, output, &format);
    if (prepared && palette) {
        extras->palette = PaletteFileText(entries, picture, format, BaseName(input), origin);
    }
    if (prepared && options.layersDir != nullptr) {
        prepared = PrepareLayers(picture, entries, input, extras);
    }
    LittleEndianSamples(&picture);
    quenvale::FreeFlattenPalette(&entries);
    if (!prepared || (options.layersDir != nullptr && !StageLayers(options, *extras, input, output))) {
        return false;
    }
    if (path.empty() || path == "-") {
        return true;  // standard output's is written when the extras are committed
    }
    std::vector<EncodedFile::Piece> text{{reinterpret_cast<const uint8_t*>(extras->palette.data()),
                                          extras->palette.size()}};
    return StageWhole(*extras, path, text, "the palette");
}

bool CommitExtras(const JobOptions& options, FlattenExtras& extras, const std::string& input, const std::string& output) {
    bool committed = true;
    for (size_t i = 0; i < extras.staged.size(); ++i) {
        quenvale::Failure failure{};
        if (committed && !quenvale::CommitOutput(extras.staged[i], options.call.sync, &failure)) {
            ReportFailure(failure.status, extras.stagedPaths[i], "could not write it: " + FailureText(failure), failure.systemError);
            committed = false;
        }
        quenvale::AbandonOutput(extras.staged[i]);  // what was not committed
    }
    extras.staged.clear();
    PaletteFormat format{};
    if (committed && PalettePathOf(options, input, output, &format) == "-") {
        committed = quenvale::WriteBytes(stdout, extras.palette.data(), extras.palette.size()) &&
                    std::fflush(stdout) == 0;
        if (!committed) {
            int error = errno;
            ReportFailure(quenvale::StatusOutputWriteFailed, "-", "could not write the palette: " + ErrorText(error), error);
        }
    }
    if (committed && options.layersDir != nullptr) {
        RemoveStaleLayers(options, extras, input, output);
    }
    return committed;
}

void AbandonExtras(FlattenExtras& extras) {
    for (quenvale::OutputFile& staged : extras.staged) {
        quenvale::AbandonOutput(staged);
    }
    extras.staged.clear();
}

bool WriteSharedPalette(const JobOptions& options, const std::vector<uint32_t>& colors, size_t pictures) {
    PaletteFormat format{};
    PaletteFormatFor(options.palette, options.paletteFormat, &format);
    JobOptions only = options;  // the palette alone
    only.layersDir = nullptr;
    only.paletteDir = nullptr;
    FlattenExtras extras{};
    extras.palette = SharedPaletteText(colors, format, BaseName(options.palette), pictures);
    std::string path = options.palette;
    std::vector<EncodedFile::Piece> text{{reinterpret_cast<const uint8_t*>(extras.palette.data()), extras.palette.size()}};
    if (path != "-" && !StageWhole(extras, path, text, "the palette")) {
        return false;
    }
    return CommitExtras(only, extras, "", "");
}

}  // namespace quenvale_host
