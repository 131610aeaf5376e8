// Header decoding and checks, row padding, masks and palettes, grids and the row image.
#include <gtest/gtest.h>

#include <cstring>

#include "test_support.h"

namespace quenvale_test {
namespace {

using quenvale::BitmapHeader;

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

quenvale::BitmapFormat Parse(const std::vector<uint8_t>& bytes, uint64_t fileLength, bool* accepted,
                             std::string* reason) {
    quenvale::BitmapFormat format{};
    quenvale::Failure failure{};
    *accepted = quenvale::ParseBitmapFormat(bytes.data(), bytes.size(), fileLength, &format, &failure);
    char text[quenvale::kReasonTextBytes];
    quenvale::FormatReason(failure, text, sizeof text);
    *reason = text;
    return format;
}

TEST(BitmapHeader, ChecksBoundTheRowsByTheFileLength) {
    std::vector<uint8_t> bytes = EncodeBitmap(MakeImage(3, 4));  // stride 12, rows 48
    bool accepted = false;
    std::string reason;
    quenvale::BitmapFormat rows = Parse(bytes, 54 + 48, &accepted, &reason);
    ASSERT_TRUE(accepted) << reason;
    EXPECT_EQ(rows.width, 3u);
    EXPECT_EQ(rows.rowCount, 4u);
    EXPECT_EQ(rows.padding, 3);
    EXPECT_EQ(rows.stride, 12u);
    EXPECT_EQ(rows.rowsEnd, 54u + 48);
    // The last row's padding may be missing; a pixel byte may not.
    Parse(bytes, 54 + 45, &accepted, &reason);
    EXPECT_TRUE(accepted);
    Parse(bytes, 54 + 44, &accepted, &reason);
    EXPECT_FALSE(accepted);
    EXPECT_EQ(reason, "pixel data truncated");

    // Width 0 and a height of two billion: rows of no bytes fit any file.
    PutLe32(bytes, 18, 0);
    PutLe32(bytes, 22, 2000000000);
    PutLe32(bytes, 34, 0);
    rows = Parse(bytes, 54, &accepted, &reason);
    ASSERT_TRUE(accepted) << reason;
    EXPECT_EQ(rows.stride, 0u);
    // The largest width and height that pass the sign checks: two grids of
    // them pass the 64-bit counter, whatever the file holds.
    PutLe32(bytes, 18, 0x7FFFFFFF);
    PutLe32(bytes, 22, 0x7FFFFFFF);
    Parse(bytes, UINT64_MAX, &accepted, &reason);
    EXPECT_FALSE(accepted);
    EXPECT_EQ(reason, "2147483647 x 2147483647 pixels, too many to count");
    // A width of 2^31 - 1 does not wrap the row bounds.
    PutLe32(bytes, 22, 1000);
    Parse(bytes, 1000 * (3 * uint64_t{0x7FFFFFFF} + 3) - 1, &accepted, &reason);
    EXPECT_FALSE(accepted);
    EXPECT_EQ(reason, "pixel data truncated");
    // Rows that lie in the file but pass what a bitmap's 32-bit sizes can
    // describe are refused before anything is allocated.
    Parse(bytes, UINT64_MAX, &accepted, &reason);
    EXPECT_FALSE(accepted);
    EXPECT_EQ(reason, "6442450944000 bytes of pixel data, more than a bitmap holds (4 GiB - 1)");
    PutLe32(bytes, 22, 1);
    PutLe32(bytes, 18, 0x55555555);  // 4 GiB - 1 bytes and a padding byte
    Parse(bytes, UINT64_MAX, &accepted, &reason);
    EXPECT_EQ(reason, "4294967296 bytes of pixel data, more than a bitmap holds (4 GiB - 1)");
    PutLe32(bytes, 18, 0x55555554);
    rows = Parse(bytes, UINT64_MAX, &accepted, &reason);
    EXPECT_TRUE(accepted) << reason;
    EXPECT_EQ(rows.rowsEnd - rows.pixelOffset, uint64_t{UINT32_MAX} - 3);
    // The same at 1 bit per pixel, with a palette of two entries.
    std::vector<uint8_t> indexed = bytes;
    PutLe32(indexed, 18, 0x7FFFFFFF);
    indexed[28] = 1;
    PutLe32(indexed, 10, 62);
    indexed.resize(62);
    rows = Parse(indexed, UINT64_MAX, &accepted, &reason);
    EXPECT_TRUE(accepted) << reason;
    EXPECT_EQ(rows.stride, uint64_t{0x80000000u} / 8);
    EXPECT_EQ(rows.paletteCount, 2u);
}

TEST(BitmapHeader, EveryHeaderKindMasksAndPalettes) {
    // A 12-byte OS/2 header: 16-bit sizes, 3-byte palette entries.
    RawBitmap core;
    core.infoSize = 12;
    core.width = 3, core.height = 2, core.bits = 4;
    core.palette = {1, 2, 3, 4, 5, 6};
    core.pixels.assign(8, 0);
    bool accepted = false;
    std::string reason;
    std::vector<uint8_t> bytes = EncodeRaw(core);
    quenvale::BitmapFormat format = Parse(bytes, bytes.size(), &accepted, &reason);
    ASSERT_TRUE(accepted) << reason;
    EXPECT_EQ(format.width, 3u);
    EXPECT_EQ(format.rowCount, 2u);
    EXPECT_EQ(format.paletteCount, 2u);  // up to the pixel data, not 16
    EXPECT_EQ(format.palette[1], 0x060504u);

    // Masks: 5-6-5 and 10-10-10-2 read, overlapping or broken runs refused.
    RawBitmap masked;
    masked.width = 1, masked.height = 1, masked.bits = 16, masked.compression = 3;
    masked.masks = {0xF800, 0x07E0, 0x001F};
    masked.pixels.assign(4, 0);
    bytes = EncodeRaw(masked);
    format = Parse(bytes, bytes.size(), &accepted, &reason);
    ASSERT_TRUE(accepted) << reason;
    EXPECT_EQ(format.channels[1].shift, 5u);
    EXPECT_EQ(format.channels[1].bits, 6u);
    EXPECT_EQ(quenvale::ValueColor(format, 0xFFFF), 0xFFFFFFu);
    EXPECT_EQ(quenvale::ValueColor(format, 0x0821), 0x080408u);  // 1, 1, 1 widened
    masked.bits = 32;
    masked.masks = {0x3FF00000, 0x000FFC00, 0x000003FF};
    bytes = EncodeRaw(masked);
    format = Parse(bytes, bytes.size(), &accepted, &reason);
    ASSERT_TRUE(accepted) << reason;
    EXPECT_EQ(quenvale::ValueColor(format, 0xC0300C03u), 0x000000u);  // only the low bits set
    EXPECT_EQ(quenvale::ValueColor(format, 0x3FF00000u), 0xFF0000u);
    for (auto masks : {std::vector<uint32_t>{0xF800, 0x0FE0, 0x1F}, {0xF801, 0x07E0, 0x1E}, {0x1F0000, 0x7E0, 0x1F}}) {
        masked.bits = 16;
        masked.masks = masks;
        bytes = EncodeRaw(masked);
        Parse(bytes, bytes.size(), &accepted, &reason);
        EXPECT_FALSE(accepted) << masks[0];
        EXPECT_EQ(reason.rfind("unusable bit fields", 0), 0u) << reason;
    }
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
TEST(RowImage, SizesThatDoNotFitAreRefusedBeforeAllocating) {
    quenvale::BitmapFormat format{};
    format.width = 5, format.rowCount = 3, format.stride = 16, format.pixelOffset = 54;
    format.rowsEnd = 54 + 48;
    size_t size = 0;
    ASSERT_TRUE(quenvale::RowImageSize(format, &size));
    EXPECT_EQ(size, 48u);
    format.width = 0, format.stride = 3, format.rowCount = 2000000000, format.rowsEnd = 54 + 6000000000;
    ASSERT_TRUE(quenvale::RowImageSize(format, &size));
    EXPECT_EQ(size, 0u);  // rows of padding alone take no memory
    // 3 * (2^31 - 1) + 3 bytes by 4 rows: past 32 bits, within 64.
    format.width = 0x7FFFFFFF, format.rowCount = 4, format.stride = 3 * uint64_t{0x7FFFFFFF} + 3;
    format.rowsEnd = 54 + format.stride * format.rowCount;
    bool fits = quenvale::RowImageSize(format, &size);
    EXPECT_EQ(fits, sizeof(size_t) >= 8);
    if (fits) {
        EXPECT_EQ(uint64_t{size}, format.stride * 4);
    } else {
        EXPECT_EQ(quenvale::AllocRowImage(format).bytes, nullptr);
    }
    // Past what signed offsets reach, on every target.
    format.rowCount = 0x7FFFFFFF;
    format.rowsEnd = 54 + format.stride * format.rowCount;
    EXPECT_FALSE(quenvale::RowImageSize(format, &size));
}

TEST(Status, ReasonTextsFillInTheirNumbersAndStayInTheirBuffer) {
    auto text = [](const quenvale::Failure& failure, size_t size) {
        char buffer[quenvale::kReasonTextBytes];
        std::memset(buffer, 'x', sizeof buffer);
        quenvale::FormatReason(failure, buffer, size);
        EXPECT_EQ(buffer[size], 'x') << "wrote past its size";
        return std::string(buffer);
    };
    size_t whole = quenvale::kReasonTextBytes - 1;
    EXPECT_EQ(text(quenvale::FailWith(quenvale::StatusBadInput, quenvale::ReasonHeight, -2147483648LL), whole),
              "height -2147483648");
    EXPECT_EQ(text(quenvale::FailWith(quenvale::StatusBadInput, quenvale::ReasonUnusableMasks, 0xF800, 0x7E0,
                                      0xFFFFFFFF),
                   whole),
              "unusable bit fields (red 0000F800, green 000007E0, blue FFFFFFFF)");
    EXPECT_EQ(text(quenvale::FailWith(quenvale::StatusUnsupported, quenvale::ReasonTooManyToCount, 7, 9), whole),
              "7 x 9 pixels, too many to count");
    // Statuses without a reason of their own show their status's text.
    EXPECT_EQ(text(quenvale::FailWith(quenvale::StatusOutOfMemory, quenvale::ReasonNone), whole),
              "not enough memory");
    EXPECT_EQ(text(quenvale::FailWith(quenvale::StatusOutputWriteFailed, quenvale::ReasonNone), whole),
              "write error");
    // A small buffer takes what fits, ended.
    EXPECT_EQ(text(quenvale::FailWith(quenvale::StatusBadInput, quenvale::ReasonTruncated), 6), "pixel");
    EXPECT_EQ(text(quenvale::FailWith(quenvale::StatusBadInput, quenvale::ReasonTooLarge, 123456789), 4), "123");
}

}  // namespace
}  // namespace quenvale_test
