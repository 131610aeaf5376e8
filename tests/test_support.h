// Helpers shared by the tests: bitmaps built byte by byte, temporary files,
// a captured run of the exported call, and a plain first-fit reference.
#ifndef QUENVALE_TEST_SUPPORT_H
#define QUENVALE_TEST_SUPPORT_H

#include <cstdint>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "bmp/bitmap.h"
#include "ops/filter_table.h"
#include "ops/kernels.h"
#include "sample/bitmap_writer.h"

namespace quenvale_test {

using quenvale::Rgb;

// Pixels in file order: row y (as stored) then x.
struct Image {
    uint32_t width = 0;
    uint32_t height = 0;
    std::vector<Rgb> pixels;
    Rgb& At(uint32_t x, uint32_t y) { return pixels[size_t{y} * width + x]; }
    const Rgb& At(uint32_t x, uint32_t y) const { return pixels[size_t{y} * width + x]; }
};

struct BitmapOptions {
    uint32_t infoSize = 40;
    uint32_t gap = 0;             // bytes between the headers and the rows
    int64_t imageSizeField = -1;  // -1: height * stride
    int padding = -1;             // -1: the 4-byte alignment
    bool topDown = false;
    uint8_t paddingByte = 0;
    std::vector<uint8_t> tail;    // bytes after the rows
};

Image MakeImage(uint32_t width, uint32_t height, Rgb fill = Rgb{0, 0, 0});
Image RandomImage(std::mt19937& random, uint32_t width, uint32_t height, int levels = 256);
int StandardPadding(uint32_t width);
std::vector<uint8_t> EncodeBitmap(const Image& image, const BitmapOptions& options = {});
// The pixel rows of a bitmap as the format lays them out (for comparisons).
Image DecodeRows(const std::vector<uint8_t>& bytes, uint32_t width, uint32_t height, uint32_t offset, int padding);

inline void PutLe32(std::vector<uint8_t>& bytes, size_t at, uint32_t value) {
    quenvale_writer::PutLe(bytes, at, value, 4);
}
inline uint32_t GetLe32(const std::vector<uint8_t>& bytes, size_t at) {
    return static_cast<uint32_t>(quenvale_writer::GetLe(bytes, at, 4));
}

// A path in this run's own temporary folder, named after the current test;
// the folder is removed when the run ends.
std::string TempPath(const std::string& name);
bool MakeDirectory(const std::string& path);
void WriteFile(const std::string& path, const std::vector<uint8_t>& bytes);
inline std::vector<uint8_t> ReadFile(const std::string& path) { return quenvale_writer::ReadWholeFile(path); }
bool FileExists(const std::string& path);
std::u16string Utf16(const std::string& ascii);

struct CallRun {
    int32_t result;
    std::string output;  // standard output of the call
};
CallRun RunQuenvale(const std::string& input, const std::string& output);
CallRun RunQuenvale(const char16_t* input, const char16_t* output);
std::string CounterLine(int64_t value);

// First-fit over the pixels in column order (each column from row 0 up),
// written the plain way: the entries in creation order, with their
// founders, and each pixel's entry (indexed as image.pixels).
struct PlainEntry {
    Rgb color;
    uint32_t x;
    uint32_t y;
    uint64_t count;
};
struct PlainWalk {
    std::vector<PlainEntry> entries;
    std::vector<size_t> entryOf;
};
PlainWalk WalkFirstFit(const Image& image, int tolerance = 20);
Image ReferenceFlatten(const Image& image);
// What the call writes for a whole file, from an independent plain reading
// of every header kind and encoding; nothing when the file is refused.
std::optional<std::vector<uint8_t>> ExpectedFlatten(const std::vector<uint8_t>& bytes, int tolerance = 20);

// A file's picture read the plain way: every pixel's colour, by stored row,
// the pixels an RLE stream never sets as palette entry 0; and how its
// colours are stored.
struct Picture {
    Image image;
    uint32_t bits = 0;
    uint32_t masks[3] = {0, 0, 0};
};
std::optional<Picture> PlainPicture(const std::vector<uint8_t>& bytes);
// The colour a masked picture stores for a result: each channel's nearest
// widened value, the lower on a tie; other pictures store every colour.
Rgb NearestStored(const Picture& picture, Rgb color);

// The host's call with the named filter at tolerance 20, its standard
// output swallowed; *failure (when given) says what failed.
int32_t RunFilter(const std::string& input, const std::string& output, const char* name,
                  quenvale::Failure* failure = nullptr);

// The host's kernels: the rows of the filter table that have a per-pixel
// definition, in the table's order.
std::vector<const quenvale::NamedFilter*> KernelFilters();
// Runs a kernel as the host does on a file of any encoding and checks the
// result against the per-pixel kernel on the picture read plainly; a
// masked result is compared as the masks store it.
void ExpectKernelLikeThePlainReading(const std::vector<uint8_t>& bytes, const char* name,
                                     quenvale::PixelKernel kernel);

// A bitmap of any encoding, its pixel data given as stored.
struct RawBitmap {
    uint32_t infoSize = 40;
    int32_t width = 0;
    int32_t height = 0;
    uint16_t bits = 8;
    uint32_t compression = 0;
    uint32_t colorsUsed = 0;
    std::vector<uint32_t> masks;   // after a 40-byte header, or inside a larger one
    std::vector<uint8_t> palette;  // entries as stored (4 bytes, 3 for a 12-byte header)
    std::vector<uint8_t> pixels;
};
std::vector<uint8_t> EncodeRaw(const RawBitmap& raw);

// Converts between file-order images and the library's column-major grids.
quenvale::PixelGrid GridFromImage(const Image& image);
Image ImageFromGrid(quenvale::PixelGrid grid, uint32_t width, uint32_t height);

bool SameImage(const Image& a, const Image& b);

}  // namespace quenvale_test

#endif
