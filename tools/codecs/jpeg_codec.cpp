// JPEG in, through libjpeg-turbo's libjpeg interface: its defaults
// (accurate integer DCT, fancy upsampling), grey kept grey, the ICC profile
// and EXIF kept for the PNG. libjpeg reports errors by longjmp, so this
// file's decoding function holds nothing that needs a destructor.
#include <algorithm>
#include <climits>
#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include <jpeglib.h>

#include "codecs/picture.h"

namespace quenvale_host {

namespace {

// libjpeg's working memory beyond the picture's own: a progressive or
// multi-scan file holds every coefficient (two bytes a sample, the picture
// padded to whole 16 x 16 blocks), and a little for tables.
constexpr uint64_t kWorkingSlackBytes = 16u << 20;

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
bool CheckHeader(jpeg_decompress_struct* info, uint64_t maxPixels, Picture* picture, PictureError* error) {
    if (info->jpeg_color_space == JCS_CMYK || info->jpeg_color_space == JCS_YCCK) {
        *error = {std::string(info->jpeg_color_space == JCS_CMYK ? "CMYK" : "YCCK") + " JPEG: only grey and colour "
                  "(RGB) JPEGs are read", quenvale::StatusUnsupported};
        return false;
    }
    bool grey = info->num_components == 1;
    info->out_color_space = grey ? JCS_GRAYSCALE : JCS_RGB;
    picture->width = info->image_width;
    picture->height = info->image_height;
    SetPngEncoding(picture, grey ? PngGray : PngRgb, 8);
    if (!WithinPixelBudget(picture->width, picture->height, maxPixels, error)) {
        return false;
    }
    uint64_t coefficients = (uint64_t{picture->width} + 16) * (uint64_t{picture->height} + 16) *
                            static_cast<uint64_t>(info->num_components) * 2;
    info->mem->max_memory_to_use = static_cast<long>(std::min<uint64_t>(coefficients + kWorkingSlackBytes, LONG_MAX));
    return AllocateRows(picture, error);
}


// From memory.
bool DecodeJpeg(const uint8_t* file, size_t length, uint64_t maxPixels, Picture* picture, PictureError* error) {
    jpeg_decompress_struct info{};
    ErrorManager errors{};
    info.err = jpeg_std_error(&errors.manager);
    errors.manager.error_exit = ExitOnError;
    errors.manager.emit_message = OnMessage;
    if (setjmp(errors.jump) != 0) {
        jpeg_destroy_decompress(&info);
        ReleasePicture(picture);
        *error = {std::string("damaged JPEG: ") + errors.message};
        return false;
    }
    jpeg_create_decompress(&info);
    jpeg_mem_src(&info, file, static_cast<unsigned long>(length));
    jpeg_save_markers(&info, JPEG_APP0 + 1, 0xFFFF);
    jpeg_save_markers(&info, JPEG_APP0 + 2, 0xFFFF);
    jpeg_read_header(&info, TRUE);
    if (!CheckHeader(&info, maxPixels, picture, error)) {
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

}  // namespace

bool ReadJpeg(const PictureInput& input, uint64_t maxPixels, Picture* picture, SourceCarry*, PictureError* error) {
    std::vector<uint8_t> whole;
    if (input.file != nullptr && !ReadInputWhole(input, &whole, error)) {
        return false;
    }
    return DecodeJpeg(input.file != nullptr ? whole.data() : input.bytes,
                      input.file != nullptr ? whole.size() : static_cast<size_t>(input.length), maxPixels, picture,
                      error);
}

}  // namespace quenvale_host
