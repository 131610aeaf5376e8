// The WebAssembly module's exports: the flatten and the kernels on 8-bit
// RGBA pixels in the module's memory, as a browser's ImageData holds them,
// through the same pictures in memory as the host's and the Python
// module's. No file layer: the browser decodes and encodes.
#include <emscripten/emscripten.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "app/held_filters.h"
#include "codecs/picture.h"
#include "ops/filter_table.h"

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
// that fits), founders' colours or groups' means. Returns a block for
// qv_free: status, tolerance used (0xFFFFFFFF where the chooser ran), entry
// count, fully transparent pixels (no colour, in no entry), the chooser's
// largest error on a channel, then four words an entry (colour 0xRRGGBB,
// pixel count, founder's x and y, row 0 at the top); null when even that
// could not be had.
EMSCRIPTEN_KEEPALIVE uint32_t* qv_flatten(uint8_t* rgba, uint32_t width, uint32_t height, int tolerance,
                                          uint32_t colors, int mean, int firstFit) {
    Picture picture = RgbaPicture(rgba, width, height);
    quenvale::FlattenPalette entries{};
    quenvale::ChosenPalette chosen{};
    quenvale::Status status = quenvale_host::FlattenHeldToCount(&picture, &tolerance, colors, mean != 0, firstFit != 0,
                                                                &entries, &chosen);
    size_t count = status == quenvale::StatusOk ? entries.count : 0;
    auto* result = static_cast<uint32_t*>(std::malloc((kHeaderWords + 4 * count) * sizeof(uint32_t)));
    if (result != nullptr) {
        result[0] = status == quenvale::StatusOk            ? CallDone
                    : status == quenvale::StatusOutOfMemory ? CallOutOfMemory
                                                            : CallRefused;
        result[1] = static_cast<uint32_t>(tolerance);
        result[2] = static_cast<uint32_t>(count);
        result[3] = static_cast<uint32_t>(entries.transparent);  // the pixels fit 32 bits: the caller checks
        result[4] = chosen.largestError;
        for (size_t i = 0; i < count; ++i) {
            const quenvale::FlattenEntry& entry = entries.entries[i];
            uint32_t* row = result + kHeaderWords + 4 * i;
            row[0] = entry.color;
            row[1] = static_cast<uint32_t>(entry.pixelCount);  // the pixels fit 32 bits: the caller checks
            row[2] = entry.founderX;
            row[3] = entry.founderY;
        }
    }
    quenvale::FreeFlattenPalette(&entries);
    return result;
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
