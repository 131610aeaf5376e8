// PNG through libspng: decoded whole in the file's own format (its image
// data through libdeflate where that is plainly laid out), encoded into
// memory, and spliced into the source's chunk list so that every chunk but
// the image data survives as stored.
#include <spng.h>
#include <zlib.h>

#include <cerrno>
#include <cstdlib>
#include <algorithm>
#include <cstring>

#include "base/file_io.h"
#include "codecs/picture.h"
#include "codecs/png_deflate.h"

namespace quenvale_host {

namespace {

const uint8_t kSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};

// Deflate turns one byte into at most 1032 (RFC 1951's longest match per
// shortest code), so pixel data beyond that many times the image data's
// bytes cannot be in the file; the slack covers the zlib frame and a
// picture too small to compress at all.
constexpr uint64_t kDeflateMaxRatio = 1032;
constexpr uint64_t kDeflateSlackBytes = 1 << 16;

#if defined(QUENVALE_DEFLATE)
constexpr bool kHaveDeflate = true;
#else
constexpr bool kHaveDeflate = false;
#endif

uint32_t ReadBigEndian32(const uint8_t* bytes) {
    return uint32_t{bytes[0]} << 24 | uint32_t{bytes[1]} << 16 | uint32_t{bytes[2]} << 8 | bytes[3];
}

bool IsChunk(const PngChunk& chunk, const char* type) { return std::memcmp(chunk.type, type, 4) == 0; }

// The input could not be read, for the system's reason.
PictureError ReadFailure() {
    return {std::string("could not read it: ") + std::strerror(errno), quenvale::StatusInputReadFailed};
}

void Refuse(PictureError* error, const char* what, int code) {
    if (code == SPNG_ECHUNK_LIMITS) {
        *error = {"its text, profile and metadata chunks hold more than " +
                  std::to_string(kMaxAncillaryBytes >> 20) + " MiB, more than this reads", quenvale::StatusUnsupported};
        return;
    }
    *error = {std::string(what) + ": " + spng_strerror(code)};
}

// Reads the next count bytes of the input: a file front to back, or
// bytes in memory at *at.
bool ReadNext(const PictureInput& input, uint64_t* at, uint8_t* out, size_t count) {
    if (input.file != nullptr) {
        *at += count;
        return count == 0 || std::fread(out, 1, count, input.file) == count;
    }
    std::memcpy(out, input.bytes + *at, count);
    *at += count;
    return true;
}

// The CRC of a chunk's type and data as they pass, IDAT's in pieces.
bool CrcOfNext(const PictureInput& input, uint64_t* at, size_t count, uLong* crc) {
    if (input.file == nullptr) {
        *crc = crc32(*crc, input.bytes + *at, static_cast<uInt>(count));
        *at += count;
        return true;
    }
    uint8_t buffer[1 << 16];
    while (count > 0) {
        size_t piece = count < sizeof buffer ? count : sizeof buffer;
        if (!ReadNext(input, at, buffer, piece)) {
            return false;
        }
        *crc = crc32(*crc, buffer, static_cast<uInt>(piece));
        count -= piece;
    }
    return true;
}

// Where a PNG's image data lies, and whether libdeflate may read it: the
// IDATs in one run, and after them only ancillary chunks within the
// ancillary budget, which libspng would pass over or discard, so that
// reading the image data apart from libspng refuses nothing less.
struct ImageLayout {
    std::vector<std::pair<uint64_t, uint32_t>> spans;  // each IDAT's data: where in the input, its bytes
    bool plain = true;
};

// The chunks from the signature to IEND, checked for their frame and CRC
// (libspng checks their contents, but passes over some it does not use,
// and these are carried into the output); *imageBytes sums the IDATs.
// With carried, every chunk but IDAT is copied there and listed by its
// place in the copy; without, listed by its place in the input's bytes.
bool ListChunks(const PictureInput& input, std::vector<PngChunk>* chunks, std::vector<uint8_t>* carried,
                uint64_t* imageBytes, PictureError* error, ImageLayout* layout = nullptr) {
    uint64_t at = sizeof kSignature;
    *imageBytes = 0;
    uint64_t tailBytes = 0;
    while (true) {
        if (input.length - at < 12) {
            *error = {"the PNG is cut short: it ends before its IEND chunk"};
            return false;
        }
        uint8_t head[8];
        uint64_t start = at;
        if (!ReadNext(input, &at, head, sizeof head)) {
            *error = ReadFailure();
            return false;
        }
        uint32_t dataBytes = ReadBigEndian32(head);
        PngChunk chunk{static_cast<size_t>(start), 0, {}};
        std::memcpy(chunk.type, head + 4, 4);
        if (dataBytes > 0x7FFFFFFFu || dataBytes > input.length - start - 12) {
            *error = {std::string("the PNG is cut short in its ") + chunk.type + " chunk"};
            return false;
        }
        chunk.bytes = size_t{dataBytes} + 12;
        bool image = IsChunk(chunk, "IDAT");
        uLong crc = crc32(0, head + 4, 4);
        uint8_t stored[4];
        bool read = true;
        if (carried != nullptr && !image && carried->size() + chunk.bytes > kMaxAncillaryBytes) {
            Refuse(error, "", SPNG_ECHUNK_LIMITS);
            return false;
        }
        if (carried != nullptr && !image) {
            chunk.offset = carried->size();
            carried->resize(chunk.offset + chunk.bytes);
            uint8_t* copy = carried->data() + chunk.offset;
            std::memcpy(copy, head, sizeof head);
            read = ReadNext(input, &at, copy + 8, dataBytes + 4);
            crc = crc32(crc, copy + 8, dataBytes);
            std::memcpy(stored, copy + 8 + dataBytes, 4);
        } else {
            chunk.offset = carried != nullptr ? carried->size() : chunk.offset;  // an IDAT's: the encoder's take it
            read = CrcOfNext(input, &at, dataBytes, &crc) && ReadNext(input, &at, stored, 4);
        }
        if (!read) {
            *error = ReadFailure();
            return false;
        }
        if (crc != ReadBigEndian32(stored)) {
            *error = {std::string("damaged PNG: its ") + chunk.type + " chunk fails its CRC"};
            return false;
        }
        if (IsChunk(chunk, "acTL")) {
            *error = {"animated PNG: only still pictures are read", quenvale::StatusUnsupported};
            return false;
        }
        if (image) {
            *imageBytes += dataBytes;
        }
        if (layout != nullptr && image) {
            layout->plain = layout->plain && tailBytes == 0;
            layout->spans.emplace_back(start + 8, dataBytes);
        } else if (layout != nullptr && !layout->spans.empty()) {
            tailBytes += chunk.bytes;
            bool ancillary = (chunk.type[0] & 0x20) != 0 || IsChunk(chunk, "IEND");
            layout->plain = layout->plain && ancillary && tailBytes <= kMaxAncillaryBytes;
        }
        chunks->push_back(chunk);
        if (IsChunk(chunk, "IEND")) {
            return true;
        }
    }
}

// How libdeflate would take the image data (see ImageLayout): not at all,
// in place in the input's bytes, or copied (from a file, or from several
// IDATs) where the copy stays within a byte a pixel (or a MiB), as
// libspng's streaming would.
enum class Inflate { Never, InPlace, Copied };

Inflate InflateWay(const PictureInput& input, const ImageLayout& layout, uint64_t imageBytes, const Picture& picture) {
    if (!kHaveDeflate || picture.interlace != 0 || !layout.plain || layout.spans.empty()) {
        return Inflate::Never;
    }
    if (input.file == nullptr && layout.spans.size() == 1) {
        return Inflate::InPlace;
    }
    bool within = imageBytes <= std::max(uint64_t{picture.width} * picture.height, uint64_t{1} << 20);
    return within ? Inflate::Copied : Inflate::Never;
}

// The rows through libdeflate, into the picture's block with room for
// each row's filter byte (and, copied, the image data after that, given
// back once the rows are in): true once they are, false where libspng is
// to decode them (*error unset), or with *error where the input cannot be
// read.
bool InflateRows(const PictureInput& input, const ImageLayout& layout, uint64_t imageBytes, Inflate way,
                 Picture* picture, PictureError* error) {
#if defined(QUENVALE_DEFLATE)
    if (way == Inflate::Never) {
        return false;
    }
    size_t rows = picture->stride * picture->height, filtered = rows + picture->height;
    const uint8_t* data = input.bytes != nullptr ? input.bytes + layout.spans[0].first : nullptr;
    if (way == Inflate::Copied) {
        uint8_t* to = picture->rows + filtered;
        data = to;
        for (const auto& span : layout.spans) {
            uint64_t at = span.first;
            if (input.file != nullptr && !quenvale::SeekFile(input.file, at)) {
                *error = ReadFailure();
                return false;
            }
            ReadNext(input, &at, to, span.second);
            to += span.second;
        }
    }
    if (!InflatePngRows(data, static_cast<size_t>(imageBytes), *picture, picture->rows)) {
        return false;
    }
    if (way == Inflate::Copied) {
        // The copy's pages go back (a block this large is mapped apart).
        auto* shrunk = static_cast<uint8_t*>(std::realloc(picture->rows, rows + 1));
        picture->rows = shrunk != nullptr ? shrunk : picture->rows;
    }
    return true;
#else
    (void)input, (void)layout, (void)imageBytes, (void)way, (void)picture, (void)error;
    return false;
#endif
}

bool ProfileRemade(const uint8_t* chunk, size_t bytes, std::vector<uint8_t>* remade) {
#if defined(QUENVALE_DEFLATE)
    return RecompressProfile(chunk, bytes, remade);
#else
    (void)chunk, (void)bytes, (void)remade;
    return false;
#endif
}

bool DecodeImage(spng_ctx* context, const PictureInput& input, const ImageLayout& layout, uint64_t imageBytes,
                 uint64_t maxPixels, Picture* picture, PictureError* error) {
    spng_ihdr header{};
    int code = spng_get_ihdr(context, &header);
    if (code != 0) {
        Refuse(error, "damaged PNG header", code);
        return false;
    }
    picture->width = header.width;
    picture->height = header.height;
    SetPngEncoding(picture, header.color_type, header.bit_depth);
    picture->interlace = header.interlace_method;
    if (!WithinPixelBudget(header.width, header.height, maxPixels, error)) {
        return false;
    }
    size_t stride = 0;
    RowBytes(header.width, header.color_type, header.bit_depth, &stride);
    if (uint64_t{stride} * header.height > imageBytes * kDeflateMaxRatio + kDeflateSlackBytes) {
        *error = {"damaged PNG: " + std::to_string(imageBytes) + " bytes of image data cannot hold " +
                  std::to_string(header.width) + " x " + std::to_string(header.height) + " pixels"};
        return false;
    }
    // The chunks before the image data first, checked as ever; then a
    // filter byte a row spare for libdeflate's rows, and room for the
    // image data it reads copied, where the block can hold them.
    code = spng_decode_chunks(context);
    Inflate way = InflateWay(input, layout, imageBytes, *picture);
    uint64_t spare = way == Inflate::Never ? 0 : header.height + (way == Inflate::Copied ? imageBytes : 0);
    if (uint64_t{stride} * header.height + spare > SIZE_MAX / 2) {
        way = Inflate::Never;
        spare = 0;
    }
    if (code == 0 && !AllocateRows(picture, error, static_cast<size_t>(spare))) {
        return false;
    }
    if (code == 0 && InflateRows(input, layout, imageBytes, way, picture, error)) {
        return true;
    }
    if (!error->reason.empty()) {
        return false;
    }
    size_t size = 0;
    if (code == 0) {
        code = spng_decoded_image_size(context, SPNG_FMT_PNG, &size);
    }
    // Back where libspng stopped, at the first IDAT's data.
    if (code == 0 && input.file != nullptr && !layout.spans.empty() &&
        !quenvale::SeekFile(input.file, layout.spans[0].first)) {
        *error = ReadFailure();
        return false;
    }
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
            SetPaletteEntry(picture, i, palette.entries[i].red, palette.entries[i].green, palette.entries[i].blue);
        }
    }
    spng_trns transparency{};
    if (spng_get_trns(context, &transparency) == 0) {
        if (PngColorTypeOf(*picture) == PngPalette) {
            picture->alphaCount = transparency.n_type3_entries;
            std::memcpy(picture->paletteAlpha, transparency.type3_alpha, sizeof picture->paletteAlpha);
        } else {
            picture->keyed = true;
            bool grey = PngColorTypeOf(*picture) == PngGray;
            SetKey(picture, grey ? transparency.gray : transparency.red, transparency.green, transparency.blue);
        }
    }
    spng_phys physical{};
    if (spng_get_phys(context, &physical) == 0 && physical.unit_specifier == 1) {
        picture->resolution[0] = physical.ppu_x;
        picture->resolution[1] = physical.ppu_y;
    }
}

