// libFuzzer target: the host's PNG and JPEG reading, and the way back. A
// file that decodes is handed through a bitmap and back, as a call with a
// filter that changes nothing would take it, and encoded again: that PNG
// must decode, at the same size, with the same samples where the source's
// depth is 8 bits or fewer (16-bit samples go to their founders).
#include <zlib.h>

#include <cstring>

#include "fuzz_support.h"
#include "picture.h"

namespace {

using quenvale_fuzz::Check;
using namespace quenvale_host;

std::string bitmapPath;

// Sample by sample: the bits after a row's last sample are the file's own.
bool SameSamples(const Picture& a, const Picture& b) {
    size_t samples = size_t{a.width} * ChannelsOf(a.colorType);
    for (uint32_t y = 0; y < a.height; ++y) {
        for (size_t i = 0; i < samples; ++i) {
            if (ReadSample(a, a.rows + size_t{y} * a.stride, i) != ReadSample(b, b.rows + size_t{y} * b.stride, i)) {
                return false;
            }
        }
    }
    return true;
}

void RoundTrip(const uint8_t* data, const Picture& source, const std::vector<PngChunk>* chunks) {
    PictureError error{};
    FILE* file = std::fopen(bitmapPath.c_str(), "w+b");
    Check(file != nullptr, "temp file");
    bool spooled = WriteBitmapOfPicture(source, file, &error);
    Picture result{};
    bool read = spooled && std::fflush(file) == 0 && ReadBitmapAsPicture(file, &result, &error);
    std::fclose(file);
    if (!spooled) {
        return;  // too large as a bitmap
    }
    Check(read, "the bitmap of a picture reads back");
    Check(MapToSourceEncoding(source, true, &result, &error), "maps to its source's encoding");
    std::vector<uint8_t> png;
    bool encoded = EncodePng(result, data, chunks, chunks != nullptr ? &source : nullptr, &png, &error);
    Check(encoded || source.width == 0 || source.height == 0, "a picture with pixels encodes");
    Picture again{};
    std::vector<PngChunk> againChunks;
    if (encoded) {
        Check(ReadPng(png.data(), png.size(), kFuzzMaxPixels, &again, &againChunks, &error), "the PNG written decodes");
        Check(again.width == source.width && again.height == source.height, "at the same size");
        if (source.bitDepth <= 8 && again.colorType == source.colorType && again.bitDepth == source.bitDepth) {
            Check(SameSamples(source, again), "with the same samples");
        }
        Check(again.colorType == source.colorType || source.colorType == PngGray || source.colorType == PngGrayAlpha,
              "in the source's colour type, or colour where grey could not hold it");
    }
    ReleasePicture(&again);
    ReleasePicture(&result);
}

// The chunks' CRCs made right, so that the fuzzer's changes reach the
// decoder instead of stopping at the first CRC check.
std::vector<uint8_t> WithGoodCrcs(const uint8_t* data, size_t size) {
    std::vector<uint8_t> fixed(data, data + size);
    size_t at = 8;
    while (size - at >= 12) {
        uint32_t length = uint32_t{fixed[at]} << 24 | uint32_t{fixed[at + 1]} << 16 | fixed[at + 2] << 8 | fixed[at + 3];
        if (length > size - at - 12) {
            break;
        }
        uint32_t crc = crc32(0, fixed.data() + at + 4, length + 4);
        for (int i = 0; i < 4; ++i) {
            fixed[at + 8 + length + i] = static_cast<uint8_t>(crc >> (24 - 8 * i));
        }
        at += size_t{length} + 12;
    }
    return fixed;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    bitmapPath = quenvale_fuzz::FuzzPath("picture.bmp");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Picture picture{};
    std::vector<PngChunk> chunks;
    PictureError error{};
    bool png = size >= 8 && data[0] == 0x89;
    std::vector<uint8_t> fixed = png ? WithGoodCrcs(data, size) : std::vector<uint8_t>();
    if (png) {
        data = fixed.data();
    }
    bool decoded = png ? ReadPng(data, size, kFuzzMaxPixels, &picture, &chunks, &error)
                        : ReadJpeg(data, size, kFuzzMaxPixels, &picture, &error);
    Check(decoded || !error.reason.empty(), "a refusal says why");
    if (decoded) {
        RoundTrip(data, picture, png ? &chunks : nullptr);
    }
    ReleasePicture(&picture);
    return 0;
}
