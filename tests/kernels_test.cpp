// The per-pixel kernels against plain restatements of their definitions,
// the kernels streamed over a file's rows and run on pictures in memory
// against them, and the host's filters on files.
#include <gtest/gtest.h>

#if !defined(_WIN32)
#include <sys/wait.h>
#endif

#include <algorithm>
#include <cstring>
#include <functional>

#include "call/entry.h"
#include "ops/filter_table.h"
#include "ops/kernel_picture.h"
#include "test_support.h"

namespace quenvale_test {
namespace {

using Restated = std::function<Rgb(const Image&, int, int)>;

int Sum(Rgb p) { return p.red + p.green + p.blue; }

Rgb RestatedBlur(const Image& image, int x, int y) {
    int count = 0;
    int red = 0, green = 0, blue = 0;
    for (int cx = x - 3; cx <= x + 3; ++cx) {
        for (int cy = y - 3; cy <= y + 3; ++cy) {
            if (cx >= 0 && cy >= 0 && cx < int(image.width) && cy < int(image.height)) {
                const Rgb& p = image.At(cx, cy);
                red += p.red;
                green += p.green;
                blue += p.blue;
                ++count;
            }
        }
    }
    return Rgb{uint8_t(red / count), uint8_t(green / count), uint8_t(blue / count)};
}

Rgb RestatedDarkest(const Image& image, int x, int y) {
    const Rgb centre = image.At(x, y);
    const Rgb* chosen = nullptr;
    int best = Sum(centre) + 255;  // only sums below this are eligible
    for (int cx = std::max(x - 2, 0); cx <= std::min(x + 2, int(image.width) - 1); ++cx) {
        for (int cy = std::max(y - 2, 0); cy <= std::min(y + 2, int(image.height) - 1); ++cy) {
            if ((cx != x || cy != y) && Sum(image.At(cx, cy)) < best) {
                best = Sum(image.At(cx, cy));
                chosen = &image.At(cx, cy);
            }
        }
    }
    return chosen != nullptr ? *chosen : centre;
}

struct Kernel {
    const char* name;  // the host's filter name
    quenvale::PixelKernel kernel;
    Restated restated;
};

const std::vector<Kernel>& Kernels() {
    auto mean = [](Rgb p) { return uint8_t(Sum(p) / 3); };
    static const std::vector<Kernel> kernels = {
        {"red", quenvale::KeepRedChannel,
         [](const Image& i, int x, int y) { return Rgb{i.At(x, y).red, 0, 0}; }},
        {"green", quenvale::KeepGreenChannel,
         [](const Image& i, int x, int y) { return Rgb{0, i.At(x, y).green, 0}; }},
        {"blue", quenvale::KeepBlueChannel,
         [](const Image& i, int x, int y) { return Rgb{0, 0, i.At(x, y).blue}; }},
        {"gray", quenvale::GrayscaleAverage,
         [mean](const Image& i, int x, int y) {
             uint8_t m = mean(i.At(x, y));
             return Rgb{m, m, m};
         }},
        {"threshold", quenvale::ThresholdBlackWhite,
         [mean](const Image& i, int x, int y) {
             uint8_t level = mean(i.At(x, y)) > 127 ? 255 : 0;
             return Rgb{level, level, level};
         }},
        {"blur", quenvale::BoxBlur7x7, RestatedBlur},
        {"darkest", quenvale::DarkestNeighbor5x5, RestatedDarkest},
    };
    return kernels;
}

Image Restate(const Kernel& kernel, const Image& image) {
    Image result = image;
    for (uint32_t y = 0; y < image.height; ++y) {
        for (uint32_t x = 0; x < image.width; ++x) {
            result.At(x, y) = kernel.restated(image, int(x), int(y));
        }
    }
    return result;
}

// How a kernel is run: through ForEachPixel on a grid, as the host's filter
// streams it over the rows of a 24-bit file, or on a picture in memory whose
// stored rows are the image's: 8-bit RGB, RGBA (each pixel's alpha must come
// back its own), or palette indices (the entries its colours, when they fit).
enum class Route { Grid, Streamed, PictureRgb, PictureRgba, PictureIndices };

const quenvale::NamedFilter& FilterNamed(const char* name) {
    const quenvale::NamedFilter* row = quenvale::FindNamedFilter(name);
    EXPECT_NE(row, nullptr) << name;
    return *row;
}

Image ApplyOnPicture(const Kernel& kernel, const Image& image, Route route) {
    quenvale::Picture source{};
    source.width = image.width;
    source.height = image.height;
    source.storage = route == Route::PictureIndices ? quenvale::StorageIndexed : quenvale::StorageRgb;
    source.bits = 8;
    source.alpha = route == Route::PictureRgba;
    uint32_t samples = route == Route::PictureIndices ? 1 : route == Route::PictureRgba ? 4 : 3;
    source.stride = size_t{image.width} * samples + 1;  // a spare byte, which stays
    std::vector<uint8_t> rows(source.stride * image.height + 4, 0xA5);
    source.rows = rows.data();
    auto alphaOf = [](uint32_t x, uint32_t y) { return uint8_t(x * 37 + y * 11); };
    for (uint32_t y = 0; y < image.height; ++y) {
        for (uint32_t x = 0; x < image.width; ++x) {
            const Rgb& p = image.At(x, y);
            uint8_t* at = source.rows + y * source.stride + size_t{x} * samples;
            uint32_t color = uint32_t{p.red} << 16 | uint32_t{p.green} << 8 | p.blue;
            if (route != Route::PictureIndices) {
                at[0] = p.red, at[1] = p.green, at[2] = p.blue;
                at[samples - 1] = samples == 4 ? alphaOf(x, y) : at[samples - 1];
                continue;
            }
            uint32_t index = uint32_t(std::find(source.palette, source.palette + source.paletteCount, color) -
                                      source.palette);
            if (index == source.paletteCount) {
                source.palette[source.paletteCount++] = color;
            }
            at[0] = uint8_t(index);
        }
    }
    quenvale::Picture result = source;
    quenvale::KernelResultForm form = quenvale::KernelResultFormOf(FilterNamed(kernel.name).kernel, source);
    uint32_t resultSamples = form == quenvale::ResultIndices ? 1 : form == quenvale::ResultRgba ? 4 : 3;
    result.stride = size_t{image.width} * resultSamples;
    std::vector<uint8_t> resultRows(result.stride * image.height + 4);
    result.rows = resultRows.data();
    EXPECT_EQ(quenvale::RunKernelOnPicture(FilterNamed(kernel.name).kernel, source, &result), quenvale::StatusOk);
    Image got = MakeImage(image.width, image.height);
    for (uint32_t y = 0; y < image.height; ++y) {
        EXPECT_EQ(source.rows[y * source.stride + source.stride - 1], 0xA5) << "the source is left alone";
        for (uint32_t x = 0; x < image.width; ++x) {
            const uint8_t* at = result.rows + y * result.stride + size_t{x} * resultSamples;
            uint32_t color = form == quenvale::ResultIndices ? result.palette[at[0]]
                                                              : uint32_t{at[0]} << 16 | uint32_t{at[1]} << 8 | at[2];
            got.At(x, y) = Rgb{uint8_t(color >> 16), uint8_t(color >> 8), uint8_t(color)};
            if (form == quenvale::ResultRgba) {
                EXPECT_EQ(at[3], alphaOf(x, y)) << "each pixel keeps its own alpha";
            }
        }
    }
    return got;
}

Image Apply(const Kernel& kernel, const Image& image, Route route) {
    if (route == Route::Streamed) {
        std::string input = TempPath("streamed-in.bmp");
        std::string output = TempPath("streamed-out.bmp");
        WriteFile(input, EncodeBitmap(image));
        EXPECT_EQ(RunFilter(input, output, kernel.name), ResultDone);
        return DecodeRows(ReadFile(output), image.width, image.height, 54, StandardPadding(image.width));
    }
    if (route != Route::Grid) {
        return ApplyOnPicture(kernel, image, route);
    }
    quenvale::PixelGrid source = GridFromImage(image);
    // Start the destination from garbage so unwritten pixels show.
    Image junk = image;
    for (Rgb& p : junk.pixels) {
        p = Rgb{13, 17, 19};
    }
    quenvale::PixelGrid destination = GridFromImage(junk);
    quenvale::ForEachPixel(kernel.kernel, source, destination, image.width, image.height);
    Image result = ImageFromGrid(destination, image.width, image.height);
    std::free(source.pixels);
    std::free(destination.pixels);
    return result;
}

TEST(Kernels, MatchTheirDefinitionsOnRandomImagesOfEveryShape) {
    std::mt19937 random(77);
    const std::pair<uint32_t, uint32_t> shapes[] = {{1, 1}, {1, 9}, {9, 1}, {2, 2}, {3, 5}, {5, 3}, {6, 7},
                                                    {8, 8}, {13, 11}, {40, 31}, {1, 40}, {57, 4}};
    for (auto [width, height] : shapes) {
        // Few levels make ties and ineligible neighbours common.
        for (int levels : {256, 3, 2}) {
            Image image = RandomImage(random, width, height, levels);
            for (const Kernel& kernel : Kernels()) {
                SCOPED_TRACE(testing::Message() << kernel.name << " " << width << "x" << height << " levels " << levels);
                Image expected = Restate(kernel, image);
                for (Route route : {Route::Grid, Route::Streamed, Route::PictureRgb, Route::PictureRgba}) {
                    ASSERT_TRUE(SameImage(Apply(kernel, image, route), expected)) << int(route);
                }
                if (levels < 256) {  // few enough colours for a palette
                    ASSERT_TRUE(SameImage(Apply(kernel, image, Route::PictureIndices), expected));
                }
            }
        }
    }
}

// A filter is one row of the table: each row but the flatten's is a point
// rule or a window operation with its per-pixel definition, and each is
// held here to a restatement of its own and streamed against it.
TEST(Kernels, EveryFilterRowHasItsRuleAndADifferentialCheck) {
    EXPECT_STREQ(quenvale::kNamedFilters[0].name, "flatten");
    EXPECT_EQ(quenvale::kNamedFilters[0].grid, nullptr);
    std::mt19937 random(12);
    Image image = RandomImage(random, 11, 9, 4);
    std::vector<std::string> names;
    for (const quenvale::NamedFilter* row : KernelFilters()) {
        SCOPED_TRACE(row->name);
        names.push_back(row->name);
        bool point = row->kernel.mapColor != nullptr;
        EXPECT_EQ(point, row->kernel.mapBytes != nullptr);
        EXPECT_EQ(point, row->kernel.window == quenvale::WindowNone);
        auto restated = std::find_if(Kernels().begin(), Kernels().end(),
                                     [&](const Kernel& kernel) { return std::strcmp(kernel.name, row->name) == 0; });
        ASSERT_NE(restated, Kernels().end()) << "no restatement of this filter's definition";
        EXPECT_EQ(restated->kernel, row->grid);
        ASSERT_TRUE(SameImage(Apply(*restated, image, Route::Streamed), Restate(*restated, image)));
    }
    EXPECT_EQ(names.size() + 1, quenvale::kNamedFilterCount);
    EXPECT_EQ(names.size(), Kernels().size());
}

TEST(Kernels, EmptyGridsVisitNothing) {
    quenvale::PixelGrid none{nullptr};
    for (const Kernel& kernel : Kernels()) {
        quenvale::ForEachPixel(kernel.kernel, none, none, 0, 2000000000);
        quenvale::ForEachPixel(kernel.kernel, none, none, 2000000000, 0);
    }
}

Rgb ApplyAt(quenvale::PixelKernel kernel, const Image& image, uint32_t x, uint32_t y) {
    Kernel wrapped{"", kernel, nullptr};
    return Apply(wrapped, image, Route::Grid).At(x, y);
}

TEST(Kernels, MeansTruncateAndThresholdSplitsAt127) {
    EXPECT_EQ(ApplyAt(quenvale::GrayscaleAverage, MakeImage(1, 1, Rgb{255, 255, 254}), 0, 0).green, 254);
    EXPECT_EQ(ApplyAt(quenvale::GrayscaleAverage, MakeImage(1, 1, Rgb{1, 1, 0}), 0, 0).green, 0);
    EXPECT_EQ(ApplyAt(quenvale::ThresholdBlackWhite, MakeImage(1, 1, Rgb{127, 127, 128}), 0, 0).red, 0);
    EXPECT_EQ(ApplyAt(quenvale::ThresholdBlackWhite, MakeImage(1, 1, Rgb{128, 128, 128}), 0, 0).red, 255);
}

TEST(Kernels, BlurWindowShrinksAtTheBorders) {
    // Only the 4 x 4 corner window holds the bright pixel once: 160 / 16.
    Image image = MakeImage(20, 20);
    image.At(3, 3) = Rgb{160, 0, 0};
    EXPECT_EQ(ApplyAt(quenvale::BoxBlur7x7, image, 0, 0).red, 10);
    EXPECT_EQ(ApplyAt(quenvale::BoxBlur7x7, image, 6, 6).red, 160 / 49);
    Image uniform = MakeImage(9, 4, Rgb{200, 100, 3});
    Kernel blur = Kernels()[5];
    EXPECT_TRUE(SameImage(Apply(blur, uniform, Route::Streamed), uniform));
}

TEST(Kernels, DarkestNeighbourEligibilityAndTies) {
    Image image = MakeImage(5, 5, Rgb{100, 100, 100});
    image.At(3, 1) = Rgb{10, 10, 10};
    image.At(1, 3) = Rgb{10, 10, 10};  // same sum, visited first (columns outer)
    image.At(1, 3).red = 11;
    image.At(1, 3).blue = 9;
    Rgb chosen = ApplyAt(quenvale::DarkestNeighbor5x5, image, 2, 2);
    EXPECT_EQ(chosen.red, 11);

    // Brighter by 254 in sum: still taken; by 255: never.
    Image bright = MakeImage(2, 1, Rgb{0, 0, 0});
    bright.At(1, 0) = Rgb{254, 0, 0};
    EXPECT_EQ(ApplyAt(quenvale::DarkestNeighbor5x5, bright, 0, 0).red, 254);
    bright.At(0, 0) = Rgb{0, 7, 0};
    bright.At(1, 0) = Rgb{255, 7, 0};
    EXPECT_EQ(ApplyAt(quenvale::DarkestNeighbor5x5, bright, 0, 0).green, 7);
    EXPECT_EQ(ApplyAt(quenvale::DarkestNeighbor5x5, bright, 0, 0).red, 0);  // kept its own colour
    EXPECT_EQ(ApplyAt(quenvale::DarkestNeighbor5x5, MakeImage(1, 1, Rgb{1, 2, 3}), 0, 0).blue, 3);
}

TEST(Kernels, StreamedFiltersTakeLittleMemoryAndGiveBackAllOfIt) {
    // A 24-bit file of 18 MB: a few rows at a time, whatever the kernel.
    std::mt19937 random(6);
    std::string input = TempPath("large.bmp");
    std::string output = TempPath("out.bmp");
    WriteFile(input, EncodeBitmap(RandomImage(random, 3000, 2000, 256)));
    for (const Kernel& kernel : Kernels()) {
        SCOPED_TRACE(kernel.name);
        quenvale::ResetPeakAllocatedBytes();
        EXPECT_EQ(RunFilter(input, output, kernel.name), ResultDone);
        EXPECT_LT(quenvale::PeakAllocatedBytes(), uint64_t{1} << 20);
    }
    // Every failed allocation is reported, and leaves the counter and the
    // output as they were: on 24-bit rows and on an RLE stream.
    RawBitmap rle;
    rle.bits = 8, rle.compression = 1, rle.width = 5, rle.height = 3;
    rle.palette = {10, 20, 30, 0, 200, 100, 50, 0};
    rle.pixels = {3, 1, 0, 0, 2, 0, 0, 1};
    for (const std::vector<uint8_t>& bytes : {EncodeBitmap(MakeImage(9, 9, Rgb{1, 2, 3})), EncodeRaw(rle)}) {
        WriteFile(input, bytes);
        for (const Kernel& kernel : Kernels()) {
            int failures = 0;
            for (int64_t countdown = 0;; ++countdown) {
                WriteFile(output, {'o', 'l', 'd'});
                quenvale::SetAllocationFailureCountdown(countdown);
                int32_t result = RunFilter(input, output, kernel.name);
                quenvale::SetAllocationFailureCountdown(-1);
                EXPECT_EQ(quenvale::AllocationCounter(), 0);
                if (result == ResultDone) {
                    break;
                }
                ++failures;
                EXPECT_EQ(result, ResultOutOfMemory) << kernel.name;
                EXPECT_EQ(ReadFile(output), (std::vector<uint8_t>{'o', 'l', 'd'}));
                ASSERT_LT(countdown, 40);
            }
            EXPECT_GE(failures, 3) << kernel.name;  // texts, format, and the filter's own storage
        }
    }
}

#if defined(QUENVALE_HOST_COMMAND)
TEST(Kernels, HostFiltersRunThroughTheWholePipeline) {
    std::mt19937 random(5);
    Image image = RandomImage(random, 11, 7, 256);
    BitmapOptions options;
    options.infoSize = 108;
    options.tail = {1, 2, 3};
    options.topDown = true;
    std::string input = TempPath("in.bmp");
    WriteFile(input, EncodeBitmap(image, options));
    for (const Kernel& kernel : Kernels()) {
        SCOPED_TRACE(kernel.name);
        std::string output = TempPath(std::string(kernel.name) + ".bmp");
        std::string command = std::string(QUENVALE_HOST_COMMAND) + " -v --filter " + kernel.name + " '" + input + "' '" +
                              output + "' > '" + TempPath("stdout") + "'";
        ASSERT_EQ(std::system(command.c_str()), 0);
        EXPECT_EQ(ReadFile(output), EncodeBitmap(Restate(kernel, image), options));
        std::vector<uint8_t> printed = ReadFile(TempPath("stdout"));
        int64_t size = 4 * 11 + 3 * 11 * 7;
        std::string lines = CounterLine(size) + CounterLine(2 * size) + CounterLine(size) + CounterLine(0);
        EXPECT_EQ(std::string(printed.begin(), printed.end()), lines);
    }
    // Refusals are the same for every filter.
    std::string refused = TempPath("refused.bmp");
    WriteFile(refused, {'B', 'M'});
    std::string command = std::string(QUENVALE_HOST_COMMAND) + " --filter blur '" + refused + "' '" +
                          TempPath("never.bmp") + "' >/dev/null 2>&1";
    int status = std::system(command.c_str());
    EXPECT_EQ(WEXITSTATUS(status), 1);
    EXPECT_FALSE(FileExists(TempPath("never.bmp")));
}
#endif

TEST(Kernels, NewBitmapsKeepTheRowOrderAndResolutionAndMaskedPixelsTheirOtherBits) {
    // A top-down 8-bit palette file with a resolution: the blur writes a new
    // 24-bit bitmap, top-down too, with that resolution and nothing after.
    RawBitmap palette;
    palette.bits = 8, palette.width = 5, palette.height = -3;
    palette.palette = {10, 20, 30, 0, 200, 100, 50, 0};
    palette.pixels = std::vector<uint8_t>(8 * 3, 1);
    std::vector<uint8_t> bytes = EncodeRaw(palette);
    PutLe32(bytes, 38, 1234);
    PutLe32(bytes, 42, 5678);
    bytes.insert(bytes.end(), {9, 9, 9});  // a tail the new bitmap does not carry
    PutLe32(bytes, 2, static_cast<uint32_t>(bytes.size()));
    std::string input = TempPath("in.bmp");
    std::string output = TempPath("out.bmp");
    WriteFile(input, bytes);
    ASSERT_EQ(RunFilter(input, output, "blur"), ResultDone);
    std::vector<uint8_t> blurred = ReadFile(output);
    ASSERT_EQ(blurred.size(), 54u + 16 * 3);
    EXPECT_EQ(GetLe32(blurred, 10), 54u);
    EXPECT_EQ(static_cast<int32_t>(GetLe32(blurred, 22)), -3);
    EXPECT_EQ(blurred[28], 24);
    EXPECT_EQ(GetLe32(blurred, 38), 1234u);
    EXPECT_EQ(GetLe32(blurred, 42), 5678u);
    EXPECT_EQ(blurred[54], 200);  // entry 1's blue, every pixel's
    // 1-5-5-5 with alpha: every colour map and window kernel keeps the top bit.
    RawBitmap alpha;
    alpha.bits = 16, alpha.compression = 6, alpha.width = 6, alpha.height = 4;
    alpha.masks = {0x7C00, 0x03E0, 0x001F, 0x8000};
    std::mt19937 random(9);
    for (int i = 0; i < 6 * 4 * 2; ++i) {
        alpha.pixels.push_back(static_cast<uint8_t>(random()));
    }
    bytes = EncodeRaw(alpha);
    WriteFile(input, bytes);
    for (const Kernel& kernel : Kernels()) {
        SCOPED_TRACE(kernel.name);
        ASSERT_EQ(RunFilter(input, output, kernel.name), ResultDone);
        std::vector<uint8_t> filtered = ReadFile(output);
        ASSERT_EQ(filtered.size(), bytes.size());
        for (size_t at = bytes.size() - 48 + 1; at < bytes.size(); at += 2) {
            EXPECT_EQ(filtered[at] & 0x80, bytes[at] & 0x80);
        }
    }
}

}  // namespace
}  // namespace quenvale_test