// Whether the chunks that describe one picture's pixel encoding (its
// palette, transparency, background...) describe the other's too: the same
// colour type and depth, and where a new encoding was made for it, the
// same palette and transparency.
bool SameEncoding(const Picture& a, const Picture& b, bool made) {
    bool same = PngColorTypeOf(a) == PngColorTypeOf(b) && a.bits == b.bits;
    if (!same || !made) {
        return same;
    }
    same = a.keyed == b.keyed && a.alphaCount == b.alphaCount &&
           std::memcmp(a.paletteAlpha, b.paletteAlpha, a.alphaCount) == 0;
    if (same && PngColorTypeOf(a) == PngPalette) {
        same = a.paletteCount == b.paletteCount && std::memcmp(a.palette, b.palette, sizeof a.palette[0] * a.paletteCount) == 0;
    }
    return same && (!a.keyed || a.key == b.key);
}

bool DescribesEncoding(const PngChunk& chunk) {
    for (const char* type : {"tRNS", "bKGD", "hIST", "sBIT"}) {
        if (IsChunk(chunk, type)) {
            return true;
        }
    }
    return false;
}

// The size of the picture's rows as PNG image data with the filters given.
size_t EncodedSize(const Picture& picture, int filters) {
    spng_ctx* context = spng_ctx_new(SPNG_CTX_ENCODER);
    size_t length = 0;
    int code = context == nullptr ? SPNG_EMEM : 0;
    if (code == 0) {
        spng_set_option(context, SPNG_ENCODE_TO_BUFFER, 1);
        spng_set_option(context, SPNG_FILTER_CHOICE, filters);
        spng_ihdr header{picture.width, picture.height, picture.bits, PngColorTypeOf(picture), 0, 0, 0};
        code = spng_set_ihdr(context, &header);
    }
    if (code == 0) {
        code = spng_encode_image(context, picture.rows, picture.stride * picture.height, SPNG_FMT_PNG,
                                 SPNG_ENCODE_FINALIZE);
    }
    void* buffer = code == 0 ? spng_get_png_buffer(context, &length, &code) : nullptr;
    std::free(buffer);
    spng_ctx_free(context);
    return code == 0 ? length : SIZE_MAX;
}

