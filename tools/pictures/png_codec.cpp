// PNG through libspng: decoded whole in the file's own format, encoded into
// memory, and spliced into the source's chunk list so that every chunk but
// the image data survives as stored.
#include <spng.h>
#include <zlib.h>

#include <cstdlib>
#include <cstring>

#include "picture.h"

namespace quenvale_host {

namespace {

const uint8_t kSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};

// Deflate turns one byte into at most 1032 (RFC 1951's longest match per
// shortest code), so pixel data beyond that many times the image data's
// bytes cannot be in the file; the slack covers the zlib frame and a
// picture too small to compress at all.
constexpr uint64_t kDeflateMaxRatio = 1032;
constexpr uint64_t kDeflateSlackBytes = 1 << 16;

uint32_t ReadBigEndian32(const uint8_t* bytes) {
    return uint32_t{bytes[0]} << 24 | uint32_t{bytes[1]} << 16 | uint32_t{bytes[2]} << 8 | bytes[3];
}

bool IsChunk(const PngChunk& chunk, const char* type) { return std::memcmp(chunk.type, type, 4) == 0; }

// The chunks from the signature to IEND, checked for their frame and CRC
// (libspng checks their contents, but passes over some it does not use,
// and these are carried into the output); *imageBytes sums the IDATs.
bool ListChunks(const uint8_t* file, size_t length, std::vector<PngChunk>* chunks, uint64_t* imageBytes,
                PictureError* error) {
    size_t at = sizeof kSignature;
    *imageBytes = 0;
    while (true) {
        if (length - at < 12) {
            *error = {ProblemBad, "the PNG is cut short: it ends before its IEND chunk"};
            return false;
        }
        uint32_t dataBytes = ReadBigEndian32(file + at);
        PngChunk chunk{at, 0, {}};
        std::memcpy(chunk.type, file + at + 4, 4);
        if (dataBytes > 0x7FFFFFFFu || dataBytes > length - at - 12) {
            *error = {ProblemBad, std::string("the PNG is cut short in its ") + chunk.type + " chunk"};
            return false;
        }
        chunk.bytes = size_t{dataBytes} + 12;
        if (crc32(0, file + at + 4, dataBytes + 4) != ReadBigEndian32(file + at + 8 + dataBytes)) {
            *error = {ProblemBad, std::string("damaged PNG: its ") + chunk.type + " chunk fails its CRC"};
            return false;
        }
        if (IsChunk(chunk, "acTL")) {
            *error = {ProblemUnsupported, "animated PNG: only still pictures are read"};
            return false;
        }
        if (IsChunk(chunk, "IDAT")) {
            *imageBytes += dataBytes;
        }
        chunks->push_back(chunk);
        at += chunk.bytes;
        if (IsChunk(chunk, "IEND")) {
            return true;
        }
    }
}

void Refuse(PictureError* error, const char* what, int code) {
    if (code == SPNG_ECHUNK_LIMITS) {
        *error = {ProblemOverBudget, "its text, profile and metadata chunks hold more than " +
                                         std::to_string(kMaxAncillaryBytes >> 20) + " MiB, more than this reads"};
        return;
    }
    PictureProblem problem = code == SPNG_EMEM ? ProblemOutOfMemory : ProblemBad;
    *error = {problem, std::string(what) + ": " + spng_strerror(code)};
}

bool DecodeImage(spng_ctx* context, uint64_t imageBytes, uint64_t maxPixels, Picture* picture, PictureError* error) {
    spng_ihdr header{};
    int code = spng_get_ihdr(context, &header);
    if (code != 0) {
        Refuse(error, "damaged PNG header", code);
        return false;
    }
    picture->width = header.width;
    picture->height = header.height;
    picture->colorType = header.color_type;
    picture->bitDepth = header.bit_depth;
    picture->interlace = header.interlace_method;
    if (!WithinPixelBudget(header.width, header.height, maxPixels, error)) {
        return false;
    }
    size_t stride = 0;
    RowBytes(header.width, header.color_type, header.bit_depth, &stride);
    if (uint64_t{stride} * header.height > imageBytes * kDeflateMaxRatio + kDeflateSlackBytes) {
        *error = {ProblemBad, "damaged PNG: " + std::to_string(imageBytes) + " bytes of image data cannot hold " +
                                  std::to_string(header.width) + " x " + std::to_string(header.height) + " pixels"};
        return false;
    }
    if (!AllocateRows(picture, error)) {
        return false;
    }
    size_t size = 0;
    code = spng_decoded_image_size(context, SPNG_FMT_PNG, &size);
    if (code == 0) {
        code = spng_decode_image(context, picture->rows, size, SPNG_FMT_PNG, 0);
    }
    if (code == 0) {
        code = spng_decode_chunks(context);  // those after the image data, checked too
    }
    if (code != 0) {
        Refuse(error, "damaged PNG", code);
        return false;
    }
    return true;
}

void TakeAncillary(spng_ctx* context, Picture* picture) {
    spng_plte palette{};
    if (spng_get_plte(context, &palette) == 0) {
        picture->paletteCount = palette.n_entries;
        for (uint32_t i = 0; i < palette.n_entries; ++i) {
            picture->palette[i][0] = palette.entries[i].red;
            picture->palette[i][1] = palette.entries[i].green;
            picture->palette[i][2] = palette.entries[i].blue;
        }
    }
    spng_phys physical{};
    if (spng_get_phys(context, &physical) == 0 && physical.unit_specifier == 1) {
        picture->resolution[0] = physical.ppu_x;
        picture->resolution[1] = physical.ppu_y;
    }
}

// IHDR's fields that EncodePng compares: the encoding of the pixels.
bool SameEncoding(const Picture& a, const Picture& b) {
    return a.colorType == b.colorType && a.bitDepth == b.bitDepth && a.interlace == b.interlace;
}

bool DescribesEncoding(const PngChunk& chunk) {
    for (const char* type : {"tRNS", "bKGD", "hIST", "sBIT"}) {
        if (IsChunk(chunk, type)) {
            return true;
        }
    }
    return false;
}

bool EncodeAlone(const Picture& picture, bool withMetadata, std::vector<uint8_t>* png, PictureError* error) {
    spng_ctx* context = spng_ctx_new(SPNG_CTX_ENCODER);
    if (context == nullptr) {
        *error = {ProblemOutOfMemory, "not enough memory to encode the PNG"};
        return false;
    }
    spng_set_option(context, SPNG_ENCODE_TO_BUFFER, 1);
    spng_ihdr header{picture.width, picture.height, picture.bitDepth, picture.colorType, 0, 0, picture.interlace};
    int code = spng_set_ihdr(context, &header);
    if (code == 0 && picture.colorType == PngPalette) {
        spng_plte palette{};
        palette.n_entries = picture.paletteCount;
        for (uint32_t i = 0; i < picture.paletteCount; ++i) {
            palette.entries[i] = {picture.palette[i][0], picture.palette[i][1], picture.palette[i][2], 0};
        }
        code = spng_set_plte(context, &palette);
    }
    if (code == 0 && withMetadata) {
        if (picture.resolution[0] != 0 && picture.resolution[1] != 0) {
            spng_phys physical{picture.resolution[0], picture.resolution[1], 1};
            spng_set_phys(context, &physical);
        }
        // A profile or EXIF that libspng will not take is left out, not
        // allowed to cost the picture.
        if (!picture.iccProfile.empty()) {
            spng_iccp profile{};
            std::strcpy(profile.profile_name, "ICC profile");
            profile.profile_len = picture.iccProfile.size();
            profile.profile = reinterpret_cast<char*>(const_cast<uint8_t*>(picture.iccProfile.data()));
            spng_set_iccp(context, &profile);
        }
        if (!picture.exif.empty()) {
            spng_exif exif{picture.exif.size(), reinterpret_cast<char*>(const_cast<uint8_t*>(picture.exif.data()))};
            spng_set_exif(context, &exif);
        }
    }
    if (code == 0) {
        code = spng_encode_image(context, picture.rows, picture.stride * picture.height, SPNG_FMT_PNG,
                                 SPNG_ENCODE_FINALIZE);
    }
    size_t length = 0;
    void* buffer = code == 0 ? spng_get_png_buffer(context, &length, &code) : nullptr;
    if (buffer != nullptr) {
        auto* bytes = static_cast<uint8_t*>(buffer);
        png->assign(bytes, bytes + length);
        std::free(buffer);
    }
    spng_ctx_free(context);
    if (code != 0 || buffer == nullptr) {
        Refuse(error, "could not encode the PNG", code != 0 ? code : SPNG_EMEM);
        return false;
    }
    return true;
}

void Append(std::vector<uint8_t>* out, const uint8_t* file, const PngChunk& chunk) {
    out->insert(out->end(), file + chunk.offset, file + chunk.offset + chunk.bytes);
}

}  // namespace

