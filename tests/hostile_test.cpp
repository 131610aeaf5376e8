// Damaged and malicious files: every truncation and every header field set
// to boundary values, resource bounds, and the files the fuzzer has found.
#include <gtest/gtest.h>

#include <dirent.h>

#include <optional>

#include "quenvale.h"
#include "test_support.h"

namespace quenvale_test {
namespace {

// Runs the call on the bytes; checks the output against the expectation,
// or, on a refusal, that the output and the counter are as they were.
void CheckCase(const std::vector<uint8_t>& bytes) {
    std::string input = TempPath("in.bmp");
    std::string output = TempPath("out.bmp");
    WriteFile(input, bytes);
    WriteFile(output, {'o', 'l', 'd'});
    int64_t before = quenvale::AllocationCounter();
    quenvale::ResetPeakAllocatedBytes();
    CallRun run = RunQuenvale(input, output);
    EXPECT_EQ(quenvale::AllocationCounter(), before);
    EXPECT_LE(quenvale::PeakAllocatedBytes(), 2 * bytes.size() + (size_t{18} << 20));
    std::optional<std::vector<uint8_t>> expected = ExpectedFlatten(bytes);
    if (!expected) {
        ASSERT_EQ(run.result, ResultInputInvalid) << run.output;
        EXPECT_EQ(run.output.rfind("Could not read " + input + ": ", 0), 0u);
        EXPECT_EQ(ReadFile(output), (std::vector<uint8_t>{'o', 'l', 'd'}));
    } else {
        ASSERT_EQ(run.result, ResultDone) << run.output;
        EXPECT_EQ(ReadFile(output), *expected);
    }
}

std::vector<uint8_t> SmallBitmap() {
    std::mt19937 random(1);
    BitmapOptions options;
    options.tail = {0xAB, 0xCD};
    return EncodeBitmap(RandomImage(random, 3, 2, 5), options);  // stride 12, 80 bytes
}

TEST(Hostile, EveryTruncation) {
    std::vector<uint8_t> bytes = SmallBitmap();
    for (size_t length = 0; length <= bytes.size(); ++length) {
        SCOPED_TRACE(length);
        CheckCase(std::vector<uint8_t>(bytes.begin(), bytes.begin() + length));
    }
}

TEST(Hostile, EveryHeaderFieldAtBoundaryValues) {
    struct Field {
        size_t at;
        int width;
    };
    const Field fields[] = {{0, 1}, {1, 1}, {2, 4}, {6, 2}, {8, 2}, {10, 4}, {14, 4}, {18, 4}, {22, 4},
                            {26, 2}, {28, 2}, {30, 4}, {34, 4}, {38, 4}, {42, 4}, {46, 4}, {50, 4}};
    const uint32_t values[] = {0, 1, 0x7FFF, 0x8000, 0xFFFF, 0x7FFFFFFF, 0x80000000u, 0xFFFFFFFFu};
    std::vector<uint8_t> original = SmallBitmap();
    for (const Field& field : fields) {
        for (uint32_t value : values) {
            SCOPED_TRACE(testing::Message() << "field at " << field.at << " = " << value);
            std::vector<uint8_t> bytes = original;
            for (int i = 0; i < field.width; ++i) {
                bytes[field.at + i] = static_cast<uint8_t>(value >> (8 * i));
            }
            CheckCase(bytes);
        }
    }
}

std::vector<uint8_t> HeaderOnly(uint32_t width, uint32_t height, uint32_t offset, uint32_t imageSize) {
    std::vector<uint8_t> bytes = EncodeBitmap(MakeImage(0, 0));
    PutLe32(bytes, 10, offset);
    PutLe32(bytes, 18, width);
    PutLe32(bytes, 22, height);
    PutLe32(bytes, 34, imageSize);
    return bytes;
}

TEST(Hostile, ResourcesStayBoundedByTheFileSize) {
    // Zero-width rows of two billion: valid, and done without walking them.
    std::vector<uint8_t> tall = HeaderOnly(0, 2000000000, 54, 0);
    CheckCase(tall);
    // The same with three bytes of padding a row: the file would need 6 GB.
    CheckCase(HeaderOnly(0, 2000000000, 54, 0xFFFFFFFF));
    CheckCase(HeaderOnly(65536, 65536, 54, 0));
    CheckCase(HeaderOnly(1, 1, 0xFFFFFFF0u, 0));
    CheckCase(HeaderOnly(0x7FFFFFFF, 0x7FFFFFFF, 54, 0));
    CheckCase(HeaderOnly(0x7FFFFFFF, 0x80000001u, 54, 0));  // top-down, 2^31 - 1 rows
}

TEST(Hostile, FilesFoundByTheFuzzerAndHandMadeOnes) {
    std::string directory = QUENVALE_REGRESSIONS;
    DIR* folder = opendir(directory.c_str());
    ASSERT_NE(folder, nullptr) << directory;
    int replayed = 0;
    while (dirent* entry = readdir(folder)) {
        std::string name = entry->d_name;
        if (name.size() < 4 || name.substr(name.size() - 4) != ".bmp") {
            continue;
        }
        SCOPED_TRACE(name);
        CheckCase(ReadFile(directory + "/" + name));
        ++replayed;
    }
    closedir(folder);
    EXPECT_GT(replayed, 0);
}

}  // namespace
}  // namespace quenvale_test
