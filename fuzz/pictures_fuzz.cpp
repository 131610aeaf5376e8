// libFuzzer target: the host's PNG and JPEG reading, the filters between
// decoding and encoding, and the way back; and a BMP made into a PNG. The
// first byte chooses: bit 0 repairs a PNG's CRCs (so that changes reach the
// decoder) or leaves them (so that the CRC check is met); bits 1 to 4 a
// filter of the host's, or (at 0) none, a pass through a bitmap and back
// as a call that changes nothing would take it. With no filter the PNG
// written must decode at the same size, with the same samples where the
// source's depth is 8 bits or fewer (16-bit samples go to their founders);
// with one, it must decode at the same size, whatever encoding it took. A
// WebP or GIF is decoded, flattened and written again, to the same pixels
// (a GIF's specks removed and its SVG written on the way).
#include <zlib.h>

#include <cstring>

#include "call/entry.h"
#include "codecs/picture.h"
#include "ops/min_region.h"
#include "ops/picture_flatten.h"
#include "fuzz_support.h"
#include "quenvale.h"

namespace {

using quenvale_fuzz::Check;
using namespace quenvale_host;

// The fuzzer's own budget: pictures up to a few megapixels, as the other
// targets take, so that a run's memory stays within its limit.
constexpr uint64_t kFuzzMaxPixels = 4u << 20;

std::string bitmapPath;
std::string resultPath;

// Sample by sample: the bits after a row's last sample are the file's own.
bool SameSamples(const Picture& a, const Picture& b) {
    size_t samples = size_t{a.width} * ChannelsOf(a);
    for (uint32_t y = 0; y < a.height; ++y) {
        for (size_t i = 0; i < samples; ++i) {
            if (ReadSample(a, a.rows + size_t{y} * a.stride, i) != ReadSample(b, b.rows + size_t{y} * b.stride, i)) {
                return false;
            }
        }
    }
    return true;
}

// The library's call with a filter, on a bitmap in bitmapPath, into
// resultPath, read back as a picture; false where the call refuses it.
bool Filtered(const quenvale::NamedFilter& filter, Picture* result) {
    quenvale::Failure failure{};
    quenvale::CallOptions options{false, 20};
    int32_t code = quenvale::RunHostCall(quenvale_fuzz::Wide(bitmapPath).c_str(),
                                         quenvale_fuzz::Wide(resultPath).c_str(), filter, options, &failure);
    if (code != ResultDone) {
        return false;
    }
    FILE* file = std::fopen(resultPath.c_str(), "rb");
    Check(file != nullptr, "the result is there");
    PictureError error{};
    bool read = ReadBitmapAsPicture(file, result, &error);
    std::fclose(file);
    Check(read, "the library's result reads back");
    return true;
}

void RoundTrip(const SourceCarry* carry, const Picture& source, const quenvale::NamedFilter* filter) {
    PictureError error{};
    FILE* file = std::fopen(bitmapPath.c_str(), "w+b");
    Check(file != nullptr, "temp file");
    bool spooled = WriteBitmapOfPicture(source, file, &error);
    Picture result{};
    bool read = spooled && std::fflush(file) == 0 && (filter != nullptr || ReadBitmapAsPicture(file, &result, &error));
    std::fclose(file);
    if (!spooled) {
        return;  // too large as a bitmap
    }
    Check(read, "the bitmap of a picture reads back");
    if (filter != nullptr && !Filtered(*filter, &result)) {
        return;  // refused by the filter (an RLE stream too sparse, say)
    }
    bool flatten = filter == nullptr || filter == &quenvale::kNamedFilters[0];
    Check(MapToSourceEncoding(source, flatten, &result, &error), "maps to its source's encoding");
    std::vector<uint8_t> png;
    bool keep = (source.width + source.height) % 2 == 0;  // either encoding, by the input
    bool encoded =
        EncodePng(result, EncodeRequest{carry, carry != nullptr ? &source : nullptr, keep, false}, &png, &error);
    Check(encoded || source.width == 0 || source.height == 0, "a picture with pixels encodes");
    Picture again{};
    SourceCarry againCarry;
    if (encoded) {
        Check(ReadPng(PictureInput{nullptr, png.data(), png.size()}, kFuzzMaxPixels, &again, &againCarry, &error),
              "the PNG written decodes");
        Check(again.width == source.width && again.height == source.height, "at the same size");
        if (filter == nullptr && source.bits <= 8 && PngColorTypeOf(again) == PngColorTypeOf(source) &&
            again.bits == source.bits && keep) {
            Check(SameSamples(source, again), "with the same samples");
        }
        Check(!keep || filter != nullptr || PngColorTypeOf(again) == PngColorTypeOf(source) || PngColorTypeOf(source) == PngGray ||
                  PngColorTypeOf(source) == PngGrayAlpha,
              "in the source's colour type, or colour where grey could not hold it");
        Check(keep || SameRgba8(result, again), "the smallest encoding decodes to the result's pixels");
    }
    ReleasePicture(&again);
    ReleasePicture(&result);
}

// A BMP made into a PNG, as the host does: the budget first, since an RLE
// stream of a few bytes may declare gigapixels.
void BitmapToPng(const uint8_t* data, size_t size, const quenvale::NamedFilter& filter) {
    quenvale_fuzz::Spill(bitmapPath, data, size);
    FILE* file = std::fopen(bitmapPath.c_str(), "rb");
    Check(file != nullptr, "temp file");
    PictureError error{};
    bool within = BitmapWithinPixelBudget(file, kFuzzMaxPixels, &error);
    std::fclose(file);
    Check(within || !error.reason.empty(), "a refusal says why");
    Picture result{};
    if (within && Filtered(filter, &result)) {
        std::vector<uint8_t> png;
        if (EncodePng(result, EncodeRequest{nullptr, nullptr, false, false}, &png, &error)) {
            Picture again{};
            SourceCarry carry;
            Check(ReadPng(PictureInput{nullptr, png.data(), png.size()}, kFuzzMaxPixels, &again, &carry, &error),
                  "the PNG written decodes");
            Check(again.width == result.width && again.height == result.height, "at the same size");
            ReleasePicture(&again);
        }
    }
    ReleasePicture(&result);
}

#if defined(QUENVALE_WEBP)
// A WebP decoded, flattened, and written lossless: read again it holds the
// same pixels.
void WebpRoundTrip(const uint8_t* data, size_t size) {
    Picture picture{};
    PictureError error{};
    bool decoded = ReadWebp(PictureInput{nullptr, data, size}, kFuzzMaxPixels, &picture, nullptr, &error);
    Check(decoded || !error.reason.empty(), "a refusal says why");
    if (decoded) {
        Check(quenvale::FlattenPicture(picture, 20) == quenvale::StatusOk, "the flatten runs");
        EncodedFile webp{};
        Check(EncodeWebpPieces(picture, EncodeRequest{nullptr, nullptr, false, false}, &webp, &error), "the WebP is written");
        Picture again{};
        Check(ReadWebp(PictureInput{nullptr, webp.encoded, webp.encodedLength}, kFuzzMaxPixels, &again, nullptr, &error),
              "the WebP written decodes");
        Check(SameRgba8(picture, again), "to the same pixels");
        ReleasePicture(&again);
        ReleaseEncodedFile(&webp);
    }
    ReleasePicture(&picture);
}
#endif

#if defined(QUENVALE_GIF)
// A GIF decoded, flattened, its specks removed, written as an SVG, and
// written: read again it holds the same pixels (a GIF read holds at most
// 256 colours, one of them clear).
void GifRoundTrip(const uint8_t* data, size_t size) {
    Picture picture{};
    PictureError error{};
    SourceCarry carry;
    bool decoded = ReadGif(PictureInput{nullptr, data, size}, kFuzzMaxPixels, &picture, &carry, &error);
    Check(decoded || !error.reason.empty(), "a refusal says why");
    if (decoded) {
        Check(quenvale::FlattenPicture(picture, 20) == quenvale::StatusOk, "the flatten runs");
        quenvale::RegionMerge merge{};
        Check(quenvale::RemoveSmallRegions(picture, 1 + size % 7, &merge) == quenvale::StatusOk, "the specks go");
        EncodedFile svg{};
        Check(EncodeSvgPieces(picture, EncodeRequest{nullptr, nullptr, false, false}, &svg, &error) &&
                  std::memcmp(svg.encoded, "<svg ", 5) == 0,
              "the SVG is written");
        ReleaseEncodedFile(&svg);
        EncodedFile gif{};
        Check(EncodeGifPieces(picture, EncodeRequest{nullptr, nullptr, false, false}, &gif, &error), "the GIF is written");
        Picture again{};
        Check(ReadGif(PictureInput{nullptr, gif.encoded, gif.encodedLength}, kFuzzMaxPixels, &again, nullptr, &error),
              "the GIF written decodes");
        // Pixels fully transparent are one clear colour, whatever colour they hid.
        std::vector<uint8_t> before(size_t{picture.width} * picture.height * 4), after(before.size());
        bool opaque = true;
        DecodeRgba8(picture, before.data(), &opaque);
        DecodeRgba8(again, after.data(), &opaque);
        for (size_t i = 0; i < before.size(); i += 4) {
            Check(before[i + 3] == after[i + 3] && (before[i + 3] == 0 || std::memcmp(&before[i], &after[i], 3) == 0),
                  "to the same pixels");
        }
        ReleasePicture(&again);
        ReleaseEncodedFile(&gif);
    }
    ReleasePicture(&picture);
}
#endif

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
    quenvale_fuzz::MuteStandardOutput();
    bitmapPath = quenvale_fuzz::FuzzPath("picture.bmp");
    resultPath = quenvale_fuzz::FuzzPath("picture-result.bmp");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) {
        return 0;
    }
    bool repair = (data[0] & 1) != 0;
    size_t choice = (data[0] >> 1) % (quenvale::kNamedFilterCount + 1);
    const quenvale::NamedFilter* filter = choice == 0 ? nullptr : &quenvale::kNamedFilters[choice - 1];
    ++data;
    --size;
    if (size >= 2 && data[0] == 'B' && data[1] == 'M') {
        BitmapToPng(data, size, filter != nullptr ? *filter : quenvale::kNamedFilters[0]);
        return 0;
    }
#if defined(QUENVALE_WEBP)
    if (size >= 12 && std::memcmp(data + 8, "WEBP", 4) == 0) {
        WebpRoundTrip(data, size);
        return 0;
    }
#endif
#if defined(QUENVALE_GIF)
    if (size >= 3 && std::memcmp(data, "GIF", 3) == 0) {
        GifRoundTrip(data, size);
        return 0;
    }
#endif
    Picture picture{};
    PictureError error{};
    bool png = size >= 8 && data[0] == 0x89;
    std::vector<uint8_t> fixed = png && repair ? WithGoodCrcs(data, size) : std::vector<uint8_t>();
    if (!fixed.empty()) {
        data = fixed.data();
    }
    SourceCarry carry;
    PictureInput input{nullptr, data, size};
    bool decoded = png ? ReadPng(input, kFuzzMaxPixels, &picture, &carry, &error)
                       : ReadJpeg(input, kFuzzMaxPixels, &picture, nullptr, &error);
    Check(decoded || !error.reason.empty(), "a refusal says why");
    if (decoded) {
        RoundTrip(png ? &carry : nullptr, picture, filter);
    }
    ReleasePicture(&picture);
    return 0;
}
