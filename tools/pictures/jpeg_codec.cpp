// JPEG in, through libjpeg-turbo's libjpeg interface: its defaults
// (accurate integer DCT, fancy upsampling), grey kept grey, the ICC profile
// and EXIF kept for the PNG. libjpeg reports errors by longjmp, so this
// file's decoding function holds nothing that needs a destructor.
#include <algorithm>
#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <jpeglib.h>

#include "picture.h"

namespace quenvale_host {

namespace {

// Past what a JPEG can describe per byte with Huffman coding (one bit a
// block of 64 pixels, three bytes a pixel) there is room to spare; a file
// claiming more pixels than that is refused before they are allocated, and
// libjpeg's own working memory is held to the same.
constexpr uint64_t kBytesPerFileByte = 2048;
constexpr uint64_t kSlackBytes = 16u << 20;

struct ErrorManager {
    jpeg_error_mgr manager;
    std::jmp_buf jump;
    char message[JMSG_LENGTH_MAX];
};

[[noreturn]] void ExitOnError(j_common_ptr info) {
    auto* errors = reinterpret_cast<ErrorManager*>(info->err);
    (*info->err->format_message)(info, errors->message);
    std::longjmp(errors->jump, 1);
}

// A warning is damage too (libjpeg fills a cut file with grey and goes on):
// refused, never printed.
void OnMessage(j_common_ptr info, int level) {
    if (level < 0) {
        ExitOnError(info);
    }
}

void TakeMarkers(jpeg_decompress_struct* info, Picture* picture) {
    static const uint8_t kExif[6] = {'E', 'x', 'i', 'f', 0, 0};
    for (jpeg_saved_marker_ptr marker = info->marker_list; marker != nullptr; marker = marker->next) {
        if (marker->marker == JPEG_APP0 + 1 && marker->data_length > sizeof kExif &&
            std::memcmp(marker->data, kExif, sizeof kExif) == 0 && picture->exif.empty()) {
            picture->exif.assign(marker->data + sizeof kExif, marker->data + marker->data_length);
        }
    }
    JOCTET* profile = nullptr;
    unsigned int profileBytes = 0;
    if (jpeg_read_icc_profile(info, &profile, &profileBytes)) {
        picture->iccProfile.assign(profile, profile + profileBytes);
        std::free(profile);
    }
}

// Checks what the header says before any pixel is allocated.
bool CheckHeader(jpeg_decompress_struct* info, size_t length, Picture* picture, PictureError* error) {
    if (info->jpeg_color_space == JCS_CMYK || info->jpeg_color_space == JCS_YCCK) {
        *error = {ProblemUnsupported,
                  std::string(info->jpeg_color_space == JCS_CMYK ? "CMYK" : "YCCK") + " JPEG: only grey and colour "
                  "(RGB) JPEGs are read"};
        return false;
    }
    bool grey = info->num_components == 1;
    info->out_color_space = grey ? JCS_GRAYSCALE : JCS_RGB;
    picture->width = info->image_width;
    picture->height = info->image_height;
    picture->colorType = grey ? PngGray : PngRgb;
    picture->bitDepth = 8;
    uint64_t pixelBytes = uint64_t{picture->width} * picture->height * (grey ? 1 : 3);
    uint64_t limit = uint64_t{length} * kBytesPerFileByte + kSlackBytes;
    if (pixelBytes > limit) {
        *error = {ProblemUnsupported, "the JPEG's " + std::to_string(length) + " bytes claim " +
                                          std::to_string(picture->width) + " x " + std::to_string(picture->height) +
                                          " pixels, more than this reads from a file of its size"};
        return false;
    }
    info->mem->max_memory_to_use = static_cast<long>(std::min<uint64_t>(limit, 0x7FFFFFFF));
    return AllocateRows(picture, error);
}

}  // namespace

bool ReadJpeg(const uint8_t* file, size_t length, Picture* picture, PictureError* error) {
    jpeg_decompress_struct info{};
    ErrorManager errors{};
    info.err = jpeg_std_error(&errors.manager);
    errors.manager.error_exit = ExitOnError;
    errors.manager.emit_message = OnMessage;
    if (setjmp(errors.jump) != 0) {
        jpeg_destroy_decompress(&info);
        ReleasePicture(picture);
        *error = {ProblemBad, std::string("damaged JPEG: ") + errors.message};
        return false;
    }
    jpeg_create_decompress(&info);
    jpeg_mem_src(&info, file, static_cast<unsigned long>(length));
    jpeg_save_markers(&info, JPEG_APP0 + 1, 0xFFFF);
    jpeg_save_markers(&info, JPEG_APP0 + 2, 0xFFFF);
    jpeg_read_header(&info, TRUE);
    if (!CheckHeader(&info, length, picture, error)) {
        jpeg_destroy_decompress(&info);
        ReleasePicture(picture);
        return false;
    }
    TakeMarkers(&info, picture);
    jpeg_start_decompress(&info);
    while (info.output_scanline < info.output_height) {
        JSAMPROW row = picture->rows + size_t{info.output_scanline} * picture->stride;
        jpeg_read_scanlines(&info, &row, 1);
    }
    jpeg_finish_decompress(&info);
    jpeg_destroy_decompress(&info);
    return true;
}

}  // namespace quenvale_host