// The row filters for a picture of 8 bits or more a sample: none, or
// libspng's choice per row, whichever makes the smaller PNG of a sample of
// its rows. Flat colours, as a flatten leaves
// them, are half the size unfiltered; smooth pictures the other way round.
int ChooseFilters(const Picture& picture) {
    std::vector<uint8_t> rows;
    Picture sample = SampleOfRows(picture, &rows);
    return EncodedSize(sample, SPNG_FILTER_CHOICE_NONE) <= EncodedSize(sample, SPNG_FILTER_CHOICE_ALL)
               ? SPNG_FILTER_CHOICE_NONE
               : SPNG_FILTER_CHOICE_ALL;
}

// The encoder's PNG of the picture, in a buffer of its own (*bytes, to be
// freed): through libdeflate where this build has it, but for an
// interlaced one (--keep-encoding), which libspng interlaces.
bool EncodeAlone(const Picture& picture, bool framed, bool withMetadata, PngEffort effort, uint8_t** bytes,
                 size_t* length, PictureError* error) {
#if defined(QUENVALE_DEFLATE)
    // libdeflate takes the filtered rows whole: a byte a pixel at most
    // beside the picture (indices, grey), or at the most effort, which asks
    // for the smallest file whatever it holds; else zlib, streamed.
    if (framed || (picture.interlace == 0 && (picture.stride <= picture.width || effort == EffortMax))) {
        return EncodePngDeflate(picture, framed, withMetadata, effort, bytes, length, error);
    }
#else
    (void)effort, (void)framed;
#endif
    spng_ctx* context = spng_ctx_new(SPNG_CTX_ENCODER);
    if (context == nullptr) {
        *error = {"not enough memory to encode the PNG", quenvale::StatusOutOfMemory};
        return false;
    }
    spng_set_option(context, SPNG_ENCODE_TO_BUFFER, 1);
    spng_ihdr header{picture.width, picture.height, picture.bits, PngColorTypeOf(picture), 0, 0, picture.interlace};
    int code = spng_set_ihdr(context, &header);
    if (code == 0 && PngColorTypeOf(picture) == PngPalette) {
        spng_plte palette{};
        palette.n_entries = picture.paletteCount;
        for (uint32_t i = 0; i < picture.paletteCount; ++i) {
            palette.entries[i] = {PaletteSample(picture, i, 0), PaletteSample(picture, i, 1), PaletteSample(picture, i, 2), 0};
        }
        code = spng_set_plte(context, &palette);
    }
    if (code == 0 && (picture.alphaCount != 0 || picture.keyed)) {
        spng_trns transparency{};
        transparency.gray = static_cast<uint16_t>(KeySample(picture, 0));
        transparency.red = static_cast<uint16_t>(KeySample(picture, 0));
        transparency.green = static_cast<uint16_t>(KeySample(picture, 1));
        transparency.blue = static_cast<uint16_t>(KeySample(picture, 2));
        transparency.n_type3_entries = picture.alphaCount;
        std::memcpy(transparency.type3_alpha, picture.paletteAlpha, sizeof transparency.type3_alpha);
        code = spng_set_trns(context, &transparency);
    }
    // Rows of indices or of few bits compress best unfiltered.
    bool unfiltered = PngColorTypeOf(picture) == PngPalette || picture.bits < 8;
    spng_set_option(context, SPNG_FILTER_CHOICE, unfiltered ? SPNG_FILTER_CHOICE_NONE : ChooseFilters(picture));
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
    void* buffer = code == 0 ? spng_get_png_buffer(context, length, &code) : nullptr;
    *bytes = static_cast<uint8_t*>(buffer);
    spng_ctx_free(context);
    if (code != 0 || buffer == nullptr) {
        Refuse(error, "could not encode the PNG", code != 0 ? code : SPNG_EMEM);
        return false;
    }
    return true;
}

