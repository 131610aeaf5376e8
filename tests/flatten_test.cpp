// The first-fit flatten on grids.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <random>
#include <vector>

#include "ops/filters.h"
#include "test_support.h"

namespace quenvale_test {
namespace {

Image Flatten(const Image& image) {
    quenvale::PixelGrid source = GridFromImage(image);
    quenvale::PixelGrid destination = GridFromImage(image);
    EXPECT_EQ(quenvale::FlattenColors(source, destination, image.width, image.height), quenvale::StatusOk);
    Image result = ImageFromGrid(destination, image.width, image.height);
    std::free(source.pixels);
    std::free(destination.pixels);
    return result;
}

Image Row(std::initializer_list<Rgb> pixels) {
    Image image = MakeImage(static_cast<uint32_t>(pixels.size()), 1);
    image.pixels = pixels;
    return image;
}

TEST(IsNearColor, ToleranceOfTwentyIsInclusiveOnEveryChannel) {
    quenvale::PaletteEntry entry{Rgb{100, 0, 255}};
    EXPECT_TRUE(quenvale::IsNearColor(entry, Rgb{120, 20, 235}));
    EXPECT_TRUE(quenvale::IsNearColor(entry, Rgb{80, 0, 255}));
    EXPECT_FALSE(quenvale::IsNearColor(entry, Rgb{121, 0, 255}));
    EXPECT_FALSE(quenvale::IsNearColor(entry, Rgb{100, 21, 255}));
    EXPECT_FALSE(quenvale::IsNearColor(entry, Rgb{100, 0, 234}));
}

TEST(MatchPaletteEntry, OldestEntryWinsOverNearest) {
    quenvale::Palette palette{};
    EXPECT_EQ(&quenvale::MatchPaletteEntry(palette, Rgb{0, 0, 0}), &palette.entries[0]);
    EXPECT_EQ(&quenvale::MatchPaletteEntry(palette, Rgb{30, 0, 0}), &palette.entries[1]);
    // 15 from the first entry, 15 from the second: the older one.
    EXPECT_EQ(&quenvale::MatchPaletteEntry(palette, Rgb{15, 0, 0}), &palette.entries[0]);
    EXPECT_EQ(&quenvale::MatchPaletteEntry(palette, Rgb{29, 0, 0}), &palette.entries[1]);
    EXPECT_EQ(palette.count, 2u);
}

TEST(FlattenColors, ExamplesOfTheVisitingOrder) {
    auto grey = [](uint8_t v) { return Rgb{v, v, v}; };
    Image square = MakeImage(2, 2);
    square.At(0, 0) = grey(100);
    square.At(0, 1) = grey(121);
    square.At(1, 0) = grey(140);
    square.At(1, 1) = grey(0);
    Image flat = Flatten(square);
    // Column by column: 100, 121, then 140 joins 121 (a row-first visit would found 140).
    EXPECT_EQ(flat.At(0, 0).red, 100);
    EXPECT_EQ(flat.At(0, 1).red, 121);
    EXPECT_EQ(flat.At(1, 0).red, 121);
    EXPECT_EQ(flat.At(1, 1).red, 0);

    Image row = Row({{10, 20, 30}, {30, 40, 50}, {31, 41, 51}});
    EXPECT_TRUE(SameImage(Flatten(row), Row({{10, 20, 30}, {10, 20, 30}, {31, 41, 51}})));

    Image uniform = MakeImage(6, 5, Rgb{7, 200, 33});
    EXPECT_TRUE(SameImage(Flatten(uniform), uniform));

    Image gradient = MakeImage(1, 100);
    for (uint32_t y = 0; y < 100; ++y) {
        gradient.At(0, y) = grey(static_cast<uint8_t>(y));
    }
    Image bands = Flatten(gradient);
    for (uint32_t y = 0; y < 100; ++y) {
        EXPECT_EQ(bands.At(0, y).red, y / 21 * 21) << y;
    }
}

TEST(FlattenColors, EmptyGridsAreNotTouched) {
    quenvale::PixelGrid source{nullptr};
    quenvale::PixelGrid destination{nullptr};
    EXPECT_EQ(quenvale::FlattenColors(source, destination, 0, 2000000000), quenvale::StatusOk);
    EXPECT_EQ(quenvale::FlattenColors(source, destination, 2000000000, 0), quenvale::StatusOk);
}

TEST(FlattenColors, AgreesWithAPlainFirstFitWalkOnRandomImages) {
    std::mt19937 random(2024);
    std::uniform_int_distribution<uint32_t> size(1, 60);
    for (int round = 0; round < 60; ++round) {
        uint32_t width = round < 8 ? static_cast<uint32_t>(round) : size(random);
        uint32_t height = size(random);
        int levels = round % 3 == 0 ? 256 : round % 3 == 1 ? 12 : 4;
        Image image = RandomImage(random, width, height, levels);
        Image flat = Flatten(image);
        ASSERT_TRUE(SameImage(flat, ReferenceFlatten(image))) << width << "x" << height << " levels " << levels;
    }
}

Image Lattice(uint32_t width, uint32_t height, int step, uint32_t seed) {
    // Every lattice colour in some order, then colours within reach of many
    // entries at once: the case where first-fit and nearest part ways.
    std::mt19937 random(seed);
    Image image = MakeImage(width, height);
    std::uniform_int_distribution<int> jitter(-step, step);
    size_t i = 0;
    for (uint32_t x = 0; x < width; ++x) {
        for (uint32_t y = 0; y < height; ++y, ++i) {
            int r = int(i % 13) * step, g = int(i / 13 % 13) * step, b = int(i / 169 % 13) * step;
            if (i >= 2197) {
                r += jitter(random), g += jitter(random), b += jitter(random);
            }
            image.At(x, y) = Rgb{uint8_t(std::clamp(r, 0, 255)), uint8_t(std::clamp(g, 0, 255)),
                                 uint8_t(std::clamp(b, 0, 255))};
        }
    }
    return image;
}

Image Smooth(uint32_t width, uint32_t height, uint32_t seed) {
    std::mt19937 random(seed);
    std::uniform_int_distribution<int> grain(-4, 4);
    double fx = 0.02 + seed % 5 * 0.03, fy = 0.05 + seed % 3 * 0.04;
    Image image = MakeImage(width, height);
    for (uint32_t y = 0; y < height; ++y) {
        for (uint32_t x = 0; x < width; ++x) {
            auto wave = [&](double v) { return uint8_t(std::clamp(int(127 + 120 * std::sin(v)) + grain(random), 0, 255)); };
            image.At(x, y) = Rgb{wave(fx * x), wave(fy * y), wave(fx * x + fy * y)};
        }
    }
    return image;
}

TEST(FlattenColors, AgreesWithThePlainWalkOnFullPalettesAndSmoothImages) {
    for (uint32_t seed = 0; seed < 6; ++seed) {
        // Full lattices of 21 (the densest palette) and of 20 and 22 (entries
        // straddling the cells of the search).
        for (int step : {20, 21, 22}) {
            Image lattice = Lattice(64 + seed, 50 + 3 * seed, step, seed);
            ASSERT_TRUE(SameImage(Flatten(lattice), ReferenceFlatten(lattice))) << "lattice " << step << " " << seed;
        }
        Image smooth = Smooth(120 + 7 * seed, 90 + seed, seed);
        ASSERT_TRUE(SameImage(Flatten(smooth), ReferenceFlatten(smooth))) << "smooth " << seed;
    }
    // Uniform noise large enough to fill the palette.
    std::mt19937 random(9);
    Image noise = RandomImage(random, 211, 190);
    ASSERT_TRUE(SameImage(Flatten(noise), ReferenceFlatten(noise)));
}

// FlattenRows in place on rows laid out as a file lays them, padding and
// the spare bytes after the rows filled with a marker that must survive.
// The flatten in place on rows of 3-byte pixels or of 4-byte ones, whose
// fourth byte (set to a pattern) must come through untouched, as must the
// padding.
Image FlattenAsRows(const Image& image, int padding, int pixelBytes = 3) {
    size_t stride = size_t(pixelBytes) * image.width + static_cast<size_t>(padding);
    size_t rowsBytes = image.width == 0 ? 0 : stride * image.height;
    std::vector<uint8_t> rows(rowsBytes + quenvale::kRowImageSpareBytes, 0xA5);
    for (uint32_t y = 0; y < image.height; ++y) {
        for (uint32_t x = 0; x < image.width; ++x) {
            uint8_t* at = &rows[y * stride + size_t(pixelBytes) * x];
            at[0] = image.At(x, y).blue;
            at[1] = image.At(x, y).green;
            at[2] = image.At(x, y).red;
            if (pixelBytes == 4) {
                at[3] = static_cast<uint8_t>(x * 7 + y);
            }
        }
    }
    std::vector<uint8_t> before = rows;
    EXPECT_EQ(quenvale::FlattenRows(rows.data(), stride, image.width, image.height, quenvale::kColorTolerance, pixelBytes),
              quenvale::StatusOk);
    Image result = image;
    for (size_t i = 0; i < rows.size(); ++i) {
        size_t inRow = i < rowsBytes ? i % stride : stride;  // a row of no pixels has no stride
        bool color = inRow < size_t(pixelBytes) * image.width && inRow % pixelBytes < 3;
        if (!color && rows[i] != before[i]) {
            ADD_FAILURE() << "byte " << i << " outside the colours changed";
            break;
        }
    }
    for (uint32_t y = 0; y < image.height; ++y) {
        for (uint32_t x = 0; x < image.width; ++x) {
            const uint8_t* at = &rows[y * stride + size_t(pixelBytes) * x];
            result.At(x, y) = Rgb{at[2], at[1], at[0]};
        }
    }
    return result;
}

TEST(FlattenRows, AgreesWithThePlainWalkInPlaceOnPaddedRows) {
    std::mt19937 random(77);
    std::uniform_int_distribution<uint32_t> size(1, 40);
    for (int round = 0; round < 48; ++round) {
        uint32_t width = round < 8 ? static_cast<uint32_t>(round) : size(random);
        Image image = RandomImage(random, width, size(random), round % 2 == 0 ? 256 : 6);
        int padding = round % 4;
        ASSERT_TRUE(SameImage(FlattenAsRows(image, padding), ReferenceFlatten(image)))
            << image.width << "x" << image.height << " padding " << padding;
    }
    // Blocks of many columns (1000 rows: 65 to a block), of the sixteen
    // columns a tall image takes, and parts of a column longer than 2^22.
    const std::pair<uint32_t, uint32_t> shapes[] = {{150, 1000}, {20, 20000}, {1, (1u << 22) + 1000}};
    for (auto [width, height] : shapes) {
        Image image = RandomImage(random, width, height, width == 1 ? 2 : 5);
        Image expected = ReferenceFlatten(image);
        ASSERT_TRUE(SameImage(FlattenAsRows(image, 1), expected)) << width << "x" << height;
        ASSERT_TRUE(SameImage(FlattenAsRows(image, 2, 4), expected)) << width << "x" << height << ", 4 bytes";
    }
}

TEST(FlattenRows, FullPalettesFinishInRowOrderWithTheSameResult) {
    // The palette fills within the first block; the rest is then taken in
    // row order: the later columns of a wide image a row at a time, those
    // of a narrow one many rows at a time.
    for (auto shape : {std::pair<uint32_t, uint32_t>{400, 200}, {40, 5000}}) {
        for (int step : {21, 22}) {
            Image lattice = Lattice(shape.first, shape.second, step, 3);
            Image expected = ReferenceFlatten(lattice);
            ASSERT_TRUE(SameImage(FlattenAsRows(lattice, 2), expected)) << shape.first << "x" << shape.second;
            ASSERT_TRUE(SameImage(FlattenAsRows(lattice, 0, 4), expected)) << shape.first << "x" << shape.second;
            ASSERT_TRUE(SameImage(Flatten(lattice), expected));
        }
    }
    // The rest of a column longer than a block: the lattice, then colours
    // within reach of the first few entries only, so that the plain walk
    // stays quick.
    Image tall = MakeImage(1, (1u << 22) + 1000);
    for (uint32_t y = 0; y < tall.height; ++y) {
        uint32_t i = y < 2197 ? y : y % 5;
        uint8_t near = y < 2197 ? 0 : 5;
        tall.At(0, y) = Rgb{uint8_t(i % 13 * 21 + near), uint8_t(i / 13 % 13 * 21), uint8_t(i / 169 * 21)};
    }
    ASSERT_TRUE(SameImage(FlattenAsRows(tall, 1), ReferenceFlatten(tall)));
}

TEST(FlattenRows, RepeatsAndFreshColoursGiveTheSameResultInAnyMix) {
    // Bands of few colours (answered from the recent colours) between bands
    // of colours that seldom repeat, over more than 16 blocks, so that the
    // table is left and taken up again.
    std::mt19937 random(5);
    Image image = RandomImage(random, 1100, 1000, 4);
    Image smooth = Smooth(1100, 1000, 4);
    for (uint32_t y = 0; y < image.height; ++y) {
        for (uint32_t x = 300; x < 700; ++x) {
            image.At(x, y) = smooth.At(x, y);
        }
    }
    Image expected = ReferenceFlatten(image);
    ASSERT_TRUE(SameImage(FlattenAsRows(image, 0), expected));
    ASSERT_TRUE(SameImage(Flatten(image), expected));
}

TEST(FlattenPiece, EveryWayOfSearchingGivesThePlainWalksEntriesAtSmallTolerances) {
    // Colours crowded into the cube's corners and its middle, so that many
    // entries reach each colour (the oldest must win) and reaches are cut at
    // 0 and 255; repeats among them. A large image takes the table of every
    // colour, a small one the cells: both against the plain first-fit walk.
    std::mt19937 random(41);
    std::vector<uint32_t> colors(30000);
    for (uint32_t& color : colors) {
        uint32_t base = random() % 3 == 0 ? 0 : random() % 2 == 0 ? 120 : 236;
        color = 0;
        for (int shift = 0; shift < 24; shift += 8) {
            color |= (base + random() % 20) << shift;
        }
    }
    for (int tolerance : {1, 2, 3, 4, 5}) {
        std::vector<uint32_t> entries, expected;
        for (uint32_t color : colors) {
            auto within = [&](uint32_t entry) {
                for (int shift = 0; shift < 24; shift += 8) {
                    if (std::abs(int(entry >> shift & 0xFF) - int(color >> shift & 0xFF)) > tolerance) {
                        return false;
                    }
                }
                return true;
            };
            auto found = std::find_if(entries.begin(), entries.end(), within);
            expected.push_back(found == entries.end() ? color : *found);
            if (found == entries.end()) {
                entries.push_back(color);
            }
        }
        for (uint64_t pixels : {uint64_t{30000}, uint64_t{1} << 21}) {
            quenvale::CellIndex* index = quenvale::NewCellIndex(30000, tolerance, pixels);
            ASSERT_NE(index, nullptr);
            std::vector<uint32_t> piece = colors;
            quenvale::FlattenPiece(*index, piece.data(), piece.size());
            quenvale::FreeCellIndex(index);
            EXPECT_EQ(piece, expected) << "tolerance " << tolerance << ", " << pixels << " pixels";
        }
    }
}

}  // namespace
}  // namespace quenvale_test
