// The exported call end to end: result codes, standard output, and the
// files it writes or leaves alone.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <tuple>

#if !defined(_WIN32)
#include <sys/stat.h>
#include <unistd.h>
#endif

#include "base/temporary_name.h"
#include "call/entry.h"
#include "quenvale.h"
#include "test_support.h"

namespace quenvale_test {
namespace {

std::string Lines(std::initializer_list<int64_t> values) {
    std::string text;
    for (int64_t value : values) {
        text += CounterLine(value);
    }
    return text;
}

Image GreyExample() {
    // Stored rows: y = 0 holds 100, 140; y = 1 holds 121, 0.
    Image image = MakeImage(2, 2);
    auto grey = [](uint8_t v) { return Rgb{v, v, v}; };
    image.At(0, 0) = grey(100);
    image.At(1, 0) = grey(140);
    image.At(0, 1) = grey(121);
    image.At(1, 1) = grey(0);
    return image;
}

TEST(Entry, FlattensTheGreyExampleAndPrintsTheFourCounterLines) {
    std::string input = TempPath("in.bmp");
    std::string output = TempPath("out.bmp");
    std::vector<uint8_t> bytes = EncodeBitmap(GreyExample());
    WriteFile(input, bytes);
    int64_t before = quenvale::AllocationCounter();
    CallRun run = RunQuenvale(input, output);
    EXPECT_EQ(run.result, ResultDone);
    EXPECT_EQ(run.output, Lines({before + 20, before + 40, before + 20, before}));
    std::vector<uint8_t> written = ReadFile(output);
    ASSERT_EQ(written.size(), 70u);
    EXPECT_TRUE(std::equal(bytes.begin(), bytes.begin() + 54, written.begin()));
    std::vector<uint8_t> rows(written.begin() + 54, written.end());
    EXPECT_EQ(rows, (std::vector<uint8_t>{0x64, 0x64, 0x64, 0x79, 0x79, 0x79, 0, 0, 0x79, 0x79, 0x79, 0, 0, 0, 0, 0}));
}

TEST(Entry, OnePixelWithPaddingOfOne) {
    std::string input = TempPath("in.bmp");
    std::string output = TempPath("out.bmp");
    Image image = MakeImage(1, 1, Rgb{1, 2, 3});
    WriteFile(input, EncodeBitmap(image));
    CallRun run = RunQuenvale(input, output);
    EXPECT_EQ(run.result, ResultDone);
    EXPECT_EQ(run.output, Lines({7, 14, 7, 0}));
    std::vector<uint8_t> written = ReadFile(output);
    ASSERT_EQ(written.size(), 58u);
    EXPECT_EQ(std::vector<uint8_t>(written.end() - 4, written.end()), (std::vector<uint8_t>{3, 2, 1, 0}));
}

TEST(Entry, ThreeByOneCounterLines) {
    std::string input = TempPath("in.bmp");
    WriteFile(input, EncodeBitmap(MakeImage(3, 1)));
    EXPECT_EQ(RunQuenvale(input, TempPath("out.bmp")).output, Lines({21, 42, 21, 0}));
}

TEST(Entry, PathLengthCountsConvertedBytes) {
    // Relative names in the test's own folder, so that no shared folder is written.
    std::string folder = TempPath("short");
    ASSERT_TRUE(MakeDirectory(folder));
    std::filesystem::path before = std::filesystem::current_path();
    std::filesystem::current_path(folder);
    std::u16string never = Utf16(TempPath("never-written.bmp"));
    // Nine bytes: refused before the file system is asked, though the file exists.
    std::string nine = "q-nine.bm";
    ASSERT_EQ(nine.size(), 9u);
    WriteFile(nine, EncodeBitmap(MakeImage(1, 1)));
    CallRun tooShort = RunQuenvale(nine, TempPath("out.bmp"));
    EXPECT_EQ(tooShort.result, ResultPathTooShort);
    EXPECT_EQ(tooShort.output, "");
    EXPECT_FALSE(FileExists(TempPath("out.bmp")));

    // Ten bytes go on to the open.
    EXPECT_EQ(RunQuenvale("qv-ten.bmp", TempPath("out.bmp")).result, ResultInputOpenFailed);
    const char16_t unpaired[] = {u'a', u'b', u'c', u'd', u'e', u'f', u'g', u'h', u'i', 0xD800, u'e', 0};
#if defined(_WIN32)
    // The Western code page gives one byte per letter, and '?' for what it
    // cannot hold, an unpaired surrogate included.
    EXPECT_EQ(RunQuenvale(u"tmp\\\u00e9\u00e9\u00e9", never.c_str()).result, ResultPathTooShort);
    EXPECT_EQ(RunQuenvale(unpaired, never.c_str()).result, ResultInputOpenFailed);
#else
    // Eight code units but twelve UTF-8 bytes: long enough.
    EXPECT_EQ(RunQuenvale(u"tmp/\u00e9\u00e9\u00e9\u00e9", never.c_str()).result, ResultInputOpenFailed);
    // An unpaired surrogate does not convert, which leaves an empty path.
    EXPECT_EQ(RunQuenvale(unpaired, never.c_str()).result, ResultPathTooShort);
#endif
    EXPECT_EQ(RunQuenvale(nullptr, never.c_str()).result, ResultPathTooShort);
    std::filesystem::current_path(before);
}

#if !defined(_WIN32)
// The test writes its file through a narrow UTF-8 path; Windows has its own test.
TEST(Entry, NonAsciiAndLongPathsReachTheFile) {
    std::string directory = TempPath(std::string(200, 'd'));
    ASSERT_TRUE(MakeDirectory(directory));
    std::string input = directory + "/" + std::string(120, 'i') + "-\xc3\xa9t\xc3\xa9.bmp";  // "été"
    WriteFile(input, EncodeBitmap(MakeImage(2, 3, Rgb{9, 8, 7})));
    std::u16string wideInput = Utf16(input.substr(0, input.size() - 10)) + u"-\u00e9t\u00e9.bmp";
    std::u16string wideOutput = Utf16(TempPath("out.bmp"));
    CallRun run = RunQuenvale(wideInput.c_str(), wideOutput.c_str());
    EXPECT_EQ(run.result, ResultDone);
    EXPECT_EQ(ReadFile(TempPath("out.bmp")), ReadFile(input));
}
#endif

TEST(Entry, MissingInputLeavesTheOutputAlone) {
    std::string output = TempPath("out.bmp");
    CallRun run = RunQuenvale(TempPath("missing.bmp"), output);
    EXPECT_EQ(run.result, ResultInputOpenFailed);
    EXPECT_EQ(run.output, "Oof, the file failed to open, please try again");
    EXPECT_FALSE(FileExists(output));
}

TEST(Entry, UnopenableOutputIsNamedAsGiven) {
    std::string input = TempPath("in.bmp");
    WriteFile(input, EncodeBitmap(MakeImage(2, 2)));
    std::string directory = TempPath("no-such-dir");
    CallRun run = RunQuenvale(input, directory + "/out.bmp");
    EXPECT_EQ(run.result, ResultOutputOpenFailed);
    EXPECT_EQ(run.output, Lines({20, 40}) + "Could not open " + directory + "/out.bmp for writing" + Lines({20, 0}));

    CallRun null = RunQuenvale(Utf16(input).c_str(), nullptr);
    EXPECT_EQ(null.result, ResultOutputOpenFailed);
    EXPECT_EQ(null.output, Lines({20, 40}) + "Could not open  for writing" + Lines({20, 0}));
}

struct Refusal {
    const char* name;
    size_t at;         // byte to change, or SIZE_MAX to truncate to `value` bytes
    uint32_t value;
    int width;         // bytes written at `at`: 1, 2 or 4
    const char* reason;
    bool unsupported = false;  // a bitmap in a form that is not read, rather than a damaged one
};

TEST(Entry, RefusesUnreadableBitmapsWithoutTouchingTheOutput) {
    const Refusal refusals[] = {
        {"empty", SIZE_MAX, 0, 0, "file of 0 bytes is shorter than a bitmap header"},
        {"short header", SIZE_MAX, 53, 0, "file of 53 bytes is shorter than a bitmap header"},
        {"type", 0, 'X', 1, "not a BMP file"},
        {"unknown header", 14, 66, 4, "unsupported information header of 66 bytes", true},
        {"offset inside headers", 10, 53, 4, "pixel data offset 53 lies inside the headers"},
        {"8 bits without a palette", 28, 8, 2, "colour palette of no entries"},
        {"12 bits", 28, 12, 2, "12 bits per pixel", true},
        {"64 bits", 28, 64, 2, "64 bits per pixel", true},
        {"RLE8 on 24 bits", 30, 1, 4, "RLE8 compression on 24 bits per pixel"},
        {"RLE4 on 24 bits", 30, 2, 4, "RLE4 compression on 24 bits per pixel"},
        {"bitfields", 30, 3, 4, "bit fields on 24 bits per pixel"},
        {"JPEG", 30, 4, 4, "JPEG-compressed", true},
        {"PNG", 30, 5, 4, "PNG-compressed", true},
        {"unknown method", 30, 7, 4, "compressed pixel data (method 7)", true},
        {"height 0", 22, 0, 4, "height 0"},
        {"height -2^31", 22, 0x80000000u, 4, "height -2147483648"},
        {"negative width", 18, 0xFFFFFFFFu, 4, "width -1"},
        {"offset past end", 10, 0xFFFFFFF0u, 4, "pixel data offset 4294967280 past the end of the file"},
        {"tall", 22, 65536, 4, "pixel data truncated"},
        {"huge", 18, 65536, 4, "pixel data truncated"},
        {"truncated rows", SIZE_MAX, 54 + 16 + 6 - 1, 0, "pixel data truncated"},
    };
    std::vector<uint8_t> valid = EncodeBitmap(MakeImage(2, 3, Rgb{50, 60, 70}));
    std::string input = TempPath("in.bmp");
    std::string output = TempPath("out.bmp");
    for (const Refusal& refusal : refusals) {
        SCOPED_TRACE(refusal.name);
        std::vector<uint8_t> bytes = valid;
        if (refusal.at == SIZE_MAX) {
            bytes.resize(refusal.value);
        } else {
            for (int i = 0; i < refusal.width; ++i) {
                bytes[refusal.at + i] = static_cast<uint8_t>(refusal.value >> (8 * i));
            }
        }
        WriteFile(input, bytes);
        WriteFile(output, {'k', 'e', 'e', 'p'});
        int64_t before = quenvale::AllocationCounter();
        CallRun run = RunQuenvale(input, output);
        EXPECT_EQ(run.result, ResultInputInvalid);
        EXPECT_EQ(run.output, "Could not read " + input + ": " + refusal.reason);
        quenvale::Failure failure{};
        testing::internal::CaptureStdout();
        quenvale::RunHostCall(Utf16(input).c_str(), Utf16(output).c_str(), quenvale::kNamedFilters[0], {false, 20}, &failure);
        testing::internal::GetCapturedStdout();
        EXPECT_EQ(failure.status, refusal.unsupported ? quenvale::StatusUnsupported : quenvale::StatusBadInput);
        EXPECT_EQ(ReadFile(output), (std::vector<uint8_t>{'k', 'e', 'e', 'p'}));
        EXPECT_EQ(quenvale::AllocationCounter(), before);
    }
    // A refused input never creates the output either.
    std::string fresh = TempPath("fresh.bmp");
    EXPECT_EQ(RunQuenvale(input, fresh).result, ResultInputInvalid);
    EXPECT_FALSE(FileExists(fresh));
    // Nor is a directory read as a bitmap.
    EXPECT_EQ(RunQuenvale(TempPath("no-such-folder") + "/.", fresh).result, ResultInputOpenFailed);
    std::string folder = TempPath("folder");
    ASSERT_TRUE(MakeDirectory(folder));
    CallRun directory = RunQuenvale(folder, fresh);
#if defined(_WIN32)
    EXPECT_EQ(directory.result, ResultInputOpenFailed);  // Windows does not open a folder as a file
#else
    EXPECT_EQ(directory.result, ResultInputInvalid);
    EXPECT_EQ(directory.output, "Could not read " + folder + ": not a regular file");
#endif
}

TEST(Entry, ImageSizeZeroUsesTheRowAlignment) {
    std::mt19937 random(7);
    for (uint32_t width = 0; width < 8; ++width) {
        SCOPED_TRACE(width);
        Image image = RandomImage(random, width, 3, 4);
        BitmapOptions options;
        options.imageSizeField = 0;
        std::string input = TempPath("in.bmp");
        std::string output = TempPath("out.bmp");
        WriteFile(input, EncodeBitmap(image, options));
        ASSERT_EQ(RunQuenvale(input, output).result, ResultDone);
        std::vector<uint8_t> expected = EncodeBitmap(ReferenceFlatten(image), options);
        EXPECT_EQ(ReadFile(output), expected);
    }
}

TEST(Entry, PaddingFromTheImageSizeFieldIsKept) {
    // 2 x 2 with an image size of 18: three padding bytes, not two.
    Image image = GreyExample();
    BitmapOptions options;
    options.padding = 3;
    options.paddingByte = 0xEE;
    std::string input = TempPath("in.bmp");
    std::string output = TempPath("out.bmp");
    WriteFile(input, EncodeBitmap(image, options));
    ASSERT_EQ(RunQuenvale(input, output).result, ResultDone);
    options.paddingByte = 0;  // padding is written as zeros
    EXPECT_EQ(ReadFile(output), EncodeBitmap(ReferenceFlatten(image), options));
}

TEST(Entry, TopDownFilesGiveTheSamePictureAsBottomUpOnes) {
    // Stored rows are the picture's rows flipped; the call visits each
    // column from the picture's bottom row either way.
    std::mt19937 random(11);
    Image picture = RandomImage(random, 5, 4, 3);  // row 0 is the bottom row
    for (uint32_t y = 0; y < 4; ++y) {
        picture.At(0, y) = Rgb{uint8_t(100 + 15 * y), uint8_t(100 + 15 * y), uint8_t(100 + 15 * y)};
    }
    Image flipped = picture;
    for (uint32_t y = 0; y < 4; ++y) {
        for (uint32_t x = 0; x < 5; ++x) {
            flipped.At(x, y) = picture.At(x, 3 - y);
        }
    }
    BitmapOptions options;
    options.topDown = true;
    std::string input = TempPath("in.bmp");
    std::string output = TempPath("out.bmp");
    WriteFile(input, EncodeBitmap(flipped, options));
    CallRun run = RunQuenvale(input, output);
    EXPECT_EQ(run.result, ResultDone);
    int64_t size = 4 * 5 + 3 * 5 * 4;
    EXPECT_EQ(run.output, Lines({size, 2 * size, size, 0}));
    Image flat = ReferenceFlatten(picture);
    Image flatFlipped = flat;
    for (uint32_t y = 0; y < 4; ++y) {
        for (uint32_t x = 0; x < 5; ++x) {
            flatFlipped.At(x, y) = flat.At(x, 3 - y);
        }
    }
    EXPECT_EQ(ReadFile(output), EncodeBitmap(flatFlipped, options));
    EXPECT_FALSE(SameImage(ReferenceFlatten(flipped), flatFlipped));  // the order mattered here
}

TEST(Entry, HeaderBytesGapAndTailAreCarried) {
    std::mt19937 random(5);
    Image image = RandomImage(random, 3, 2, 5);
    BitmapOptions options;
    options.infoSize = 124;  // V5
    options.gap = 9;
    options.tail = {1, 2, 3, 4, 5, 6, 7};
    std::string input = TempPath("in.bmp");
    std::string output = TempPath("out.bmp");
    WriteFile(input, EncodeBitmap(image, options));
    ASSERT_EQ(RunQuenvale(input, output).result, ResultDone);
    EXPECT_EQ(ReadFile(output), EncodeBitmap(ReferenceFlatten(image), options));
}

TEST(Entry, MissingPaddingOfTheLastRowIsWritten) {
    Image image = MakeImage(1, 2, Rgb{4, 5, 6});
    std::vector<uint8_t> full = EncodeBitmap(image);
    std::vector<uint8_t> shortened(full.begin(), full.end() - 1);
    std::string input = TempPath("in.bmp");
    std::string output = TempPath("out.bmp");
    WriteFile(input, shortened);
    ASSERT_EQ(RunQuenvale(input, output).result, ResultDone);
    EXPECT_EQ(ReadFile(output), full);
}

TEST(Entry, InputAndOutputMayBeTheSameFile) {
    std::mt19937 random(3);
    Image image = RandomImage(random, 7, 5, 6);
    BitmapOptions options;
    options.tail = {9, 9};
    std::string path = TempPath("same.bmp");
    WriteFile(path, EncodeBitmap(image, options));
    ASSERT_EQ(RunQuenvale(path, path).result, ResultDone);
    EXPECT_EQ(ReadFile(path), EncodeBitmap(ReferenceFlatten(image), options));
}

TEST(Entry, TheHostsFlattenPrintsAndWritesAsTheCallDoes) {
    // The host's call runs the filter table's flatten entry with options of
    // its own; at the exported call's, it must give the same bytes and text.
    auto run = [](const std::vector<uint8_t>& file, bool exported) {
        std::string input = TempPath("in.bmp");
        std::string output = TempPath("out.bmp");
        WriteFile(input, file);
        WriteFile(output, {7});
        testing::internal::CaptureStdout();
        int32_t result = exported ? Quenvale(Utf16(input).c_str(), Utf16(output).c_str())
                                  : quenvale::RunHostCall(Utf16(input).c_str(), Utf16(output).c_str(),
                                                          *quenvale::FindNamedFilter("flatten"), {true, 20}, nullptr);
        std::string printed = testing::internal::GetCapturedStdout();
        return std::make_tuple(result, printed, ReadFile(output));
    };
    std::mt19937 random(21);
    std::vector<std::vector<uint8_t>> files;
    for (uint32_t width = 0; width < 6; ++width) {
        BitmapOptions options;
        options.topDown = width % 2 == 1;
        options.padding = width == 4 ? 3 : -1;
        options.paddingByte = 0xEE;
        options.gap = width;
        options.tail = std::vector<uint8_t>(width, 0x5A);
        files.push_back(EncodeBitmap(RandomImage(random, width, 3 + width, 5), options));
    }
    std::vector<uint8_t> shortened = EncodeBitmap(MakeImage(1, 2, Rgb{4, 5, 6}));
    shortened.pop_back();  // the last row's padding
    files.push_back(shortened);
    shortened.resize(58);  // the rows themselves
    files.push_back(shortened);
    for (size_t i = 0; i < files.size(); ++i) {
        EXPECT_EQ(run(files[i], true), run(files[i], false)) << "file " << i;
    }
}

#if !defined(_WIN32)
TEST(Entry, FailedWriteIsReported) {
    std::string input = TempPath("in.bmp");
    WriteFile(input, EncodeBitmap(MakeImage(2, 2)));
    CallRun run = RunQuenvale(input, "/dev/full");
    EXPECT_EQ(run.result, ResultOutputWriteFailed);
    EXPECT_EQ(run.output, Lines({20, 40}) + "Could not write /dev/full" + Lines({20, 0}));
}
#endif

TEST(Entry, EveryFailedAllocationIsReportedAndReleased) {
    std::string input = TempPath("in.bmp");
    std::string output = TempPath("out.bmp");
    BitmapOptions withTail;
    withTail.tail = {1};
    WriteFile(input, EncodeBitmap(MakeImage(3, 2, Rgb{1, 1, 1}), withTail));
    int failures = 0;
    for (int64_t countdown = 0;; ++countdown) {
        WriteFile(output, {'o', 'l', 'd'});
        quenvale::SetAllocationFailureCountdown(countdown);
        CallRun run = RunQuenvale(input, output);
        quenvale::SetAllocationFailureCountdown(-1);
        EXPECT_EQ(quenvale::AllocationCounter(), 0);
        if (run.result == ResultDone) {
            break;
        }
        ++failures;
        SCOPED_TRACE(countdown);
        EXPECT_EQ(run.result, ResultOutOfMemory);
        // Without memory for the input's text there is no name to print.
        std::string message = countdown == 0 ? "Not enough memory for " : "Not enough memory for " + input;
        EXPECT_NE(run.output.find(message), std::string::npos);
        EXPECT_EQ(ReadFile(output), (std::vector<uint8_t>{'o', 'l', 'd'}));
        ASSERT_LT(countdown, 100);
    }
    EXPECT_GE(failures, 8);  // texts, header, grids, buffers, palette
}

// Names in the folder that a call's temporary would take.
std::vector<std::string> Temporaries(const std::string& folder) {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
        std::string name = entry.path().filename().string();
        if (name.find(".quenvale-") != std::string::npos) {
            names.push_back(name);
        }
    }
    return names;
}

TEST(Entry, EveryFailedWriteStepLeavesTheOldOutputWhole) {
    std::string folder = TempPath("folder");
    ASSERT_TRUE(MakeDirectory(folder));
    BitmapOptions options;
    options.gap = 3;
    options.tail = {7, 7};
    std::vector<uint8_t> input = EncodeBitmap(MakeImage(3, 2, Rgb{1, 2, 3}), options);
    std::vector<uint8_t> old = {'o', 'l', 'd'};
    for (bool inPlace : {false, true}) {
        std::string inputPath = folder + "/in.bmp";
        std::string outputPath = inPlace ? inputPath : folder + "/out.bmp";
        const std::vector<uint8_t>& before = inPlace ? input : old;
        int failures = 0;
        for (int64_t countdown = 0;; ++countdown) {
            SCOPED_TRACE(countdown);
            WriteFile(inputPath, input);
            if (!inPlace) {
                WriteFile(outputPath, old);
            }
            quenvale::SetFileFailureCountdown(countdown);
            CallRun run = RunQuenvale(inputPath, outputPath);
            quenvale::SetFileFailureCountdown(-1);
            EXPECT_EQ(quenvale::AllocationCounter(), 0);
            EXPECT_EQ(Temporaries(folder), std::vector<std::string>{});
            if (run.result == ResultDone) {
                EXPECT_EQ(ReadFile(outputPath), *ExpectedFlatten(input));
                break;
            }
            ++failures;
            EXPECT_EQ(run.result, ResultOutputWriteFailed);
            EXPECT_EQ(run.output, Lines({30, 60}) + "Could not write " + outputPath + Lines({30, 0}));
            EXPECT_EQ(ReadFile(outputPath), before);
            ASSERT_LT(countdown, 20);
        }
        EXPECT_EQ(failures, 6);  // headers, rows, tail, flush, close, rename
    }
}

#if !defined(_WIN32)
TEST(Entry, ReplacedOutputKeepsItsModeAndLinks) {
    std::string input = TempPath("in.bmp");
    WriteFile(input, EncodeBitmap(MakeImage(2, 2, Rgb{9, 9, 9})));
    std::vector<uint8_t> result = *ExpectedFlatten(ReadFile(input));
    std::string output = TempPath("out.bmp");
    WriteFile(output, {'o', 'l', 'd'});
    ASSERT_EQ(chmod(output.c_str(), 0640), 0);
    ASSERT_EQ(RunQuenvale(input, output).result, ResultDone);
    struct stat status;
    ASSERT_EQ(stat(output.c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 07777, 0640u);
    EXPECT_EQ(ReadFile(output), result);

    // A symbolic link stays one, and its target gets the result; a hard
    // link's other name keeps the old content.
    std::string target = TempPath("target.bmp");
    std::string link = TempPath("link.bmp");
    std::string other = TempPath("other-name.bmp");
    WriteFile(target, {'o', 'l', 'd'});
    ASSERT_EQ(symlink(target.c_str(), link.c_str()), 0);
    ASSERT_EQ(::link(target.c_str(), other.c_str()), 0);
    ASSERT_EQ(RunQuenvale(input, link).result, ResultDone);
    ASSERT_EQ(lstat(link.c_str(), &status), 0);
    EXPECT_TRUE(S_ISLNK(status.st_mode));
    EXPECT_EQ(ReadFile(target), result);
    EXPECT_EQ(ReadFile(other), (std::vector<uint8_t>{'o', 'l', 'd'}));

    // A link to nothing yet: written through, so the link stays and its
    // target appears.
    std::string dangling = TempPath("dangling.bmp");
    std::string later = TempPath("later.bmp");
    ASSERT_EQ(symlink(later.c_str(), dangling.c_str()), 0);
    ASSERT_EQ(RunQuenvale(input, dangling).result, ResultDone);
    ASSERT_EQ(lstat(dangling.c_str(), &status), 0);
    EXPECT_TRUE(S_ISLNK(status.st_mode));
    EXPECT_EQ(ReadFile(later), result);

    // No regular file: written directly, never renamed over.
    CallRun null = RunQuenvale(input, "/dev/null");
    EXPECT_EQ(null.result, ResultDone);
    ASSERT_EQ(stat("/dev/null", &status), 0);
    EXPECT_TRUE(S_ISCHR(status.st_mode));
}

TEST(Entry, TemporaryIsPrivateAndTakesNoPlantedOrOverlongName) {
    std::string folder = TempPath("private");
    ASSERT_TRUE(MakeDirectory(folder));
    std::string input = folder + "/in.bmp";
    WriteFile(input, EncodeBitmap(MakeImage(2, 2, Rgb{9, 9, 9})));
    std::vector<uint8_t> result = *ExpectedFlatten(ReadFile(input));
    struct stat status;

    // 0600 before any byte is written, whatever the umask; a new output
    // then gets what an open for writing would have given it.
    mode_t mask = umask(0);
    FILE* in = std::fopen(input.c_str(), "rb");
    quenvale::OutputFile output{};
    quenvale::Failure failure{};
    std::string fresh = folder + "/fresh.bmp";
    ASSERT_TRUE(quenvale::OpenOutput(nullptr, fresh.c_str(), in, &output, &failure));
    ASSERT_EQ(fstat(fileno(output.stream), &status), 0);
    EXPECT_EQ(status.st_mode & 07777, 0600u);
    quenvale::AbandonOutput(output);
    std::fclose(in);
    EXPECT_EQ(Temporaries(folder), std::vector<std::string>{});
    ASSERT_EQ(RunQuenvale(input, fresh).result, ResultDone);
    umask(mask);
    ASSERT_EQ(stat(fresh.c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 07777, 0666u);

    // Names already taken, one by a link that points out of the folder:
    // the call moves on to a fresh name and follows no link.
    std::string outside = TempPath("outside.bmp");
    WriteFile(outside, {'s', 'e', 'c', 'r', 'e', 't'});
    char16_t name[64];
    std::string taken[2];
    for (int i = 0; i < 2; ++i) {
        quenvale::ComposeTemporaryName(u"out.bmp", 7, quenvale::kWholeName, quenvale::MixBits(i), name);
        taken[i] = folder + "/" + std::string(name, name + std::char_traits<char16_t>::length(name));
    }
    ASSERT_EQ(symlink(outside.c_str(), taken[0].c_str()), 0);
    WriteFile(taken[1], {'x'});
    quenvale::FixTemporaryNames(true);
    CallRun planted = RunQuenvale(input, folder + "/out.bmp");
    quenvale::FixTemporaryNames(false);
    EXPECT_EQ(planted.result, ResultDone);
    EXPECT_EQ(ReadFile(folder + "/out.bmp"), result);
    EXPECT_EQ(ReadFile(outside), (std::vector<uint8_t>{'s', 'e', 'c', 'r', 'e', 't'}));
    EXPECT_EQ(ReadFile(taken[1]), std::vector<uint8_t>{'x'});
    ASSERT_EQ(lstat(taken[0].c_str(), &status), 0);
    EXPECT_TRUE(S_ISLNK(status.st_mode));
    unlink(taken[0].c_str());
    unlink(taken[1].c_str());

    // Names that leave the suffix no room get a shorter temporary, never a
    // direct write: the old output survives a failed write.
    for (size_t length : {250, 255}) {
        SCOPED_TRACE(length);
        std::string longName = folder + "/" + std::string(length - 4, 'n') + ".bmp";
        WriteFile(longName, {'o', 'l', 'd'});
        quenvale::SetFileFailureCountdown(1);
        EXPECT_EQ(RunQuenvale(input, longName).result, ResultOutputWriteFailed);
        quenvale::SetFileFailureCountdown(-1);
        EXPECT_EQ(ReadFile(longName), (std::vector<uint8_t>{'o', 'l', 'd'}));
        EXPECT_EQ(RunQuenvale(input, longName).result, ResultDone);
        EXPECT_EQ(ReadFile(longName), result);
        EXPECT_EQ(Temporaries(folder), std::vector<std::string>{});
    }
}

TEST(Entry, PipesAndHugeSparseFilesAreRefusedAtOnce) {
    // A pipe with no writer would hold an open for reading forever.
    std::string fifo = TempPath("pipe.bmp");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    CallRun pipe = RunQuenvale(fifo, TempPath("out.bmp"));
    EXPECT_EQ(pipe.result, ResultInputInvalid);
    EXPECT_EQ(pipe.output, "Could not read " + fifo + ": not a regular file");

    // 1 x 2147483647 rows of 4 bytes: 8 GiB that the file holds, as zeros.
    std::string sparse = TempPath("sparse.bmp");
    std::vector<uint8_t> header = EncodeBitmap(MakeImage(1, 1));
    header.resize(54);
    PutLe32(header, 22, 0x7FFFFFFF);
    PutLe32(header, 34, 0);
    WriteFile(sparse, header);
    ASSERT_EQ(truncate(sparse.c_str(), 54 + 4 * off_t{0x7FFFFFFF}), 0);
    quenvale::ResetPeakAllocatedBytes();
    CallRun huge = RunQuenvale(sparse, TempPath("out.bmp"));
    EXPECT_EQ(huge.result, ResultInputInvalid);
    EXPECT_EQ(huge.output, "Could not read " + sparse +
                               ": 8589934588 bytes of pixel data, more than a bitmap holds (4 GiB - 1)");
    EXPECT_LT(quenvale::PeakAllocatedBytes(), 1u << 20);
    EXPECT_FALSE(FileExists(TempPath("out.bmp")));
}
#endif

TEST(Entry, CounterBeyondThirtyTwoBits) {
    // Grids of no rows hold no pixels, but their column slots still count.
    const uint32_t width = 0x30000000;
    int64_t slots = 4 * int64_t{width};
    testing::internal::CaptureStdout();
    quenvale::PixelGrid first = quenvale::AllocPixelGrid(width, 0);
    quenvale::PixelGrid second = quenvale::AllocPixelGrid(width, 0);
    quenvale::FreePixelGrid(first, width, 0);
    quenvale::FreePixelGrid(second, width, 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              Lines({slots, 2 * slots, slots, 0}));
    EXPECT_EQ(CounterLine(2 * slots), "Current amount of memory allocated: 6442450944 bytes\n\n");
}

TEST(Entry, OneUtf8CodecForPathsBothWays) {
    const std::u16string texts[] = {u"plain.bmp", u"\u00e9t\u00e9/\u4e2d\u6587.bmp", u"\U0001F600.bmp", u""};
    for (const std::u16string& text : texts) {
        std::vector<char> bytes(3 * text.size() + 1);
        ASSERT_TRUE(quenvale::EncodeUtf8(text.c_str(), bytes.data()));
        std::vector<char16_t> units(std::strlen(bytes.data()) + 1);
        size_t count = 0;
        ASSERT_TRUE(quenvale::DecodeUtf8(bytes.data(), units.data(), &count));
        EXPECT_EQ(std::u16string(units.data(), count), text);
    }
    // Malformed: overlong, a surrogate, past U+10FFFF, cut short, a stray
    // continuation byte.
    for (const char* bad : {"\xC0\x80", "\xED\xA0\x80", "\xF4\x90\x80\x80", "a\xE4\xB8", "\x80"}) {
        char16_t units[8];
        size_t count = 0;
        EXPECT_FALSE(quenvale::DecodeUtf8(bad, units, &count)) << bad;
    }
    const char16_t unpaired[] = {u'a', 0xDC00, 0};
    char bytes[8];
    EXPECT_FALSE(quenvale::EncodeUtf8(unpaired, bytes));
}

TEST(Entry, TemporaryNamesFitTheFileSystemAndKeepCharactersWhole) {
    // A long name of three-byte characters: the cut keeps whole characters,
    // and two names sharing the kept prefix still differ by their hash.
    std::string name;
    while (name.size() < 300) {
        name += "\xe4\xb8\xad";
    }
    std::string other = name + "x";
    std::vector<char> first(name.size() + quenvale::kTemporaryNameExtra);
    std::vector<char> second(other.size() + quenvale::kTemporaryNameExtra);
    ASSERT_EQ(quenvale::FirstTemporaryNameForm(name.size()), quenvale::kCutName);
    size_t length = quenvale::ComposeTemporaryName(name.c_str(), name.size(), quenvale::kCutName, 7, first.data());
    quenvale::ComposeTemporaryName(other.c_str(), other.size(), quenvale::kCutName, 7, second.data());
    EXPECT_LE(length, quenvale::kLongestFileName);
    EXPECT_NE(std::string(first.data()), std::string(second.data()));
    std::string cut(first.data() + 1, std::strchr(first.data(), '~'));
    EXPECT_EQ(cut.size() % 3, 0u);
    EXPECT_EQ(name.compare(0, cut.size(), cut), 0);
    // The whole name where it fits, and a hash alone as the last resort.
    char whole[64];
    quenvale::ComposeTemporaryName("out.bmp", 7, quenvale::kWholeName, 0, whole);
    EXPECT_EQ(std::string(whole).rfind(".out.bmp.quenvale-", 0), 0u);
    char hashed[64];
    EXPECT_EQ(quenvale::ComposeTemporaryName("out.bmp", 7, quenvale::kHashOnly, 0, hashed), 30u);
    EXPECT_EQ(hashed[0], '.');
    EXPECT_EQ(hashed[1], '~');
}

}  // namespace
}  // namespace quenvale_test
