// The WebAssembly module's exports: the flatten, speck removal, the SVG and
// the kernels on 8-bit RGBA pixels in the module's memory, as a browser's
// ImageData holds them,
// through the same pictures in memory as the host's and the Python
// module's. No file layer: the browser decodes and encodes.
#include <emscripten/emscripten.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "app/held_filters.h"
#include "app/palette_read.h"
#include "codecs/picture.h"
#include "ops/filter_table.h"
#include "ops/palette_remap.h"
#include "ops/picture_flatten.h"

namespace {

using quenvale_host::Picture;

// The spare bytes after the last pixel, which the flatten may load as part
// of a word.
constexpr size_t kSpareBytes = 8;
// The words before qv_flatten's entries.
constexpr size_t kHeaderWords = 5;

// Width x height RGBA pixels, rows top first, as the host holds an RGBA PNG.
Picture RgbaPicture(uint8_t* rgba, uint32_t width, uint32_t height) {
    Picture picture{};
    picture.width = width;
    picture.height = height;
    quenvale_host::SetPngEncoding(&picture, quenvale_host::PngRgba, 8);
    picture.stride = size_t{width} * 4;
    picture.rows = rgba;
    return picture;
}

// What a call leaves for its caller, read from JavaScript as 32-bit words.
enum CallStatus : uint32_t { CallDone = 0, CallOutOfMemory = 1, CallRefused = 2 };

// The block a flatten or remap leaves, for qv_free: status, tolerance used
// (0xFFFFFFFF where none was), entry count, fully transparent pixels (no
// colour, in no entry), the largest error on a channel, then four words an
// entry (colour 0xRRGGBB, pixel count, founder's x and y, row 0 at the
// top); null when even that could not be had.
uint32_t* BlockOf(quenvale::Status status, uint32_t tolerance, const quenvale::FlattenPalette& entries,
                  uint32_t largestError) {
    size_t count = status == quenvale::StatusOk ? entries.count : 0;
    auto* result = static_cast<uint32_t*>(std::malloc((kHeaderWords + 4 * count) * sizeof(uint32_t)));
    if (result != nullptr) {
        result[0] = status == quenvale::StatusOk            ? CallDone
                    : status == quenvale::StatusOutOfMemory ? CallOutOfMemory
                                                            : CallRefused;
        result[1] = tolerance;
        result[2] = static_cast<uint32_t>(count);
        result[3] = static_cast<uint32_t>(entries.transparent);  // the pixels fit 32 bits: the caller checks
        result[4] = largestError;
        for (size_t i = 0; i < count; ++i) {
            const quenvale::FlattenEntry& entry = entries.entries[i];
            uint32_t* row = result + kHeaderWords + 4 * i;
            row[0] = entry.color;
            row[1] = static_cast<uint32_t>(entry.pixelCount);  // the pixels fit 32 bits: the caller checks
            row[2] = entry.founderX;
            row[3] = entry.founderY;
        }
    }
    return result;
}

// --min-region on a flatten's result, in place, its palette described
// anew (founders and counts change); nothing where minRegion is 0 or 1.
quenvale::Status RemoveSpecks(Picture& picture, uint32_t minRegion, quenvale::FlattenPalette* entries) {
    if (minRegion <= 1) {
        return quenvale::StatusOk;
    }
    quenvale::RegionMerge merge{};
    return quenvale_host::RemoveSmallRegionsHeld(&picture, minRegion, &merge, entries);
}

}  // namespace