bool ReadPng(const uint8_t* file, size_t length, uint64_t maxPixels, Picture* picture, std::vector<PngChunk>* chunks,
             PictureError* error) {
    if (length < sizeof kSignature || std::memcmp(file, kSignature, sizeof kSignature) != 0) {
        *error = {ProblemBad, "not a PNG file"};
        return false;
    }
    uint64_t imageBytes = 0;
    if (!ListChunks(file, length, chunks, &imageBytes, error)) {
        return false;
    }
    spng_ctx* context = spng_ctx_new(0);
    if (context == nullptr) {
        *error = {ProblemOutOfMemory, "not enough memory to decode the PNG"};
        return false;
    }
    // libspng holds a compressed chunk's text or profile, once inflated, to
    // the chunk limit too, so that is the ancillary budget rather than the
    // file's length (ListChunks has checked each chunk lies in the file):
    // a small icon may carry a larger XMP packet.
    spng_set_chunk_limits(context, kMaxAncillaryBytes, kMaxAncillaryBytes);
    spng_set_png_buffer(context, file, length);
    bool decoded = DecodeImage(context, imageBytes, maxPixels, picture, error);
    if (decoded) {
        TakeAncillary(context, picture);
    }
    spng_ctx_free(context);
    return decoded;
}

bool EncodePng(const Picture& picture, const uint8_t* source, const std::vector<PngChunk>* chunks,
               const Picture* sourcePicture, std::vector<uint8_t>* png, PictureError* error) {
    if (picture.width == 0 || picture.height == 0) {
        *error = {ProblemUnsupported, "a PNG cannot hold a picture with no pixels"};
        return false;
    }
    if (chunks == nullptr) {
        return EncodeAlone(picture, true, png, error);
    }
    std::vector<uint8_t> fresh;
    if (!EncodeAlone(picture, false, &fresh, error)) {
        return false;
    }
    std::vector<PngChunk> freshChunks;
    uint64_t unused = 0;
    ListChunks(fresh.data(), fresh.size(), &freshChunks, &unused, error);
    bool same = SameEncoding(picture, *sourcePicture);
    bool imageWritten = false;
    png->assign(kSignature, kSignature + sizeof kSignature);
    for (const PngChunk& chunk : *chunks) {
        bool image = IsChunk(chunk, "IDAT");
        bool palette = IsChunk(chunk, "PLTE");
        if (image && imageWritten) {
            continue;
        }
        if (image || IsChunk(chunk, "IHDR") || (palette && picture.colorType == PngPalette)) {
            // The encoder's own: the header, the palette of a palette
            // picture, and the image data in the place of the first IDAT.
            imageWritten = imageWritten || image;
            for (const PngChunk& ours : freshChunks) {
                if (IsChunk(ours, chunk.type)) {
                    Append(png, fresh.data(), ours);
                }
            }
        } else if (same || !(palette || DescribesEncoding(chunk))) {
            Append(png, source, chunk);  // a suggested palette too, while the encoding stays
        }
    }
    return true;
}

}  // namespace quenvale_host
