// WebP through libwebp: a still picture read whole and decoded to 8-bit RGB
// or RGBA, with its ICC profile and EXIF; written lossless only (flat
// colours must survive), alpha kept, the profile and EXIF carried.
#include <webp/decode.h>
#include <webp/demux.h>
#include <webp/encode.h>
#include <webp/mux.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "codecs/picture.h"

namespace quenvale_host {

namespace {

// A metadata chunk of the container, copied; empty where there is none.
std::vector<uint8_t> ChunkOf(const WebPDemuxer* demuxer, const char* fourcc) {
    WebPChunkIterator chunk{};
    std::vector<uint8_t> bytes;
    if (WebPDemuxGetChunk(demuxer, fourcc, 1, &chunk)) {
        bytes.assign(chunk.chunk.bytes, chunk.chunk.bytes + chunk.chunk.size);
        WebPDemuxReleaseChunkIterator(&chunk);
    }
    return bytes;
}

const char* StatusText(VP8StatusCode status) {
    switch (status) {
        case VP8_STATUS_OUT_OF_MEMORY:
            return "not enough memory to decode it";
        case VP8_STATUS_UNSUPPORTED_FEATURE:
            return "a WebP of a kind not read";
        case VP8_STATUS_NOT_ENOUGH_DATA:
            return "the WebP is cut short";
        default:
            return "damaged WebP";
    }
}

}  // namespace

bool ReadWebp(const PictureInput& input, uint64_t maxPixels, Picture* picture, SourceCarry*, PictureError* error) {
    std::vector<uint8_t> whole;
    if (input.file != nullptr && !ReadInputWhole(input, &whole, error)) {
        return false;
    }
    const uint8_t* bytes = input.file != nullptr ? whole.data() : input.bytes;
    auto length = static_cast<size_t>(input.file != nullptr ? whole.size() : input.length);
    WebPBitstreamFeatures features{};
    VP8StatusCode status = WebPGetFeatures(bytes, length, &features);
    if (status != VP8_STATUS_OK) {
        *error = {StatusText(status), status == VP8_STATUS_OUT_OF_MEMORY ? quenvale::StatusOutOfMemory
                                           : status == VP8_STATUS_UNSUPPORTED_FEATURE ? quenvale::StatusUnsupported
                                                                                       : quenvale::StatusBadInput};
        return false;
    }
    if (features.has_animation) {
        *error = {"animated WebP: only still pictures are read", quenvale::StatusUnsupported};
        return false;
    }
    picture->width = static_cast<uint32_t>(features.width);
    picture->height = static_cast<uint32_t>(features.height);
    SetPngEncoding(picture, features.has_alpha ? PngRgba : PngRgb, 8);
    if (!WithinPixelBudget(picture->width, picture->height, maxPixels, error) || !AllocateRows(picture, error)) {
        return false;
    }
    // The advanced call, for its status: out of memory is not damage.
    WebPDecoderConfig config;
    if (!WebPInitDecoderConfig(&config)) {
        *error = {"this build's libwebp does not match its headers", quenvale::StatusUnsupported};
        return false;
    }
    config.output.colorspace = features.has_alpha ? MODE_RGBA : MODE_RGB;
    config.output.is_external_memory = 1;
    config.output.u.RGBA.rgba = picture->rows;
    config.output.u.RGBA.stride = static_cast<int>(picture->stride);
    config.output.u.RGBA.size = picture->stride * picture->height;
    VP8StatusCode decoded = WebPDecode(bytes, length, &config);
    WebPFreeDecBuffer(&config.output);
    if (decoded != VP8_STATUS_OK) {
        bool memory = decoded == VP8_STATUS_OUT_OF_MEMORY;
        *error = {memory ? "not enough memory to decode it" : "damaged WebP: its image data does not decode",
                  memory ? quenvale::StatusOutOfMemory : quenvale::StatusBadInput};
        return false;
    }
    WebPData data{bytes, length};
    WebPDemuxer* demuxer = WebPDemux(&data);
    if (demuxer != nullptr) {
        picture->iccProfile = ChunkOf(demuxer, "ICCP");
        picture->exif = ChunkOf(demuxer, "EXIF");
        WebPDemuxDelete(demuxer);
    }
    return true;
}

// Lossless ARGB always, with the picture's own profile and EXIF: the
// request's carry and encoding have nothing to say to it.
bool EncodeWebpPieces(const Picture& picture, const EncodeRequest&, EncodedFile* encoded, PictureError* error) {
    if (picture.width == 0 || picture.height == 0 || picture.width > WEBP_MAX_DIMENSION ||
        picture.height > WEBP_MAX_DIMENSION) {
        *error = {"a WebP holds 1 to 16383 pixels a side, not " + std::to_string(picture.width) + " x " +
                  std::to_string(picture.height), quenvale::StatusUnsupported};
        return false;
    }
    // What WebPEncodeLosslessRGB(A) does, with the picture's pixels put
    // straight into the encoder's own ARGB rows a band at a time, rather
    // than through a whole RGBA copy that it would copy again: the same
    // bytes, in two fewer copies of the picture.
    WebPConfig config;
    WebPPicture argb;
    if (!WebPConfigPreset(&config, WEBP_PRESET_DEFAULT, 70.f) || !WebPPictureInit(&argb)) {
        *error = {"this build's libwebp does not match its headers", quenvale::StatusUnsupported};
        return false;
    }
    config.lossless = 1;
    argb.use_argb = 1;
    argb.width = static_cast<int>(picture.width);
    argb.height = static_cast<int>(picture.height);
    WebPMemoryWriter writer;
    WebPMemoryWriterInit(&writer);
    argb.writer = WebPMemoryWrite;
    argb.custom_ptr = &writer;
    if (!WebPPictureAlloc(&argb)) {
        *error = {"not enough memory to write the WebP", quenvale::StatusOutOfMemory};
        return false;
    }
    VisitRgbaBands(picture, 64, [&](uint32_t top, uint32_t height, const uint8_t* rgba) {
        for (uint32_t y = 0; y < height; ++y) {
            uint32_t* row = argb.argb + size_t{top + y} * static_cast<size_t>(argb.argb_stride);
            const uint8_t* from = rgba + size_t{y} * picture.width * 4;
            for (uint32_t x = 0; x < picture.width; ++x, from += 4) {
                row[x] = uint32_t{from[3]} << 24 | uint32_t{from[0]} << 16 | uint32_t{from[1]} << 8 | from[2];
            }
        }
        return true;
    });
    bool encodedWell = WebPEncode(&config, &argb) != 0;
    WebPPictureFree(&argb);
    uint8_t* image = writer.mem;
    size_t length = encodedWell ? writer.size : 0;
    if (length == 0) {
        WebPMemoryWriterClear(&writer);
        bool memory = argb.error_code == VP8_ENC_ERROR_OUT_OF_MEMORY;
        *error = {memory ? "not enough memory to write the WebP" : "could not encode the WebP",
                  memory ? quenvale::StatusOutOfMemory : quenvale::StatusBadInput};
        return false;
    }
    // The profile and EXIF go into the container beside the image.
    WebPData assembled{image, length};
    WebPMux* mux = picture.iccProfile.empty() && picture.exif.empty() ? nullptr : WebPMuxNew();
    bool muxed = mux != nullptr && WebPMuxSetImage(mux, &assembled, 0) == WEBP_MUX_OK;
    const std::vector<uint8_t>* metadata[2] = {&picture.iccProfile, &picture.exif};
    const char* fourcc[2] = {"ICCP", "EXIF"};
    for (int i = 0; i < 2 && muxed; ++i) {
        WebPData chunk{metadata[i]->data(), metadata[i]->size()};
        muxed = metadata[i]->empty() || WebPMuxSetChunk(mux, fourcc[i], &chunk, 1) == WEBP_MUX_OK;
    }
    WebPData withMetadata{nullptr, 0};
    muxed = muxed && WebPMuxAssemble(mux, &withMetadata) == WEBP_MUX_OK;
    WebPMuxDelete(mux);
    const WebPData& file = muxed ? withMetadata : assembled;
    bool taken = TakeWholeFile(file.bytes, file.size, "WebP", encoded, error);
    WebPDataClear(&withMetadata);
    WebPFree(image);
    return taken;
}

}  // namespace quenvale_host
