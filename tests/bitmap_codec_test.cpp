// Header decoding and checks, row padding, grids and the row codec.
#include <gtest/gtest.h>

#include <cstring>

#include "test_support.h"

namespace quenvale_test {
namespace {

using quenvale::BitmapHeader;
using quenvale::RowLayout;

BitmapHeader Decode(const std::vector<uint8_t>& bytes) {
    BitmapHeader header;
    quenvale::DecodeBitmapHeader(bytes.data(), &header);
    return header;
}

TEST(BitmapHeader, DecodesLittleEndianFieldsByBytes) {
    std::vector<uint8_t> bytes(54);
    for (size_t i = 0; i < bytes.size(); ++i) {
        bytes[i] = static_cast<uint8_t>(i + 1);
    }
    BitmapHeader header = Decode(bytes);
    EXPECT_EQ(header.typeFirst, 1);
    EXPECT_EQ(header.typeSecond, 2);
    EXPECT_EQ(header.fileSize, 0x06050403u);
    EXPECT_EQ(header.reservedFirst, 0x0807);
    EXPECT_EQ(header.reservedSecond, 0x0A09);
    EXPECT_EQ(header.pixelOffset, 0x0E0D0C0Bu);
    EXPECT_EQ(header.infoSize, 0x1211100Fu);
    EXPECT_EQ(header.width, 0x16151413u);
    EXPECT_EQ(header.height, 0x1A191817u);
    EXPECT_EQ(header.planes, 0x1C1B);
    EXPECT_EQ(header.bitsPerPixel, 0x1E1D);
    EXPECT_EQ(header.compression, 0x2221201Fu);
    EXPECT_EQ(header.imageSize, 0x26252423u);
    EXPECT_EQ(header.horizontalResolution, 0x2A292827);
    EXPECT_EQ(header.verticalResolution, 0x2E2D2C2B);
    EXPECT_EQ(header.colorsUsed, 0x3231302Fu);
    EXPECT_EQ(header.importantColors, 0x36353433u);
    bytes[41] = 0xFF;  // the resolutions are signed
    EXPECT_EQ(Decode(bytes).horizontalResolution, static_cast<int32_t>(0xFF292827u));
}

TEST(BitmapHeader, RowPaddingComesFromTheImageSizeWhenItIsUsable) {
    struct Case {
        uint32_t width, height, imageSize;
        int32_t padding;
    };
    const Case cases[] = {
        {2, 2, 16, 2},            // image size / height - 3 * width
        {2, 2, 18, 3},            // unusual, but taken
        {2, 2, 17, 2},            // truncating division
        {1, 1, 4, 1},
        {2, 2, 0, 2},             // size 0: the 4-byte alignment
        {3, 2, 0, 3},
        {4, 1, 12, 0},
        {2, 2, 1000, 2},          // inconsistent: the alignment
        {2, 2, 8, 2},             // negative from the field: the alignment
        {2, 0xFFFFFFFEu, 16, 2},  // top-down: |height| rows
        {0, 5, 0, 0},
        {0x7FFFFFFFu, 1, 0, 3},
    };
    for (const Case& c : cases) {
        BitmapHeader header{};
        header.width = c.width;
        header.height = c.height;
        header.imageSize = c.imageSize;
        EXPECT_EQ(quenvale::RowPadding(header), c.padding) << c.width << "x" << c.height << " size " << c.imageSize;
    }
    BitmapHeader zeroHeight{};
    zeroHeight.imageSize = 16;
    zeroHeight.width = 1;
    EXPECT_EQ(quenvale::RowPadding(zeroHeight), 1);  // no division by zero
}

TEST(BitmapHeader, ChecksBoundTheRowsByTheFileLength) {
    std::vector<uint8_t> bytes = EncodeBitmap(MakeImage(3, 4));  // stride 12, rows 48
    BitmapHeader header = Decode(bytes);
    RowLayout rows{};
    char reason[96] = "";
    ASSERT_TRUE(quenvale::CheckBitmapHeader(header, 54 + 48, &rows, reason, sizeof reason)) << reason;
    EXPECT_EQ(rows.width, 3u);
    EXPECT_EQ(rows.rowCount, 4u);
    EXPECT_EQ(rows.padding, 3);
    EXPECT_EQ(rows.stride, 12u);
    EXPECT_EQ(rows.rowsEnd, 54u + 48);
    // The last row's padding may be missing; a pixel byte may not.
    EXPECT_TRUE(quenvale::CheckBitmapHeader(header, 54 + 45, &rows, reason, sizeof reason));
    EXPECT_FALSE(quenvale::CheckBitmapHeader(header, 54 + 44, &rows, reason, sizeof reason));
    EXPECT_STREQ(reason, "pixel data truncated");

    // Width 0 and a height of two billion: rows of no bytes fit any file.
    PutLe32(bytes, 18, 0);
    PutLe32(bytes, 22, 2000000000);
    PutLe32(bytes, 34, 0);
    header = Decode(bytes);
    ASSERT_TRUE(quenvale::CheckBitmapHeader(header, 54, &rows, reason, sizeof reason));
    EXPECT_EQ(rows.stride, 0u);
    // The largest width and height that pass the sign checks do not wrap.
    PutLe32(bytes, 18, 0x7FFFFFFF);
    PutLe32(bytes, 22, 0x7FFFFFFF);
    header = Decode(bytes);
    EXPECT_FALSE(quenvale::CheckBitmapHeader(header, UINT64_MAX / 2, &rows, reason, sizeof reason));
    EXPECT_STREQ(reason, "pixel data truncated");
    EXPECT_TRUE(quenvale::CheckBitmapHeader(header, UINT64_MAX, &rows, reason, sizeof reason));
    // The information-header size cannot wrap the offset check.
    PutLe32(bytes, 14, 0xFFFFFFFF);
    header = Decode(bytes);
    EXPECT_FALSE(quenvale::CheckBitmapHeader(header, UINT64_MAX, &rows, reason, sizeof reason));
    EXPECT_STREQ(reason, "pixel data offset 54 lies inside the headers");
}

TEST(PixelGrid, CounterTracksFourBytesPerColumnAndThreePerPixel) {
    int64_t before = quenvale::AllocationCounter();
    testing::internal::CaptureStdout();
    quenvale::PixelGrid grid = quenvale::AllocPixelGrid(5, 7);
    quenvale::PixelGrid empty = quenvale::AllocPixelGrid(0, 1000);
    ASSERT_NE(grid.pixels, nullptr);
    ASSERT_NE(empty.pixels, nullptr);
    EXPECT_EQ(quenvale::AllocationCounter(), before + 4 * 5 + 3 * 35);
    quenvale::FreePixelGrid(empty, 0, 1000);
    quenvale::FreePixelGrid(grid, 5, 7);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              CounterLine(before + 125) + CounterLine(before + 125) + CounterLine(before + 125) + CounterLine(before));

