// Bitmaps as other programs write them (ImageMagick, netpbm, Pillow), and
// ImageMagick as a second decoder of what the call writes. A writer that is
// not installed skips its case.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>

#include "quenvale.h"
#include "test_support.h"

namespace quenvale_test {
namespace {

bool Have(const std::string& probe) { return std::system((probe + " >/dev/null 2>&1").c_str()) == 0; }

void WritePpm(const std::string& path, const Image& image) {
    std::string head = "P6\n" + std::to_string(image.width) + " " + std::to_string(image.height) + "\n255\n";
    std::vector<uint8_t> bytes(head.begin(), head.end());
    for (const Rgb& pixel : image.pixels) {
        bytes.insert(bytes.end(), {pixel.red, pixel.green, pixel.blue});
    }
    WriteFile(path, bytes);
}

// Reads the P6 files that ImageMagick writes: a header of three numbers.
Image ReadPpm(const std::string& path) {
    std::vector<uint8_t> bytes = ReadFile(path);
    size_t at = 2;
    uint32_t numbers[3] = {};
    for (uint32_t& number : numbers) {
        while (at < bytes.size() && std::isspace(bytes[at])) {
            ++at;
        }
        while (at < bytes.size() && std::isdigit(bytes[at])) {
            number = number * 10 + (bytes[at++] - '0');
        }
    }
    ++at;
    Image image = MakeImage(numbers[0], numbers[1]);
    for (Rgb& pixel : image.pixels) {
        if (at + 3 > bytes.size()) {
            ADD_FAILURE() << "short PPM " << path;
            break;
        }
        pixel = Rgb{bytes[at], bytes[at + 1], bytes[at + 2]};
        at += 3;
    }
    return image;
}

Image FlipRows(const Image& image) {
    Image flipped = image;
    for (uint32_t y = 0; y < image.height; ++y) {
        for (uint32_t x = 0; x < image.width; ++x) {
            flipped.At(x, y) = image.At(x, image.height - 1 - y);
        }
    }
    return flipped;
}

Image PhotoLike(uint32_t width, uint32_t height) {
    std::mt19937 random(99);
    std::uniform_int_distribution<int> grain(-6, 6);
    Image image = MakeImage(width, height);
    for (uint32_t y = 0; y < height; ++y) {
        for (uint32_t x = 0; x < width; ++x) {
            auto channel = [&](int base) { return static_cast<uint8_t>(std::clamp(base + grain(random), 0, 255)); };
            image.At(x, y) = Rgb{channel(int(x * 255 / width)), channel(int(y * 255 / height)), channel(128)};
        }
    }
    return image;
}

// A writer's command with its %in and %out filled in.
std::string WriterCommand(const char* pattern, const std::string& input, const std::string& output) {
    std::string command = pattern;
    command.replace(command.find("%in"), 3, "'" + input + "'");
    command.replace(command.find("%out"), 4, "'" + output + "'");
    return command;
}

struct Writer {
    const char* name;
    const char* probe;
    const char* command;  // %in and %out
    uint32_t infoSize;
    bool imageSizeZero;
};

TEST(Writers, RealWritersFilesFlattenLikeThePlainWalk) {
#if defined(_WIN32)
    GTEST_SKIP() << "the writers are Linux programs";
#endif
    if (!Have("convert -version")) {
        GTEST_SKIP() << "ImageMagick is needed to decode the results";
    }
    const Writer writers[] = {
        {"ImageMagick BMP3", "convert -version", "convert %in -type TrueColor BMP3:%out", 40, false},
        {"ImageMagick BMP (V5)", "convert -version", "convert %in -type TrueColor BMP:%out", 124, false},
        {"netpbm", "ppmtobmp -version", "ppmtobmp -bpp=24 %in > %out", 40, true},
        {"Pillow", "/usr/bin/python3 -c 'import PIL'",
         "/usr/bin/python3 -c 'import sys; from PIL import Image; Image.open(sys.argv[1]).save(sys.argv[2], \"BMP\")' "
         "%in %out", 40, false},
    };
    Image source = PhotoLike(37, 23);  // rows of 111 bytes: one byte of padding
    std::string ppm = TempPath("source.ppm");
    WritePpm(ppm, source);
    for (const Writer& writer : writers) {
        SCOPED_TRACE(writer.name);
        if (!Have(writer.probe)) {
            std::printf("skipping %s: not installed\n", writer.name);
            continue;
        }
        std::string bmp = TempPath("written.bmp");
        std::string flat = TempPath("flat.bmp");
        std::string command = WriterCommand(writer.command, ppm, bmp);
        ASSERT_EQ(std::system(command.c_str()), 0) << command;
        std::vector<uint8_t> bytes = ReadFile(bmp);
        ASSERT_GE(bytes.size(), 54u);
        EXPECT_EQ(GetLe32(bytes, 14), writer.infoSize);
        EXPECT_EQ(GetLe32(bytes, 34) == 0, writer.imageSizeZero);

        CallRun run = RunQuenvale(bmp, flat);
        ASSERT_EQ(run.result, ResultDone) << run.output;
        std::vector<uint8_t> written = ReadFile(flat);
        ASSERT_EQ(written.size(), bytes.size());
        uint32_t offset = GetLe32(bytes, 10);
        EXPECT_TRUE(std::equal(bytes.begin(), bytes.begin() + offset, written.begin()));

        // Bottom-up files store the picture's last row first.
        std::string decoded = TempPath("flat.ppm");
        ASSERT_EQ(std::system(("convert '" + flat + "' '" + decoded + "'").c_str()), 0);
        Image expected = FlipRows(ReferenceFlatten(FlipRows(source)));
        EXPECT_TRUE(SameImage(ReadPpm(decoded), expected));
    }
}

// Twelve colours, so that every palette writer takes the picture as it is.
Image Posterized(uint32_t width, uint32_t height) {
    Image image = PhotoLike(width, height);
    for (Rgb& pixel : image.pixels) {
        pixel = Rgb{uint8_t(pixel.red / 86 * 120), uint8_t(pixel.green / 128 * 200), uint8_t(pixel.blue / 128 * 90)};
    }
    return image;
}

TEST(Writers, EveryEncodingTheyWriteFlattensLikeThePlainReading) {
#if defined(_WIN32)
    GTEST_SKIP() << "the writers are Linux programs";
#endif
    struct Encoding {
        const char* name;
        const char* probe;
        const char* command;  // %in and %out
        uint32_t infoSize;
        uint16_t bits;
        uint32_t compression;
    };
    const char* pillow = "/usr/bin/python3 -c 'import sys; from PIL import Image; "
                         "Image.open(sys.argv[1]).convert(sys.argv[3]).save(sys.argv[2], \"BMP\")' %in %out ";
    const std::string modes[] = {std::string(pillow) + "1", std::string(pillow) + "L", std::string(pillow) + "P",
                                 std::string(pillow) + "RGBA"};
    const Encoding encodings[] = {
        {"ImageMagick 4-bit palette", "convert -version", "convert %in -colors 12 BMP3:%out", 40, 4, 0},
        {"ImageMagick palette", "convert -version", "convert %in -type Palette BMP3:%out", 40, 4, 0},
        {"ImageMagick RLE8", "convert -version", "convert %in -type Palette -compress RLE BMP3:%out", 40, 8, 1},
        {"ImageMagick 1-bit", "convert -version", "convert %in -type Bilevel BMP3:%out", 40, 1, 0},
        {"ImageMagick OS/2", "convert -version", "convert %in -type Palette BMP2:%out", 12, 4, 0},
        {"ImageMagick alpha", "convert -version", "convert %in -alpha set BMP:%out", 124, 32, 3},
        {"ImageMagick 5-6-5", "convert -version", "convert %in -define bmp:subtype=RGB565 BMP:%out", 124, 16, 3},
        {"ImageMagick 5-5-5", "convert -version", "convert %in -define bmp:subtype=RGB555 BMP:%out", 124, 16, 3},
        {"netpbm 8-bit", "ppmtobmp -version", "ppmtobmp -bpp=8 %in > %out 2>/dev/null", 40, 8, 0},
        {"netpbm 4-bit", "ppmtobmp -version", "ppmtobmp -bpp=4 %in > %out 2>/dev/null", 40, 4, 0},
        {"netpbm OS/2", "ppmtobmp -version", "ppmtobmp -os2 %in > %out 2>/dev/null", 12, 4, 0},
        {"Pillow 1", "/usr/bin/python3 -c 'import PIL'", modes[0].c_str(), 40, 1, 0},
        {"Pillow L", "/usr/bin/python3 -c 'import PIL'", modes[1].c_str(), 40, 8, 0},
        {"Pillow P", "/usr/bin/python3 -c 'import PIL'", modes[2].c_str(), 40, 8, 0},
        {"Pillow RGBA", "/usr/bin/python3 -c 'import PIL'", modes[3].c_str(), 40, 32, 0},
    };
    std::string ppm = TempPath("source.ppm");
    WritePpm(ppm, Posterized(37, 23));
    for (const Encoding& encoding : encodings) {
        SCOPED_TRACE(encoding.name);
        if (!Have(encoding.probe)) {
            std::printf("skipping %s: not installed\n", encoding.name);
            continue;
        }
        std::string bmp = TempPath("written.bmp");
        std::string command = WriterCommand(encoding.command, ppm, bmp);
        ASSERT_EQ(std::system(command.c_str()), 0) << command;
        std::vector<uint8_t> bytes = ReadFile(bmp);
        ASSERT_GE(bytes.size(), 26u);
        bool core = GetLe32(bytes, 14) == 12;
        EXPECT_EQ(GetLe32(bytes, 14), encoding.infoSize);
        EXPECT_EQ(bytes[core ? 24 : 28], encoding.bits);
        EXPECT_EQ(core ? 0 : GetLe32(bytes, 30), encoding.compression);

        std::string flat = TempPath("flat.bmp");
        CallRun run = RunQuenvale(bmp, flat);
        ASSERT_EQ(run.result, ResultDone) << run.output;
        std::vector<uint8_t> written = ReadFile(flat);
        EXPECT_EQ(written.size(), bytes.size());
        std::optional<std::vector<uint8_t>> expected = ExpectedFlatten(bytes);
        ASSERT_TRUE(expected.has_value());
        EXPECT_EQ(written, *expected);
        // And a decoder of the writers' still reads the result (ImageMagick's,
        // where it is installed: Pillow's writers run without it).
        if (Have("convert -version")) {
            ASSERT_EQ(std::system(("convert '" + flat + "' '" + TempPath("flat.ppm") + "'").c_str()), 0);
        }
        // Every other filter takes the file too.
        for (const quenvale::NamedFilter* kernel : KernelFilters()) {
            ExpectKernelLikeThePlainReading(bytes, kernel->name, kernel->grid);
        }
    }
}

}  // namespace
}  // namespace quenvale_test
