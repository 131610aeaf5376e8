#include "picture_bench.h"

#include <spng.h>

#include <algorithm>
#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include <jpeglib.h>

#include "bench_timing.h"
#include "codecs/picture.h"
#include "ops/color_count.h"
#include "sample/bitmap_writer.h"

namespace quenvale_bench {

namespace {

using quenvale_host::Picture;

std::vector<uint8_t> Slurp(const std::string& path) { return quenvale_writer::ReadWholeFile(path); }

// libspng's encode of RGB8 rows with its default settings, as the host's.
std::vector<uint8_t> EncodeRgb(const uint8_t* rows, uint32_t width, uint32_t height, uint8_t colorType) {
    spng_ctx* context = spng_ctx_new(SPNG_CTX_ENCODER);
    spng_set_option(context, SPNG_ENCODE_TO_BUFFER, 1);
    spng_ihdr header{width, height, 8, colorType, 0, 0, 0};
    spng_set_ihdr(context, &header);
    size_t channels = colorType == 0 ? 1 : 3;
    spng_encode_image(context, rows, size_t{width} * height * channels, SPNG_FMT_PNG, SPNG_ENCODE_FINALIZE);
    size_t length = 0;
    int error = 0;
    auto* buffer = static_cast<uint8_t*>(spng_get_png_buffer(context, &length, &error));
    std::vector<uint8_t> png(buffer, buffer + length);
    std::free(buffer);
    spng_ctx_free(context);
    return png;
}

std::vector<uint8_t> DecodePng(const std::vector<uint8_t>& file, spng_ihdr* header) {
    spng_ctx* context = spng_ctx_new(0);
    spng_set_png_buffer(context, file.data(), file.size());
    spng_get_ihdr(context, header);
    size_t size = 0;
    spng_decoded_image_size(context, SPNG_FMT_PNG, &size);
    std::vector<uint8_t> rows(size);
    spng_decode_image(context, rows.data(), size, SPNG_FMT_PNG, 0);
    spng_ctx_free(context);
    return rows;
}

// The input decoded, then encoded: the decoded image itself, or (given
// rows) the flattened one, so that only the host's own work is left over.
void PlainPngRoundTrip(const std::string& input, const std::string& output, const std::vector<uint8_t>* flat) {
    spng_ihdr header{};
    std::vector<uint8_t> rows = DecodePng(Slurp(input), &header);
    const uint8_t* encoded = flat != nullptr ? flat->data() : rows.data();
    quenvale_writer::WriteWholeFile(output, EncodeRgb(encoded, header.width, header.height, header.color_type));
}

std::vector<uint8_t> DecodeJpeg(const std::vector<uint8_t>& file, uint32_t* width, uint32_t* height) {
    jpeg_decompress_struct info{};
    jpeg_error_mgr errors{};
    info.err = jpeg_std_error(&errors);
    jpeg_create_decompress(&info);
    jpeg_mem_src(&info, file.data(), static_cast<unsigned long>(file.size()));
    jpeg_read_header(&info, TRUE);
    info.out_color_space = JCS_RGB;
    jpeg_start_decompress(&info);
    *width = info.output_width;
    *height = info.output_height;
    std::vector<uint8_t> rows(size_t{*width} * *height * 3);
    while (info.output_scanline < info.output_height) {
        JSAMPROW row = rows.data() + size_t{info.output_scanline} * *width * 3;
        jpeg_read_scanlines(&info, &row, 1);
    }
    jpeg_finish_decompress(&info);
    jpeg_destroy_decompress(&info);
    return rows;
}

void PlainJpegToPng(const std::string& input, const std::string& output, const std::vector<uint8_t>* flat) {
    uint32_t width = 0;
    uint32_t height = 0;
    std::vector<uint8_t> rows = DecodeJpeg(Slurp(input), &width, &height);
    const uint8_t* encoded = flat != nullptr ? flat->data() : rows.data();
    quenvale_writer::WriteWholeFile(output, EncodeRgb(encoded, width, height, 2));
}

// The photo as JPEG at quality 90, as cameras write it.
bool WriteJpeg(const Picture& picture, const std::string& path) {
    FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) {
        return false;
    }
    jpeg_compress_struct info{};
    jpeg_error_mgr errors{};
    info.err = jpeg_std_error(&errors);
    jpeg_create_compress(&info);
    jpeg_stdio_dest(&info, file);
    info.image_width = picture.width;
    info.image_height = picture.height;
    info.input_components = 3;
    info.in_color_space = JCS_RGB;
    jpeg_set_defaults(&info);
    jpeg_set_quality(&info, 90, TRUE);
    jpeg_start_compress(&info, TRUE);
    while (info.next_scanline < info.image_height) {
        JSAMPROW row = picture.rows + size_t{info.next_scanline} * picture.stride;
        jpeg_write_scanlines(&info, &row, 1);
    }
    jpeg_finish_compress(&info);
    jpeg_destroy_compress(&info);
    return std::fclose(file) == 0;
}

// The photo bitmap as a picture.
bool ReadPhoto(const std::string& photoBmp, Picture* picture) {
    quenvale_host::PictureError error{};
    FILE* file = std::fopen(photoBmp.c_str(), "rb");
    bool read = file != nullptr && quenvale_host::ReadBitmapAsPicture(file, picture, &error);
    if (file != nullptr) {
        std::fclose(file);
    }
    return read;
}

bool MakeInputs(const std::string& photoBmp, const std::string& png, const std::string& jpeg) {
    Picture picture{};
    quenvale_host::PictureError error{};
    bool read = ReadPhoto(photoBmp, &picture);
    std::vector<uint8_t> bytes;
    bool made = read && quenvale_host::EncodePng(picture, quenvale_host::EncodeRequest{nullptr, nullptr, true}, &bytes, &error) &&
                quenvale_writer::WriteWholeFile(png, bytes) && WriteJpeg(picture, jpeg);
    quenvale_host::ReleasePicture(&picture);
    return made;
}

size_t FileBytes(const std::string& path) { return Slurp(path).size(); }

}  // namespace