void Append(EncodedFile* png, const uint8_t* file, const PngChunk& chunk) {
    png->pieces.push_back({file + chunk.offset, chunk.bytes});
}

}  // namespace

bool ReadPng(const PictureInput& input, uint64_t maxPixels, Picture* picture, SourceCarry* carry, PictureError* error) {
    std::vector<PngChunk> unlisted;
    std::vector<PngChunk>* chunks = carry != nullptr ? &carry->chunks : &unlisted;
    std::vector<uint8_t>* carried = carry != nullptr ? &carry->bytes : nullptr;
    uint8_t signature[sizeof kSignature];
    uint64_t at = 0;
    if (input.length < sizeof kSignature || !ReadNext(input, &at, signature, sizeof signature) ||
        std::memcmp(signature, kSignature, sizeof kSignature) != 0) {
        *error = {"not a PNG file"};
        return false;
    }
    uint64_t imageBytes = 0;
    ImageLayout layout;
    if (!ListChunks(input, chunks, carried, &imageBytes, error, &layout)) {
        return false;
    }
    spng_ctx* context = spng_ctx_new(0);
    if (context == nullptr) {
        *error = {"not enough memory to decode the PNG", quenvale::StatusOutOfMemory};
        return false;
    }
    // libspng holds a compressed chunk's text or profile, once inflated, to
    // the chunk limit too, so that is the ancillary budget rather than the
    // file's length (ListChunks has checked each chunk lies in the file):
    // a small icon may carry a larger XMP packet.
    spng_set_chunk_limits(context, kMaxAncillaryBytes, kMaxAncillaryBytes);
    // A file is decoded as it is read, never held whole beside its pixels.
    bool decoded = true;
    if (input.file != nullptr) {
        decoded = quenvale::SeekFile(input.file, 0) && spng_set_png_file(context, input.file) == 0;
        if (!decoded) {
            *error = ReadFailure();
        }
    } else {
        spng_set_png_buffer(context, input.bytes, static_cast<size_t>(input.length));
    }
    decoded = decoded && DecodeImage(context, input, layout, imageBytes, maxPixels, picture, error);
    if (decoded) {
        TakeAncillary(context, picture);
    }
    spng_ctx_free(context);
    return decoded;
}

