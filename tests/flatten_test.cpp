// The first-fit flatten on grids.
#include <gtest/gtest.h>

#include "filters.h"
#include "test_support.h"

namespace quenvale_test {
namespace {

Image Flatten(const Image& image) {
    quenvale::PixelGrid source = GridFromImage(image);
    quenvale::PixelGrid destination = GridFromImage(image);
    EXPECT_EQ(quenvale::FlattenColors(source, destination, image.width, image.height), ResultDone);
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
    EXPECT_EQ(quenvale::FlattenColors(source, destination, 0, 2000000000), ResultDone);
    EXPECT_EQ(quenvale::FlattenColors(source, destination, 2000000000, 0), ResultDone);
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

}  // namespace
}  // namespace quenvale_test