void ReportColors(int runs, const std::string& photoBmp) {
    Picture photo{};
    quenvale_host::PictureError error{};
    if (!ReadPhoto(photoBmp, &photo)) {
        std::printf("colors: could not read the photo\n");
        return;
    }
    size_t bytes = photo.stride * photo.height + 8;
    std::vector<uint8_t> rows(bytes);
    auto fresh = [&] {
        std::copy(photo.rows, photo.rows + bytes - 8, rows.begin());
        Picture copy = photo;
        copy.rows = rows.data();
        return copy;
    };
    auto colors = [&](uint64_t asked) {
        quenvale::Picture model = fresh();
        quenvale::FirstColors first{};
        quenvale::ToleranceChoice choice{};
        quenvale::FindFirstColors(model, &first);
        quenvale::ChooseTolerance(first, asked, &choice);
        quenvale::FreeFirstColors(&first);
        quenvale::FlattenPicture(model, choice.tolerance);
    };
    std::vector<Timing> timings = MeasureInTurn(runs, "", {[&] { quenvale::FlattenPicture(fresh(), 20); },
                                                            [&] { colors(16); }, [&] { colors(256); },
                                                            [&] { colors(4000); }});
    std::printf("photo in memory: --colors N, its tolerance chosen and the flatten run\n  %-34s %s\n",
                "one flatten at 20", Show(timings[0]).c_str());
    Report("--colors 16", timings[1], "one flatten at 20", timings[0].median, 3, true);
    Report("--colors 256", timings[2], "one flatten at 20", timings[0].median, 3, true);
    Report("--colors 4000", timings[3], "one flatten at 20", timings[0].median, 3, true);

    colors(256);
    Picture flat = photo;
    flat.rows = rows.data();
    std::vector<uint8_t> smallest, kept, plain;
    timings = MeasureInTurn(runs, "", {[&] { EncodePng(flat, quenvale_host::EncodeRequest{nullptr, nullptr, false}, &smallest, &error); },
                                       [&] { EncodePng(flat, quenvale_host::EncodeRequest{nullptr, nullptr, true}, &kept, &error); },
                                       [&] { plain = EncodeRgb(flat.rows, flat.width, flat.height, 2); }});
    std::printf("its PNG at --colors 256\n  %-34s %s, %zu bytes\n", "RGB, libspng's filters per row",
                Show(timings[2]).c_str(), plain.size());
    Report("RGB, filters by the sample", timings[1], "libspng's per row", timings[2].median, 0, true);
    std::printf("  %-34s %zu bytes, %.2fx smaller\n", "", kept.size(), double(plain.size()) / kept.size());
    Report("the smallest (a palette)", timings[0], "libspng's per row", timings[2].median, 0, true);
    std::printf("  %-34s %zu bytes, %.2fx smaller\n", "", smallest.size(), double(plain.size()) / smallest.size());
    quenvale_host::ReleasePicture(&photo);
}

