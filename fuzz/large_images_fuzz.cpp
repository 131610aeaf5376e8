// libFuzzer target: large images from small inputs. A few bytes choose the
// shape (up to 6 million pixels, wide, tall or square), the encoding, how
// many colours and how they run, and the tolerance; the harness builds the
// bitmap. That reaches the mapped large blocks, blocks of part columns,
// full palettes and every tolerance's search, which files small enough to
// mutate never do. Checked: every pixel within reach of its own colour, a
// second flatten changes nothing, and the bytes around the pixels carried.
#include <algorithm>
#include <cstring>
#include <random>

#include "bmp/bitmap.h"
#include "call/entry.h"
#include "fuzz_support.h"
#include "quenvale.h"

namespace {

using quenvale_fuzz::Check;

std::string inputPath;
std::string outputPath;
std::string againPath;

// The fuzzer's bytes, read in turn; zeros once they run out.
struct Reader {
    const uint8_t* data;
    size_t size;
    uint32_t Next(int bytes) {
        uint32_t value = 0;
        for (int i = 0; i < bytes; ++i) {
            value = value << 8 | (size > 0 ? *data : 0);
            if (size > 0) {
                ++data;
                --size;
            }
        }
        return value;
    }
};

enum Kind { Rgb24, Palette8, Rgb32, Rgb565, KindCount };

struct Layout {
    Kind kind;
    uint32_t width, height, offset, stride;
    std::vector<uint32_t> palette;  // 0xRRGGBB
};

uint32_t BitsOf(Kind kind) { return kind == Rgb24 ? 24 : kind == Palette8 ? 8 : kind == Rgb32 ? 32 : 16; }

std::vector<uint8_t> Build(Reader& reader, Layout* layout) {
    layout->kind = static_cast<Kind>(reader.Next(1) % KindCount);
    uint32_t width = 1 + reader.Next(2) % 8192;
    uint32_t height = 1 + reader.Next(2) % 8192;
    const uint32_t kMostPixels = 6u << 20;
    if (uint64_t{width} * height > kMostPixels) {
        height = std::max<uint32_t>(1, kMostPixels / width);
    }
    bool topDown = reader.Next(1) % 4 == 0;
    uint32_t colorCount = reader.Next(2);  // 0: every pixel its own colour
    uint32_t runLength = 1 + reader.Next(1) % 64;
    std::mt19937 random(reader.Next(4));
    uint32_t bits = BitsOf(layout->kind);
    layout->width = width;
    layout->height = height;
    layout->stride = (width * bits + 31) / 32 * 4;
    quenvale_writer::BitmapFields fields;
    fields.width = static_cast<int32_t>(width);
    fields.height = topDown ? -static_cast<int32_t>(height) : static_cast<int32_t>(height);
    fields.bits = static_cast<uint16_t>(bits);
    if (layout->kind == Rgb565) {
        fields.compression = 3;
        fields.masks = {0xF800, 0x07E0, 0x001F};
    }
    if (layout->kind == Palette8) {
        for (uint32_t i = 0; i < 256; ++i) {
            layout->palette.push_back(random() & 0xFFFFFF);
            uint32_t entry = layout->palette.back();
            fields.palette.insert(fields.palette.end(), {static_cast<uint8_t>(entry), static_cast<uint8_t>(entry >> 8),
                                                         static_cast<uint8_t>(entry >> 16), 0});
        }
    }
    layout->offset = 54 + static_cast<uint32_t>(fields.palette.size() + 4 * fields.masks.size());
    std::vector<uint8_t> rows(size_t{layout->stride} * height);
    std::vector<uint32_t> colors(colorCount);
    for (uint32_t& color : colors) {
        color = random();
    }
    uint32_t value = 0;
    for (uint32_t y = 0; y < height; ++y) {
        uint8_t* row = rows.data() + size_t{y} * layout->stride;
        for (uint32_t x = 0; x < width; ++x) {
            if ((size_t{y} * width + x) % runLength == 0) {
                value = colorCount == 0 ? random() : colors[random() % colorCount];
            }
            uint32_t size = bits / 8;
            for (uint32_t i = 0; i < size; ++i) {
                row[x * size + i] = static_cast<uint8_t>(value >> (8 * i));
            }
        }
    }
    return quenvale_writer::EncodeBitmapFile(fields, rows);
}

// The colour of pixel x of a row, as 0xRRGGBB.
uint32_t ColorAt(const Layout& layout, const uint8_t* row, uint32_t x) {
    switch (layout.kind) {
        case Rgb24:
        case Rgb32: {
            const uint8_t* pixel = row + x * (BitsOf(layout.kind) / 8);
            return uint32_t{pixel[2]} << 16 | uint32_t{pixel[1]} << 8 | pixel[0];
        }
        case Palette8:
            return layout.palette[row[x]];
        default: {
            uint32_t word = row[2 * x] | uint32_t{row[2 * x + 1]} << 8;
            // Widened by repeating the bits, as readers do.
            uint32_t red = word >> 11, green = word >> 5 & 63, blue = word & 31;
            return (red << 3 | red >> 2) << 16 | (green << 2 | green >> 4) << 8 | (blue << 3 | blue >> 2);
        }
    }
}

bool WithinReach(uint32_t a, uint32_t b, int tolerance) {
    for (int shift = 0; shift < 24; shift += 8) {
        if (std::abs(static_cast<int>(a >> shift & 0xFF) - static_cast<int>(b >> shift & 0xFF)) > tolerance) {
            return false;
        }
    }
    return true;
}

int32_t Flatten(const std::string& input, const std::string& output, int tolerance) {
    quenvale::CallOptions options{false, tolerance};
    return quenvale::RunHostCall(quenvale_fuzz::Wide(input).c_str(), quenvale_fuzz::Wide(output).c_str(),
                                 quenvale::kNamedFilters[0], options, nullptr);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    quenvale_fuzz::MuteStandardOutput();
    inputPath = quenvale_fuzz::FuzzPath("large-in.bmp");
    outputPath = quenvale_fuzz::FuzzPath("large-out.bmp");
    againPath = quenvale_fuzz::FuzzPath("large-again.bmp");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Reader reader{data, size};
    uint32_t choice = reader.Next(1);
    // Mostly the exported call's tolerance, sometimes any other.
    int tolerance = choice < 160 ? quenvale::kColorTolerance : static_cast<int>((choice - 160) * 255 / 95);
    Layout layout;
    std::vector<uint8_t> input = Build(reader, &layout);
    quenvale_fuzz::Spill(inputPath, input.data(), input.size());
    int64_t counter = quenvale::AllocationCounter();
    Check(Flatten(inputPath, outputPath, tolerance) == ResultDone, "a well-formed bitmap flattens");
    Check(quenvale::AllocationCounter() == counter, "counter back where it was");
    std::vector<uint8_t> output = quenvale_fuzz::Slurp(outputPath);
    Check(output.size() == input.size(), "output length");
    Check(std::memcmp(output.data(), input.data(), layout.offset) == 0, "header bytes carried");
    for (uint32_t y = 0; y < layout.height; ++y) {
        size_t start = layout.offset + size_t{y} * layout.stride;
        for (uint32_t x = 0; x < layout.width; ++x) {
            Check(WithinReach(ColorAt(layout, &input[start], x), ColorAt(layout, &output[start], x), tolerance),
                  "every pixel within reach of its own colour");
        }
    }
    // Entries lie pairwise out of reach, so each reaches only itself.
    Check(Flatten(outputPath, againPath, tolerance) == ResultDone, "the output flattens");
    Check(quenvale_fuzz::Slurp(againPath) == output, "a second flatten changes nothing");
    return 0;
}