bool EncodePngPieces(const Picture& given, const EncodeRequest& request, EncodedFile* png, PictureError* error) {
    const std::vector<PngChunk>* chunks = request.carry != nullptr ? &request.carry->chunks : nullptr;
    const uint8_t* source = request.carry != nullptr ? request.carry->bytes.data() : nullptr;
    const Picture* sourcePicture = request.source;
    bool keepEncoding = request.keepEncoding;
    if (given.width == 0 || given.height == 0) {
        *error = {"a PNG cannot hold a picture with no pixels", quenvale::StatusUnsupported};
        return false;
    }
    Picture smallest{};
    bool changed = false;
    // libdeflate takes a palette's indices as they are laid out, with no copy.
    bool framed = kHaveDeflate && !keepEncoding;
    if (!keepEncoding && !SmallestEncoding(given, &smallest, &changed, error, &framed)) {
        return false;
    }
    Picture plain = given;
    plain.interlace = keepEncoding ? given.interlace : 0;  // Adam7 only makes it larger
    const Picture& picture = changed ? smallest : plain;
    bool encoded =
        EncodeAlone(picture, framed, chunks == nullptr, request.effort, &png->encoded, &png->encodedLength, error);
    std::free(framed ? smallest.rows - 1 : smallest.rows);
    if (!encoded) {
        return false;
    }
    if (chunks == nullptr) {
        png->pieces.push_back({png->encoded, png->encodedLength});
        return true;
    }
    std::vector<PngChunk> freshChunks;
    uint64_t unused = 0;
    ListChunks(PictureInput{nullptr, png->encoded, png->encodedLength}, &freshChunks, nullptr, &unused, error);
    auto appendFresh = [png, &freshChunks](const char* type) {
        for (const PngChunk& ours : freshChunks) {
            if (IsChunk(ours, type)) {
                Append(png, png->encoded, ours);
            }
        }
    };
    bool same = SameEncoding(picture, *sourcePicture, changed || request.newPalette);
    bool imageWritten = false, paletteWritten = false;
    png->pieces.push_back({kSignature, sizeof kSignature});
    for (const PngChunk& chunk : *chunks) {
        bool palette = IsChunk(chunk, "PLTE");
        if (IsChunk(chunk, "IDAT")) {
            if (!imageWritten && !same) {
                // A new encoding's own transparency, and its palette where the
                // source had none, go just before the image data.
                if (PngColorTypeOf(picture) == PngPalette && !paletteWritten) {
                    appendFresh("PLTE");
                }
                appendFresh("tRNS");
            }
            if (!imageWritten) {
                appendFresh("IDAT");
            }
            imageWritten = true;
        } else if (IsChunk(chunk, "IHDR") || (palette && PngColorTypeOf(picture) == PngPalette)) {
            appendFresh(chunk.type);  // the encoder's header, and palette of a palette picture
            paletteWritten = paletteWritten || palette;
        } else if (same || !(palette || DescribesEncoding(chunk))) {
            Append(png, source, chunk);  // a suggested palette too, while the encoding stays
            // At the most effort the profile is compressed again, as
            // optimisers do, where that is smaller: the same name and profile.
            if (kHaveDeflate && IsChunk(chunk, "iCCP") && request.effort == EffortMax && !keepEncoding &&
                ProfileRemade(source + chunk.offset, chunk.bytes, &png->remade)) {
                png->pieces.back() = {png->remade.data(), png->remade.size()};
            }
        }
    }
    return true;
}

void ReleaseEncodedFile(EncodedFile* png) {
    std::free(png->encoded);
    *png = EncodedFile{};
}

bool EncodePng(const Picture& picture, const EncodeRequest& request, std::vector<uint8_t>* png, PictureError* error) {
    EncodedFile pieces{};
    bool encoded = EncodePngPieces(picture, request, &pieces, error);
    png->clear();
    for (const EncodedFile::Piece& piece : pieces.pieces) {
        png->insert(png->end(), piece.bytes, piece.bytes + piece.length);
    }
    ReleaseEncodedFile(&pieces);
    return encoded;
}

}  // namespace quenvale_host