void ReportPictures(int runs, const std::string& dir, const std::string& photoBmp, const std::string& host,
                    bool imageMagick) {
    std::string png = dir + "/photo.png";
    std::string jpeg = dir + "/photo.jpg";
    std::string out = dir + "/out.png";
    if (!MakeInputs(photoBmp, png, jpeg)) {
        std::printf("pictures: could not write the photo as PNG and JPEG\n");
        return;
    }
    // Two baselines each: the input decoded and encoded again, and, the
    // stricter, the input decoded and the host's own result encoded, which
    // leaves only the host's work (the bitmaps, the flatten) in the ratio.
    using Plain = void (*)(const std::string&, const std::string&, const std::vector<uint8_t>*);
    auto report = [&](const std::string& input, const char* what, const char* command, const char* plainLabel,
                      Plain plain) {
        std::string line = "'" + host + "' '" + input + "' '" + out + "'";
        Measure(1, out, [&] { std::system(line.c_str()); });  // the result, to encode for the baseline
        std::vector<uint8_t> result = Slurp(out);
        spng_ihdr header{};
        std::vector<uint8_t> flat = DecodePng(result, &header);
        std::vector<Timing> timings = MeasureInTurn(runs, out, {[&] { std::system(line.c_str()); },
                                                                [&] { plain(input, out, nullptr); },
                                                                [&] { plain(input, out, &flat); }});
        const Timing& flatten = timings[0];
        const Timing& again = timings[1];
        const Timing& ofResult = timings[2];
        std::printf("photo as %s (%zu bytes): the host's flatten to PNG\n  %-34s %s\n  %-34s %s\n", what,
                    FileBytes(input), plainLabel, Show(again).c_str(), "decode + encode of the result",
                    Show(ofResult).c_str());
        Report(command, flatten, "the plain decode + encode", again.median, 0, true);
        Report("", flatten, "decode + encode of the result", ofResult.median, 1.1, true);
        return result;
    };
    std::vector<uint8_t> flatPng = report(png, "PNG", "quenvale photo.png out.png", "libspng decode + encode",
                                          PlainPngRoundTrip);
    report(jpeg, "JPEG", "quenvale photo.jpg out.png", "libjpeg-turbo decode + PNG encode", PlainJpegToPng);
    size_t ours = flatPng.size();
    quenvale_writer::WriteWholeFile(out, flatPng);
    if (imageMagick) {
        // ImageMagick's PNG of the very pixels the flatten gave.
        std::string theirs = dir + "/im.png";
        std::system(("convert '" + out + "' '" + theirs + "'").c_str());
        std::printf("  %-34s %zu bytes; ImageMagick's PNG of the same pixels: %zu bytes (%.2fx)\n",
                    "flattened PNG", ours, FileBytes(theirs), static_cast<double>(ours) / FileBytes(theirs));
    } else {
        std::printf("  %-34s %zu bytes\n", "flattened PNG", ours);
    }
}

}  // namespace quenvale_bench