extern "C" {

// Storage for width x height RGBA pixels and the spare bytes; null when the
// size does not fit or memory runs out.
EMSCRIPTEN_KEEPALIVE uint8_t* qv_alloc_pixels(uint32_t width, uint32_t height) {
    uint64_t bytes = uint64_t{width} * height * 4 + kSpareBytes;
    if (bytes > SIZE_MAX / 2) {
        return nullptr;
    }
    return static_cast<uint8_t*>(std::calloc(static_cast<size_t>(bytes), 1));
}

// Room for a text of this many bytes and its NUL, for qv_free; null when
// memory cannot grow.
EMSCRIPTEN_KEEPALIVE char* qv_alloc_text(uint32_t bytes) {
    return static_cast<char*>(std::calloc(size_t{bytes} + 1, 1));
}

EMSCRIPTEN_KEEPALIVE void qv_free(void* block) { std::free(block); }

// Flattens the pixels in place at the tolerance, or where colors is not 0
// to at most that many colours as the tool's --colors gives them (the
// chooser's, or with firstFit or the mean fill the flatten at the tolerance
// that fits), founders' colours or groups' means; then --min-region's
// speck removal. Returns BlockOf's block, its tolerance 0xFFFFFFFF where
// the chooser ran.
EMSCRIPTEN_KEEPALIVE uint32_t* qv_flatten(uint8_t* rgba, uint32_t width, uint32_t height, int tolerance,
                                          uint32_t colors, int mean, int firstFit, uint32_t minRegion) {
    Picture picture = RgbaPicture(rgba, width, height);
    quenvale::FlattenPalette entries{};
    quenvale::ChosenPalette chosen{};
    quenvale::Status status = quenvale_host::FlattenHeldToCount(&picture, &tolerance, colors, mean != 0, firstFit != 0,
                                                                &entries, &chosen);
    status = status == quenvale::StatusOk ? RemoveSpecks(picture, minRegion, &entries) : status;
    uint32_t* result = BlockOf(status, static_cast<uint32_t>(tolerance), entries, chosen.largestError);
    quenvale::FreeFlattenPalette(&entries);
    return result;
}

// Maps the pixels in place onto the count colours given (0xAARRGGBB), as
// the tool's --remap does, or where colors is not 0 onto them pinned and
// those the chooser adds, as --colors with --pin. Returns a block as
// qv_flatten's (tolerance 0xFFFFFFFF), its entries the output's colours.
EMSCRIPTEN_KEEPALIVE uint32_t* qv_remap(uint8_t* rgba, uint32_t width, uint32_t height, const uint32_t* given,
                                        uint32_t count, uint32_t colors, uint32_t minRegion) {
    Picture picture = RgbaPicture(rgba, width, height);
    std::vector<uint32_t> wanted(given, given + count), to;
    quenvale::Status status = count == 0 || count > quenvale::kMostRemapColors || (colors != 0 && count > colors)
                                  ? quenvale::StatusBadInput
                                  : quenvale::StatusOk;
    if (status == quenvale::StatusOk && colors != 0) {
        status = quenvale_host::ChoosePinnedHeld(&picture, colors, wanted, &to);
    }
    uint32_t largestError = 0;
    if (status == quenvale::StatusOk) {
        // In place: the remap reads each row whole before it writes it.
        const std::vector<uint32_t>& onto = colors != 0 ? to : wanted;
        status = quenvale::RemapPicture(picture, onto.data(), static_cast<uint32_t>(onto.size()), picture,
                                        &largestError);
    }
    quenvale::FlattenPalette entries{};
    if (status == quenvale::StatusOk) {
        status = quenvale::DescribeFlattenPalette(picture, &entries);
    }
    status = status == quenvale::StatusOk ? RemoveSpecks(picture, minRegion, &entries) : status;
    uint32_t* result = BlockOf(status, 0xFFFFFFFFu, entries, largestError);
    quenvale::FreeFlattenPalette(&entries);
    return result;
}

// A palette file's colours (0xAARRGGBB), parsed as the tool parses --remap's
// file by its name's extension: a block of a status, a count and the
// colours, or where refused, the status, 0 and the reason's text after them;
// null when memory runs out.
EMSCRIPTEN_KEEPALIVE uint32_t* qv_parse_palette(const char* name, const char* text, uint32_t length) {
    std::vector<uint32_t> colors;
    std::string reason;
    bool parsed = quenvale_host::ParsePalette(name, std::string(text, length), &colors, &reason);
    size_t words = 2 + (parsed ? colors.size() : reason.size() / 4 + 1);
    auto* result = static_cast<uint32_t*>(std::calloc(words, sizeof(uint32_t)));
    if (result != nullptr) {
        result[0] = parsed ? CallDone : CallRefused;
        result[1] = parsed ? static_cast<uint32_t>(colors.size()) : 0;
        if (parsed) {
            std::memcpy(result + 2, colors.data(), colors.size() * sizeof(uint32_t));
        } else {
            std::memcpy(result + 2, reason.c_str(), reason.size());
        }
    }
    return result;
}

// The pixels as the tool writes an SVG, a path a region: its text, for
// qv_free, or null when memory runs out.
EMSCRIPTEN_KEEPALIVE char* qv_svg(uint8_t* rgba, uint32_t width, uint32_t height) {
    Picture picture = RgbaPicture(rgba, width, height);
    quenvale_host::EncodedFile svg{};
    quenvale_host::PictureError error{};
    if (!quenvale_host::EncodeSvgPieces(picture, quenvale_host::EncodeRequest{}, &svg, &error)) {
        return nullptr;
    }
    auto* text = static_cast<char*>(std::realloc(svg.encoded, svg.encodedLength + 1));
    if (text == nullptr) {
        std::free(svg.encoded);
        return nullptr;
    }
    text[svg.encodedLength] = '\0';
    return text;
}

// Runs the kernel named (as the tool names it) on the pixels in place; a
// CallStatus, refused for the flatten (qv_flatten) or an unknown name.
EMSCRIPTEN_KEEPALIVE uint32_t qv_filter(uint8_t* rgba, uint32_t width, uint32_t height, const char* name) {
    const quenvale::NamedFilter* filter = quenvale::FindNamedFilter(name);
    if (filter == nullptr || filter == &quenvale::kNamedFilters[0]) {
        return CallRefused;
    }
    Picture source = RgbaPicture(rgba, width, height);
    Picture result{};
    quenvale_host::PictureError error{};
    bool done = quenvale_host::KernelOnHeld(filter->kernel, source, &result, &error);
    // An RGBA source keeps its type and depth: the result's rows are its pixels.
    done = done && quenvale_host::PngColorTypeOf(result) == quenvale_host::PngRgba && result.bits == 8;
    for (uint32_t y = 0; done && y < height; ++y) {
        std::memcpy(rgba + size_t{y} * source.stride, result.rows + size_t{y} * result.stride, source.stride);
    }
    quenvale_host::ReleasePicture(&result);
    return done ? CallDone : CallOutOfMemory;
}

// The filter table's names, by row; null past the last.
EMSCRIPTEN_KEEPALIVE const char* qv_filter_name(uint32_t filter) {
    return filter < quenvale::kNamedFilterCount ? quenvale::kNamedFilters[filter].name : nullptr;
}

}  // extern "C"
