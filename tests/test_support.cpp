#include "test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "call/entry.h"
#include "quenvale.h"

#if defined(_WIN32)
#include <direct.h>
#include <process.h>
#else
#include <sys/stat.h>
#endif

namespace quenvale_test {

Image MakeImage(uint32_t width, uint32_t height, Rgb fill) {
    Image image;
    image.width = width;
    image.height = height;
    image.pixels.assign(size_t{width} * height, fill);
    return image;
}

Image RandomImage(std::mt19937& random, uint32_t width, uint32_t height, int levels) {
    Image image = MakeImage(width, height);
    std::uniform_int_distribution<int> channel(0, levels - 1);
    int step = 255 / (levels > 1 ? levels - 1 : 1);
    for (Rgb& pixel : image.pixels) {
        pixel = Rgb{static_cast<uint8_t>(channel(random) * step), static_cast<uint8_t>(channel(random) * step),
                    static_cast<uint8_t>(channel(random) * step)};
    }
    return image;
}

int StandardPadding(uint32_t width) { return static_cast<int>((4 - (3 * uint64_t{width}) % 4) % 4); }

std::vector<uint8_t> EncodeBitmap(const Image& image, const BitmapOptions& options) {
    int padding = options.padding >= 0 ? options.padding : StandardPadding(image.width);
    uint32_t stride = 3 * image.width + static_cast<uint32_t>(padding);
    quenvale_writer::BitmapFields fields;
    fields.infoSize = options.infoSize;
    fields.width = static_cast<int32_t>(image.width);
    fields.height = static_cast<int32_t>(options.topDown ? 0u - image.height : image.height);
    fields.imageSize = options.imageSizeField >= 0 ? options.imageSizeField : int64_t{stride} * image.height;
    fields.resolution = 2835;
    fields.gap = options.gap;
    std::vector<uint8_t> rows;
    rows.reserve(size_t{stride} * image.height);
    for (uint32_t y = 0; y < image.height; ++y) {
        for (uint32_t x = 0; x < image.width; ++x) {
            const Rgb& pixel = image.At(x, y);
            rows.insert(rows.end(), {pixel.blue, pixel.green, pixel.red});
        }
        rows.insert(rows.end(), static_cast<size_t>(padding), options.paddingByte);
    }
    std::vector<uint8_t> bytes = quenvale_writer::EncodeBitmapFile(fields, rows, options.tail);
    for (size_t i = 54; i < 14 + size_t{options.infoSize} + options.gap; ++i) {
        bytes[i] = static_cast<uint8_t>(i * 7);  // recognisable header and gap bytes
    }
    return bytes;
}

std::vector<uint8_t> EncodeRaw(const RawBitmap& raw) {
    quenvale_writer::BitmapFields fields;
    fields.infoSize = raw.infoSize;
    fields.width = raw.width;
    fields.height = raw.height;
    fields.bits = raw.bits;
    fields.compression = raw.compression;
    fields.colorsUsed = raw.colorsUsed;
    fields.masks = raw.masks;
    fields.palette = raw.palette;
    return quenvale_writer::EncodeBitmapFile(fields, raw.pixels);
}

Image DecodeRows(const std::vector<uint8_t>& bytes, uint32_t width, uint32_t height, uint32_t offset, int padding) {
    Image image = MakeImage(width, height);
    size_t at = offset;
    for (uint32_t y = 0; y < height; ++y) {
        for (uint32_t x = 0; x < width; ++x, at += 3) {
            image.At(x, y) = Rgb{bytes.at(at + 2), bytes.at(at + 1), bytes.at(at)};
        }
        at += static_cast<size_t>(padding);
    }
    return image;
}

bool MakeDirectory(const std::string& path) {
#if defined(_WIN32)
    return _mkdir(path.c_str()) == 0;
#else
    return mkdir(path.c_str(), 0700) == 0;
#endif
}

namespace {

const std::string& TempFolder() {
    static const std::string directory = [] {
#if defined(_WIN32)
        // A folder of this run's own beside the test binary's working folder.
        std::string folder = "quenvale-test-" + std::to_string(_getpid()) + "-" + std::to_string(std::time(nullptr));
        if (!MakeDirectory(folder)) {
            std::abort();
        }
        return folder;
#else
        const char* base = std::getenv("TMPDIR");
        std::string pattern = std::string(base != nullptr ? base : "/tmp") + "/quenvale-test-XXXXXX";
        std::vector<char> buffer(pattern.begin(), pattern.end());
        buffer.push_back(0);
        if (mkdtemp(buffer.data()) == nullptr) {
            std::abort();
        }
        return std::string(buffer.data());
#endif
    }();
    return directory;
}

void RemoveTempFolder() {
    std::error_code error;
    std::filesystem::remove_all(TempFolder(), error);
}

}  // namespace

std::string TempPath(const std::string& name) {
    const std::string& directory = TempFolder();
    // Registered once the folder's name is made, so it runs before that name is destroyed.
    static const bool removedAtExit = std::atexit(RemoveTempFolder) == 0;
    (void)removedAtExit;
    const testing::TestInfo* test = testing::UnitTest::GetInstance()->current_test_info();
    std::string prefix = test != nullptr ? std::string(test->test_suite_name()) + "." + test->name() + "." : "";
    return directory + "/" + prefix + name;
}

void WriteFile(const std::string& path, const std::vector<uint8_t>& bytes) {
    ASSERT_TRUE(quenvale_writer::WriteWholeFile(path, bytes)) << path;
}

bool FileExists(const std::string& path) {
    FILE* file = std::fopen(path.c_str(), "rb");
    if (file != nullptr) {
        std::fclose(file);
    }
    return file != nullptr;
}

std::u16string Utf16(const std::string& ascii) { return std::u16string(ascii.begin(), ascii.end()); }

int32_t RunFilter(const std::string& input, const std::string& output, const char* name,
                  quenvale::Failure* failure) {
    testing::internal::CaptureStdout();
    int32_t result = quenvale::RunHostCall(Utf16(input).c_str(), Utf16(output).c_str(),
                                           *quenvale::FindNamedFilter(name), {false, 20}, failure);
    testing::internal::GetCapturedStdout();
    return result;
}

namespace {

// The kernel on the pixel data in memory, with the headers it writes for a
// bitmap, gives the bytes the call on files wrote.
void ExpectKernelInMemoryLikeOnFiles(const std::vector<uint8_t>& bytes, const std::string& inputPath,
                                     const char* name, const std::vector<uint8_t>& written) {
    quenvale::BitmapFormat format{};
    quenvale::Failure failure{};
    ASSERT_TRUE(quenvale::ParseBitmapFormat(bytes.data(), bytes.size(), bytes.size(), &format, &failure));
    FILE* input = std::fopen(inputPath.c_str(), "rb");  // an RLE stream is taken from the file
    ASSERT_NE(input, nullptr);
    quenvale::KernelWork work{};
    ASSERT_TRUE(quenvale::PrepareKernel(quenvale::FindNamedFilter(name)->kernel, format, input, &work, &failure));
    std::vector<uint8_t> rows(static_cast<size_t>(format.stride) * format.rowCount + 4, 0);
    if (!quenvale::IsRle(format)) {
        std::copy(bytes.begin() + format.pixelOffset,
                  bytes.begin() + std::min<uint64_t>(bytes.size(), format.pixelOffset + rows.size() - 4), rows.begin());
    }
    uint64_t stride = quenvale::KernelOutputStride(work);
    std::vector<uint8_t> out(static_cast<size_t>(stride) * format.rowCount + 4, 0);
    ASSERT_TRUE(quenvale::RunKernelOnRows(work, rows.data(), out.data(), &failure));
    FILE* made = std::tmpfile();
    ASSERT_NE(made, nullptr);
    ASSERT_TRUE(quenvale::WriteKernelHeaders(work, bytes.data(), made, &failure));
    bool sameRows = work.output == quenvale::OutputPalette;
    const std::vector<uint8_t>& body = sameRows ? rows : out;
    std::fwrite(body.data(), 1, body.size() - 4, made);
    if (work.output == quenvale::OutputPixels || sameRows) {
        // Whatever followed the rows is carried, as on files.
        size_t end = static_cast<size_t>(std::min<uint64_t>(format.rowsEnd, bytes.size()));
        std::fwrite(bytes.data() + end, 1, bytes.size() - end, made);
    }
    std::vector<uint8_t> got(static_cast<size_t>(std::ftell(made)));
    std::rewind(made);
    ASSERT_EQ(std::fread(got.data(), 1, got.size(), made), got.size());
    std::fclose(made);
    std::fclose(input);
    quenvale::ReleaseKernel(work);
    if (quenvale::IsRle(format) || format.rowsEnd > bytes.size()) {
        return;  // a stream or a cut last row: the bytes differ by design beyond the rows
    }
    EXPECT_TRUE(got == written) << "in memory: " << got.size() << " bytes, on files: " << written.size();
}

}  // namespace

void ExpectKernelLikeThePlainReading(const std::vector<uint8_t>& bytes, const char* name,
                                     quenvale::PixelKernel kernel) {
    SCOPED_TRACE(name);
    std::optional<Picture> before = PlainPicture(bytes);
    ASSERT_TRUE(before.has_value());
    const Image& image = before->image;
    std::string input = TempPath("kernel-in.bmp");
    std::string output = TempPath("kernel-out.bmp");
    WriteFile(input, bytes);
    ASSERT_EQ(RunFilter(input, output, name), ResultDone);
    std::optional<Picture> after = PlainPicture(ReadFile(output));
    ASSERT_TRUE(after.has_value()) << "the output is no bitmap";
    ExpectKernelInMemoryLikeOnFiles(bytes, input, name, ReadFile(output));
    quenvale::PixelGrid source = GridFromImage(image);
    quenvale::PixelGrid destination = GridFromImage(image);
    quenvale::ForEachPixel(kernel, source, destination, image.width, image.height);
    Image expected = ImageFromGrid(destination, image.width, image.height);
    std::free(source.pixels);
    std::free(destination.pixels);
    for (Rgb& pixel : expected.pixels) {
        pixel = NearestStored(*after, pixel);
    }
    EXPECT_TRUE(SameImage(after->image, expected));
}

std::vector<const quenvale::NamedFilter*> KernelFilters() {
    std::vector<const quenvale::NamedFilter*> kernels;
    for (size_t i = 0; i < quenvale::kNamedFilterCount; ++i) {
        if (quenvale::kNamedFilters[i].grid != nullptr) {
            kernels.push_back(&quenvale::kNamedFilters[i]);
        }
    }
    return kernels;
}

CallRun RunQuenvale(const char16_t* input, const char16_t* output) {
    testing::internal::CaptureStdout();
    int32_t result = Quenvale(input, output);
    std::string printed = testing::internal::GetCapturedStdout();
#if defined(_WIN32)
    // Standard output is a text stream there: its line feeds come back as CR LF.
    printed.erase(std::remove(printed.begin(), printed.end(), '\r'), printed.end());
#endif
    return CallRun{result, printed};
}

CallRun RunQuenvale(const std::string& input, const std::string& output) {
    return RunQuenvale(Utf16(input).c_str(), Utf16(output).c_str());
}

std::string CounterLine(int64_t value) {
    return "Current amount of memory allocated: " + std::to_string(value) + " bytes\n\n";
}

PlainWalk WalkFirstFit(const Image& image, int tolerance) {
    PlainWalk walk;
    walk.entryOf.resize(image.pixels.size());
    for (uint32_t x = 0; x < image.width; ++x) {
        for (uint32_t y = 0; y < image.height; ++y) {
            const Rgb& pixel = image.At(x, y);
            size_t chosen = 0;
            while (chosen < walk.entries.size()) {
                const Rgb& entry = walk.entries[chosen].color;
                if (std::abs(entry.red - pixel.red) <= tolerance && std::abs(entry.green - pixel.green) <= tolerance &&
                    std::abs(entry.blue - pixel.blue) <= tolerance) {
                    break;
                }
                ++chosen;
            }
            if (chosen == walk.entries.size()) {
                walk.entries.push_back(PlainEntry{pixel, x, y, 0});
            }
            ++walk.entries[chosen].count;
            walk.entryOf[size_t{y} * image.width + x] = chosen;
        }
    }
    return walk;
}

Image ReferenceFlatten(const Image& image) {
    PlainWalk walk = WalkFirstFit(image);
    Image result = image;
    for (size_t i = 0; i < result.pixels.size(); ++i) {
        result.pixels[i] = walk.entries[walk.entryOf[i]].color;
    }
    return result;
}

quenvale::PixelGrid GridFromImage(const Image& image) {
    quenvale::PixelGrid grid{static_cast<Rgb*>(std::malloc(image.pixels.size() * sizeof(Rgb) + 1))};
    for (uint32_t x = 0; x < image.width; ++x) {
        for (uint32_t y = 0; y < image.height; ++y) {
            quenvale::GridColumn(grid, x, image.height)[y] = image.At(x, y);
        }
    }
    return grid;
}

Image ImageFromGrid(quenvale::PixelGrid grid, uint32_t width, uint32_t height) {
    Image image = MakeImage(width, height);
    for (uint32_t x = 0; x < width; ++x) {
        for (uint32_t y = 0; y < height; ++y) {
            image.At(x, y) = quenvale::GridColumn(grid, x, height)[y];
        }
    }
    return image;
}

bool SameImage(const Image& a, const Image& b) {
    if (a.width != b.width || a.height != b.height) {
        return false;
    }
    for (size_t i = 0; i < a.pixels.size(); ++i) {
        const Rgb& p = a.pixels[i];
        const Rgb& q = b.pixels[i];
        if (p.red != q.red || p.green != q.green || p.blue != q.blue) {
            return false;
        }
    }
    return true;
}

}  // namespace quenvale_test
