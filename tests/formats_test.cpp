// Every encoding against the plain reading of the format: random pixels of
// every depth, palette and mask, every header kind, both row orders, and
// RLE streams with deltas, line ends, long runs and cuts.
#include <gtest/gtest.h>

#include <iterator>

#include <cstdlib>

#include "call/entry.h"
#include "quenvale.h"
#include "test_support.h"

namespace quenvale_test {
namespace {

std::vector<uint8_t> RandomBytes(std::mt19937& random, size_t count, int levels = 256) {
    std::vector<uint8_t> bytes(count);
    for (uint8_t& byte : bytes) {
        byte = static_cast<uint8_t>(random() % levels);
    }
    return bytes;
}

// Palette entries spread over few colours, so that entries gather pixels.
std::vector<uint8_t> RandomPalette(std::mt19937& random, uint32_t entries, uint32_t entryBytes) {
    std::vector<uint8_t> palette;
    for (uint32_t i = 0; i < entries * entryBytes; ++i) {
        palette.push_back(i % 4 == 3 ? 0 : static_cast<uint8_t>(random() % 5 * 50));
    }
    return palette;
}

// The host's flatten at another tolerance than the exported call's.
std::vector<uint8_t> FlattenAt(const std::string& input, int tolerance) {
    std::string output = TempPath("tolerance.bmp");
    quenvale::CallOptions options{false, tolerance};
    testing::internal::CaptureStdout();
    int32_t result = quenvale::RunHostCall(Utf16(input).c_str(), Utf16(output).c_str(), quenvale::kNamedFilters[0], options, nullptr);
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(result, ResultDone);
    return ReadFile(output);
}

void ExpectLikeThePlainReading(const std::vector<uint8_t>& bytes, const std::string& what) {
    SCOPED_TRACE(what);
    std::optional<std::vector<uint8_t>> expected = ExpectedFlatten(bytes);
    ASSERT_TRUE(expected.has_value()) << "the reference refuses it";
    std::string input = TempPath("in.bmp");
    std::string output = TempPath("out.bmp");
    WriteFile(input, bytes);
    CallRun run = RunQuenvale(input, output);
    ASSERT_EQ(run.result, ResultDone) << run.output;
    EXPECT_EQ(ReadFile(output), *expected);
    // The counter still counts the two grids of a width x height image.
    uint64_t width = GetLe32(bytes, 14) == 12 ? (bytes[18] | bytes[19] << 8) : GetLe32(bytes, 18);
    uint64_t rows = GetLe32(bytes, 14) == 12 ? (bytes[20] | bytes[21] << 8) : GetLe32(bytes, 22);
    rows = rows > 0x7FFFFFFF ? 0x100000000 - rows : rows;
    auto size = static_cast<int64_t>(4 * width + 3 * width * rows);
    int64_t before = quenvale::AllocationCounter();
    EXPECT_EQ(run.output, CounterLine(before + size) + CounterLine(before + 2 * size) + CounterLine(before + size) +
                              CounterLine(before));
    // And at one of a spread of other tolerances, taken in turn.
    static const int kTolerances[] = {0, 1, 2, 3, 8, 19, 21, 40, 64, 84, 85, 127, 255};
    static size_t turn = 0;
    int tolerance = kTolerances[turn++ % std::size(kTolerances)];
    EXPECT_EQ(FlattenAt(input, tolerance), *ExpectedFlatten(bytes, tolerance)) << "tolerance " << tolerance;
    // And one of the kernels, taken in turn, on pictures of a size to read plainly.
    static size_t kernelTurn = 0;
    static const std::vector<const quenvale::NamedFilter*> kernels = KernelFilters();
    const quenvale::NamedFilter* kernel = kernels[kernelTurn++ % kernels.size()];
    if (width * rows <= 4096) {
        ExpectKernelLikeThePlainReading(bytes, kernel->name, kernel->grid);
    }
}

TEST(Formats, AnyToleranceGivesThePlainWalksEntries) {
    std::mt19937 random(29);
    std::string input = TempPath("in.bmp");
    for (uint32_t levels : {4u, 40u, 256u}) {
        Image image = RandomImage(random, 61, 37, static_cast<int>(levels));
        std::vector<uint8_t> bytes = EncodeBitmap(image);
        WriteFile(input, bytes);
        for (int tolerance : {0, 1, 2, 3, 5, 8, 13, 20, 21, 33, 64, 84, 85, 100, 200, 254, 255}) {
            EXPECT_EQ(FlattenAt(input, tolerance), *ExpectedFlatten(bytes, tolerance))
                << levels << " levels, tolerance " << tolerance;
        }
    }
    // Large images below 5 take a table of every colour: 24-bit and 32-bit
    // pictures of 2.1 million pixels, few colours so the plain walk keeps up.
    Image large = RandomImage(random, 1450, 1450, 5);
    for (size_t i = 0; i < large.pixels.size(); i += 7) {
        large.pixels[i].green = static_cast<uint8_t>(large.pixels[i].green + i % 3);  // neighbours one apart
    }
    RawBitmap wide;
    wide.bits = 32, wide.width = 1450, wide.height = 1450;
    for (const Rgb& pixel : large.pixels) {
        wide.pixels.insert(wide.pixels.end(), {pixel.blue, pixel.green, pixel.red, 0x80});
    }
    for (const std::vector<uint8_t>& bytes : {EncodeBitmap(large), EncodeRaw(wide)}) {
        WriteFile(input, bytes);
        for (int tolerance : {1, 2, 3, 4}) {
            EXPECT_EQ(FlattenAt(input, tolerance), *ExpectedFlatten(bytes, tolerance))
                << bytes[28] << " bits, tolerance " << tolerance;
        }
    }
}

TEST(Formats, UncompressedDepthsMasksAndHeadersAgreeWithThePlainReading) {
    std::mt19937 random(17);
    struct Kind {
        uint32_t infoSize;
        uint16_t bits;
        uint32_t compression;
        std::vector<uint32_t> masks;
    };
    const Kind kinds[] = {
        {40, 1, 0, {}}, {40, 2, 0, {}}, {40, 4, 0, {}}, {40, 8, 0, {}}, {12, 1, 0, {}}, {12, 4, 0, {}},
        {12, 8, 0, {}}, {12, 24, 0, {}}, {16, 8, 0, {}}, {64, 4, 0, {}}, {20, 24, 0, {}}, {124, 8, 0, {}},
        {40, 16, 0, {}}, {40, 32, 0, {}}, {108, 16, 0, {}},
        {40, 16, 3, {0xF800, 0x07E0, 0x001F}},                   // 5-6-5
        {40, 16, 6, {0x7C00, 0x03E0, 0x001F, 0x8000}},           // 1-5-5-5 with alpha
        {56, 16, 3, {0x0F00, 0x00F0, 0x000F, 0xF000}},           // 4-4-4-4
        {40, 16, 3, {0xC000, 0x3800, 0x0000}},                   // 2-3-0: a zero mask
        {40, 32, 3, {0x3FF00000, 0x000FFC00, 0x000003FF}},       // 10-10-10-2
        {124, 32, 3, {0x00FF0000, 0x0000FF00, 0x000000FF, 0xFF000000}},
        {52, 32, 3, {0x000000FF, 0x0000FF00, 0x00FF0000}},       // RGBX
        {40, 32, 3, {0xFFFF0000, 0x00000001, 0x0000FFFE}},       // 16-1-15
    };
    for (const Kind& kind : kinds) {
        for (int round = 0; round < 6; ++round) {
            RawBitmap raw;
            raw.infoSize = kind.infoSize;
            raw.bits = kind.bits;
            raw.compression = kind.compression;
            raw.masks = kind.masks;
            raw.width = static_cast<int32_t>(1 + random() % 23);
            raw.height = static_cast<int32_t>(1 + random() % 9);
            if (round % 2 == 1 && kind.infoSize != 12 && kind.infoSize >= 40 && kind.infoSize != 64) {
                raw.height = -raw.height;  // top-down
            }
            uint32_t stride = (uint32_t(raw.width) * kind.bits + 31) / 32 * 4;
            // Few values, so that pixels share entries and founders matter.
            int levels = kind.bits <= 8 ? 256 : round < 3 ? 3 : 256;
            raw.pixels = RandomBytes(random, size_t{stride} * uint32_t(std::abs(raw.height)), levels);
            if (kind.bits <= 8) {
                uint32_t entries = round == 2 ? 1 + random() % (1u << kind.bits) : 1u << kind.bits;
                raw.colorsUsed = round == 2 ? entries : round == 4 ? 100000 : 0;
                raw.palette = RandomPalette(random, entries, kind.infoSize == 12 ? 3 : 4);
            }
            ExpectLikeThePlainReading(EncodeRaw(raw), testing::PrintToString(kind.infoSize) + " bytes, " +
                                                          std::to_string(kind.bits) + " bits, round " +
                                                          std::to_string(round));
        }
    }
}

// An RLE stream of random runs, line ends and deltas; pixels it leaves
// unset, runs past the row's end, and rows past the top included.
std::vector<uint8_t> RandomRleStream(std::mt19937& random, bool four, uint32_t width, uint32_t height) {
    std::vector<uint8_t> stream;
    uint32_t rows = 0;
    while (rows < height + 1 && stream.size() < 400) {
        switch (random() % 8) {
            case 0:
                stream.insert(stream.end(), {0, 0});
                ++rows;
                break;
            case 1:
                stream.insert(stream.end(), {0, 2, uint8_t(random() % 4), uint8_t(random() % 2)});
                break;
            case 2:
            case 3: {
                uint8_t count = uint8_t(3 + random() % (width + 4));
                stream.insert(stream.end(), {0, count});
                size_t bytes = four ? (count + 1) / 2 : count;
                for (size_t i = 0; i < bytes + bytes % 2; ++i) {
                    stream.push_back(uint8_t(random() % (four ? 256 : 12)));
                }
                break;
            }
            default:
                stream.insert(stream.end(), {uint8_t(1 + random() % (width + 2)), uint8_t(random() % (four ? 256 : 12))});
        }
    }
    if (random() % 2 == 0) {
        stream.insert(stream.end(), {0, 1});
    }
    return stream;
}

TEST(Formats, RleStreamsAgreeWithThePlainReading) {
    std::mt19937 random(23);
    for (bool four : {false, true}) {
        for (int round = 0; round < 60; ++round) {
            RawBitmap raw;
            raw.bits = four ? 4 : 8;
            raw.compression = four ? 2 : 1;
            raw.width = static_cast<int32_t>(1 + random() % 12);
            raw.height = static_cast<int32_t>(1 + random() % 6);
            raw.palette = RandomPalette(random, four ? 16 : 10, 4);  // RLE8: indices past the palette are black
            raw.pixels = RandomRleStream(random, four, uint32_t(raw.width), uint32_t(raw.height));
            if (round % 5 == 4) {
                raw.pixels.resize(random() % raw.pixels.size());  // cut anywhere
            }
            std::vector<uint8_t> bytes = EncodeRaw(raw);
            ExpectLikeThePlainReading(bytes, (four ? "RLE4 round " : "RLE8 round ") + std::to_string(round));
        }
    }
}

TEST(Formats, RleDeclaringAHugeImageCostsOnlyItsStream) {
    // 30000 x 30000 declared, three runs stored: the work and memory follow
    // the stream, not the area.
    RawBitmap raw;
    raw.bits = 8;
    raw.compression = 1;
    raw.width = 30000, raw.height = 30000;
    raw.palette = {0, 0, 0, 0, 200, 200, 200, 0};
    raw.pixels = {5, 1, 0, 2, 200, 200, 3, 0, 0, 0, 255, 1, 0, 1};
    std::vector<uint8_t> bytes = EncodeRaw(raw);
    quenvale::ResetPeakAllocatedBytes();
    ExpectLikeThePlainReading(bytes, "huge RLE8");
    EXPECT_LT(quenvale::PeakAllocatedBytes(), size_t{4} << 20);
    // So do the kernels: a colour map changes the palette alone; the blur
    // and the darkest neighbour, which would decode every declared pixel,
    // refuse a stream this sparse.
    std::string input = TempPath("huge.bmp");
    std::string output = TempPath("huge-out.bmp");
    WriteFile(input, bytes);
    for (const char* name : {"red", "blur", "darkest"}) {
        SCOPED_TRACE(name);
        quenvale::Failure failure{};
        int32_t result = RunFilter(input, output, name, &failure);
        if (std::string(name) == "red") {
            EXPECT_EQ(result, ResultDone);
            std::vector<uint8_t> expected = bytes;
            expected[54 + 4] = expected[54 + 5] = 0;  // entry 1 keeps its red alone
            EXPECT_EQ(ReadFile(output), expected);
            continue;
        }
        EXPECT_EQ(result, ResultInputInvalid);
        EXPECT_EQ(failure.status, quenvale::StatusUnsupported);
        char reason[quenvale::kReasonTextBytes];
        quenvale::FormatReason(failure, reason, sizeof reason);
        EXPECT_STREQ(reason, "30000 x 30000 pixels from an RLE stream of 14 bytes, more than the filter decodes "
                             "from so few");
    }
}

TEST(Formats, KernelsTake32BitPixelsAndCarryTheFourthByte) {
    RawBitmap raw;
    raw.bits = 32;
    raw.compression = 3;
    raw.infoSize = 56;
    raw.masks = {0x0000FF00, 0x00FF0000, 0xFF000000, 0x000000FF};  // alpha first, then blue, green, red
    raw.width = 3, raw.height = -2;
    std::mt19937 random(3);
    raw.pixels = RandomBytes(random, 24);
    std::vector<uint8_t> bytes = EncodeRaw(raw);
    std::string input = TempPath("in.bmp");
    std::string output = TempPath("out.bmp");
    WriteFile(input, bytes);
    testing::internal::CaptureStdout();
    int32_t result = quenvale::RunPipeline(Utf16(input).c_str(), Utf16(output).c_str(),
                                           *quenvale::FindNamedFilter("red"));
    testing::internal::GetCapturedStdout();
    ASSERT_EQ(result, ResultDone);
    std::vector<uint8_t> expected = bytes;
    for (size_t at = expected.size() - 24; at < expected.size(); at += 4) {
        expected[at + 2] = expected[at + 3] = 0;  // green and blue; red and alpha stay
    }
    EXPECT_EQ(ReadFile(output), expected);

    // Any masks: the bits outside them are carried too.
    raw.masks = {0xFFC00000, 0x003FF000, 0x00000FFC};
    bytes = EncodeRaw(raw);
    WriteFile(input, bytes);
    testing::internal::CaptureStdout();
    result = quenvale::RunPipeline(Utf16(input).c_str(), Utf16(output).c_str(), *quenvale::FindNamedFilter("blur"));
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(result, ResultDone);
    std::vector<uint8_t> blurred = ReadFile(output);
    ASSERT_EQ(blurred.size(), bytes.size());
    for (size_t at = bytes.size() - 24; at < bytes.size(); at += 4) {
        EXPECT_EQ(blurred[at] & 3, bytes[at] & 3);
    }
}

}  // namespace
}  // namespace quenvale_test