    // A failed allocation changes nothing and prints nothing.
    testing::internal::CaptureStdout();
    quenvale::SetAllocationFailureCountdown(0);
    EXPECT_EQ(quenvale::AllocPixelGrid(5, 7).pixels, nullptr);
    quenvale::SetAllocationFailureCountdown(-1);
    EXPECT_EQ(quenvale::AllocPixelGrid(0xFFFFFFFFu, 0xFFFFFFFFu).pixels, nullptr);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(quenvale::AllocationCounter(), before);
}

// Reads the rows of an encoded bitmap into a grid and writes them back.
struct RoundTrip {
    Image read;
    std::vector<uint8_t> written;
    int32_t readResult;
};

RoundTrip ReadAndWrite(const std::vector<uint8_t>& bytes, uint32_t width, uint32_t height, int padding) {
    std::string path = TempPath("rows.bmp");
    WriteFile(path, bytes);
    FILE* input = std::fopen(path.c_str(), "rb");
    FILE* output = std::tmpfile();
    testing::internal::CaptureStdout();
    quenvale::PixelGrid grid = quenvale::AllocPixelGrid(width, height);
    quenvale::RowBlock block = quenvale::AllocRowBlock(width, height, padding);
    RoundTrip trip;
    trip.readResult = quenvale::ReadPixelRows(input, grid, width, height, 54, padding, block);
    trip.read = ImageFromGrid(grid, width, height);
    EXPECT_EQ(quenvale::CopyHeaderBytes(bytes.data(), 54, output), ResultDone);
    EXPECT_EQ(quenvale::WritePixelRows(output, grid, width, height, padding, block), ResultDone);
    quenvale::FreeRowBlock(block);
    quenvale::FreePixelGrid(grid, width, height);
    testing::internal::GetCapturedStdout();
    std::fflush(output);
    std::rewind(output);
    int c;
    while ((c = std::fgetc(output)) != EOF) {
        trip.written.push_back(static_cast<uint8_t>(c));
    }
    std::fclose(output);
    std::fclose(input);
    return trip;
}

TEST(PixelRows, ReadAndWriteReproduceTheRows) {
    std::mt19937 random(1);
    // Small shapes of every padding class, rows spanning two 16 MiB blocks,
    // and a row longer than a block, which moves in pieces.
    const std::pair<uint32_t, uint32_t> shapes[] = {{1, 1}, {2, 3}, {3, 1}, {4, 2}, {5, 5}, {6, 1}, {7, 9},
                                                    {0, 3}, {6000, 940}, {5600001, 1}};
    for (auto [width, height] : shapes) {
        bool large = uint64_t{width} * height > 1000000;
        for (int padding : {StandardPadding(width), 3}) {
            if (large && padding == 3) {
                continue;  // one padding class is enough for the large shapes
            }
            SCOPED_TRACE(testing::Message() << width << "x" << height << " padding " << padding);
            Image image = RandomImage(random, width, height);
            BitmapOptions options;
            options.padding = padding;
            std::vector<uint8_t> bytes = EncodeBitmap(image, options);
            RoundTrip trip = ReadAndWrite(bytes, width, height, padding);
            EXPECT_EQ(trip.readResult, ResultDone);
            EXPECT_TRUE(SameImage(trip.read, image));
            EXPECT_EQ(trip.written, bytes);
        }
    }
}

TEST(PixelRows, ShortFileIsAReadFailure) {
    for (uint32_t width : {3u, 5600001u}) {
        Image image = MakeImage(width, 2);
        std::vector<uint8_t> bytes = EncodeBitmap(image);
        bytes.resize(bytes.size() - StandardPadding(width) - 1);
        EXPECT_EQ(ReadAndWrite(bytes, width, 2, StandardPadding(width)).readResult, ResultInputInvalid);
    }
}

TEST(RowImage, SizesThatDoNotFitAreRefusedBeforeAllocating) {
    size_t size = 0;
    ASSERT_TRUE(quenvale::RowImageSize(5, 3, 1, &size));
    EXPECT_EQ(size, 48u);
    ASSERT_TRUE(quenvale::RowImageSize(0, 2000000000, 3, &size));
    EXPECT_EQ(size, 0u);  // rows of padding alone take no memory
    // 3 * (2^31 - 1) + 3 bytes by 2^31 - 1 rows: past 32 bits, within 64.
    bool fits = quenvale::RowImageSize(0x7FFFFFFF, 0x7FFFFFFF, 3, &size);
    EXPECT_EQ(fits, sizeof(size_t) >= 8);
    if (fits) {
        EXPECT_EQ(uint64_t{size}, (3 * uint64_t{0x7FFFFFFF} + 3) * 0x7FFFFFFF);
    } else {
        EXPECT_EQ(quenvale::AllocRowImage(0x7FFFFFFF, 0x7FFFFFFF, 3).bytes, nullptr);
    }
}

}  // namespace
}  // namespace quenvale_test
