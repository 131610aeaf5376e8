// PNG image data through libdeflate. Written: the rows filtered here (none
// for indices and samples of few bits, else each row's filter of the
// smallest sum of magnitudes, or none where a sample of the rows
// compresses smaller so), compressed at once, and the chunks framed with
// their CRCs; faster than zlib at each level, and at the highest within a
// percent of oxipng. Read: inflated at once, twice zlib's speed, and
// unfiltered in place in the picture's own block.
#include <libdeflate.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "codecs/png_deflate.h"

namespace quenvale_host {

namespace {

// The deflate level of each effort, measured on photos and their flattens
// against zlib's level 6 through libspng: 6 is as small in 0.64 of the
// time, 1 is 14% larger and faster again, 12 is 15% smaller in ten times.
int LevelOf(PngEffort effort) { return effort == EffortFast ? 1 : effort == EffortMax ? 12 : 6; }

uint8_t Paeth(int a, int b, int c) {
    int p = a + b - c, pa = std::abs(p - a), pb = std::abs(p - b), pc = std::abs(p - c);
    return static_cast<uint8_t>(pa <= pb && pa <= pc ? a : pb <= pc ? b : c);
}

// Row y filtered by `filter` into out (its filter byte, then the row).
void FilterRow(const uint8_t* row, const uint8_t* above, size_t bytes, size_t step, int filter, uint8_t* out) {
    out[0] = static_cast<uint8_t>(filter);
    for (size_t i = 0; i < bytes; ++i) {
        int a = i >= step ? row[i - step] : 0, b = above != nullptr ? above[i] : 0;
        int c = i >= step && above != nullptr ? above[i - step] : 0;
        int predicted = filter == 1 ? a : filter == 2 ? b : filter == 3 ? (a + b) / 2 : filter == 4 ? Paeth(a, b, c) : 0;
        out[1 + i] = static_cast<uint8_t>(row[i] - predicted);
    }
}

// The rows as PNG image data before compression: each row unfiltered, or
// with the filter whose output has the smallest sum of magnitudes. 16-bit
// samples, held in the host's order, are written big-endian.
void FilterRows(const Picture& picture, bool adaptive, std::vector<uint8_t>* filtered) {
    size_t bytes = picture.stride, step = std::max<size_t>(1, ChannelsOf(picture) * picture.bits / 8);
    filtered->resize((bytes + 1) * picture.height);
    std::vector<uint8_t> trial(bytes + 1);
    bool swap = picture.bits == 16 && HostIsLittleEndian();
    std::vector<uint8_t> swapped(swap ? 2 * bytes : 0);
    for (uint32_t y = 0; y < picture.height; ++y) {
        const uint8_t* row = picture.rows + size_t{y} * picture.stride;
        const uint8_t* above = y > 0 ? row - picture.stride : nullptr;
        if (swap) {
            uint8_t* to = swapped.data() + (y % 2) * bytes;
            for (size_t i = 0; i + 1 < bytes; i += 2) {
                to[i] = row[i + 1], to[i + 1] = row[i];
            }
            row = to;
            above = y > 0 ? swapped.data() + ((y + 1) % 2) * bytes : nullptr;
        }
        uint8_t* out = filtered->data() + size_t{y} * (bytes + 1);
        FilterRow(row, above, bytes, step, 0, out);
        if (!adaptive) {
            continue;
        }
        uint64_t best = UINT64_MAX;
        for (int filter = 0; filter < 5; ++filter) {
            FilterRow(row, above, bytes, step, filter, trial.data());
            uint64_t sum = 0;
            for (size_t i = 1; i <= bytes; ++i) {
                sum += static_cast<uint64_t>(std::abs(static_cast<int>(static_cast<int8_t>(trial[i]))));
            }
            if (sum < best) {
                best = sum;
                std::memcpy(out, trial.data(), bytes + 1);
            }
        }
    }
}

// The data as one zlib stream: first into half its size, which flat
// colours always fit, so that the bound's room is taken only where needed
// (and, left unzeroed, its pages only as far as the stream reaches).
bool Compress(libdeflate_compressor* compressor, const uint8_t* data, size_t size, std::vector<uint8_t>* out) {
    size_t length = 0;
    for (size_t room : {size / 2 + 1024, libdeflate_zlib_compress_bound(compressor, size)}) {
        std::unique_ptr<uint8_t[]> buffer(new (std::nothrow) uint8_t[room]);
        length = buffer != nullptr ? libdeflate_zlib_compress(compressor, data, size, buffer.get(), room) : 0;
        if (length != 0) {
            out->assign(buffer.get(), buffer.get() + length);
            return true;
        }
    }
    return false;
}

bool Compress(libdeflate_compressor* compressor, const std::vector<uint8_t>& data, std::vector<uint8_t>* out) {
    return Compress(compressor, data.data(), data.size(), out);
}

// Whether rows of 8 bits or more a sample compress smaller filtered row by
// row than unfiltered, judged on a sample of the rows. Flat
// colours, as a flatten leaves them, are half the size unfiltered; smooth
// pictures the other way round.
bool FiltersPay(const Picture& picture, libdeflate_compressor* compressor) {
    std::vector<uint8_t> rows;
    Picture sample = SampleOfRows(picture, &rows);
    std::vector<uint8_t> plain, adaptive, packed;
    FilterRows(sample, false, &plain);
    FilterRows(sample, true, &adaptive);
    size_t unfiltered = Compress(compressor, plain, &packed) ? packed.size() : SIZE_MAX;
    size_t filtered = Compress(compressor, adaptive, &packed) ? packed.size() : SIZE_MAX;
    return filtered < unfiltered;
}

void PutBigEndian32(std::string* out, uint32_t value) {
    for (int shift = 24; shift >= 0; shift -= 8) {
        out->push_back(static_cast<char>(value >> shift));
    }
}

void PutChunk(std::string* png, const char* type, const void* data, size_t length) {
    PutBigEndian32(png, static_cast<uint32_t>(length));
    size_t start = png->size();
    png->append(type, 4);
    png->append(static_cast<const char*>(data), length);
    PutBigEndian32(png, libdeflate_crc32(0, png->data() + start, length + 4));
}

// One row's Sub (1), Average (3) or Paeth (4) undone, each of a pixel's
// Step bytes with its left and corner neighbours held in registers, not
// read back from the row just written. Rows of 8 bits or more a sample are
// whole pixels; narrower ones have a step of 1.
template <size_t Step, int Filter>
void UnfilterRow(const uint8_t* from, const uint8_t* above, uint8_t* to, size_t bytes) {
    uint8_t left[Step] = {}, corner[Step] = {};
    for (size_t i = 0; i < bytes; i += Step) {
        for (size_t k = 0; k < Step; ++k) {
            int a = left[k], b = above[i + k], c = corner[k];
            int predicted = Filter == 3 ? (a + b) >> 1 : Filter == 4 ? Paeth(a, b, c) : a;
            uint8_t value = static_cast<uint8_t>(from[i + k] + predicted);
            to[i + k] = value;
            left[k] = value;
            corner[k] = static_cast<uint8_t>(b);
        }
    }
}

// Paeth undone over pixels of 3 or 4 bytes, a pixel's channels side by side
// in the 16-bit lanes of one vector (the vector extension of GCC and
// Clang, which each target lowers to its SIMD or to scalar code): the
// choice Paeth() makes per channel, in a third of the instructions.
template <size_t Step>
void UnfilterPaethPixels(const uint8_t* from, const uint8_t* above, uint8_t* to, size_t bytes) {
    using Lanes = int16_t __attribute__((vector_size(8)));
    static_assert(Step == 3 || Step == 4, "a pixel of 3 or 4 bytes");
    auto load = [](const uint8_t* bytes) {
        return Lanes{bytes[0], bytes[1], bytes[2], static_cast<int16_t>(Step == 4 ? bytes[3] : 0)};
    };
    Lanes a{}, c{};
    for (size_t i = 0; i < bytes; i += Step) {
        Lanes b = load(above + i);
        Lanes p = b - c, q = a - c, r = p + q;
        Lanes pa = (p ^ (p >> 15)) - (p >> 15), pb = (q ^ (q >> 15)) - (q >> 15), pc = (r ^ (r >> 15)) - (r >> 15);
        Lanes takeA = (pa <= pb) & (pa <= pc), takeB = ~takeA & (pb <= pc);
        Lanes value = (load(from + i) + ((takeA & a) | (takeB & b) | (~(takeA | takeB) & c))) & 0xFF;
        for (size_t k = 0; k < Step; ++k) {
            to[i + k] = static_cast<uint8_t>(value[k]);
        }
        a = value;
        c = b;
    }
}

// Row after row, each is unfiltered from just past its filter byte down to
// its place in the compact rows: a row's bytes move down by y + 1, so every
// byte is read before the row written below it reaches it, and the row
// above is already final.
template <size_t Step>
bool UnfilterInPlace(uint8_t* block, size_t bytes, uint32_t height) {
    std::vector<uint8_t> zeros(bytes);
    for (uint32_t y = 0; y < height; ++y) {
        const uint8_t* from = block + size_t{y} * (bytes + 1);
        uint8_t filter = *from++;
        uint8_t* to = block + size_t{y} * bytes;
        const uint8_t* above = y > 0 ? to - bytes : zeros.data();
        switch (filter) {
            case 0:
                std::memmove(to, from, bytes);
                break;
            case 1:
                UnfilterRow<Step, 1>(from, above, to, bytes);
                break;
            case 2:
                for (size_t i = 0; i < bytes; ++i) {
                    to[i] = static_cast<uint8_t>(from[i] + above[i]);
                }
                break;
            case 3:
                UnfilterRow<Step, 3>(from, above, to, bytes);
                break;
            case 4:
                if constexpr (Step == 3 || Step == 4) {
                    UnfilterPaethPixels<Step>(from, above, to, bytes);
                } else {
                    UnfilterRow<Step, 4>(from, above, to, bytes);
                }
                break;
            default:
                return false;
        }
    }
    return true;
}

bool UnfilterAny(uint8_t* block, size_t bytes, size_t step, uint32_t height) {
    switch (step) {
        case 1:
            return UnfilterInPlace<1>(block, bytes, height);
        case 2:
            return UnfilterInPlace<2>(block, bytes, height);
        case 3:
            return UnfilterInPlace<3>(block, bytes, height);
        case 4:
            return UnfilterInPlace<4>(block, bytes, height);
        case 6:
            return UnfilterInPlace<6>(block, bytes, height);
        default:
            return UnfilterInPlace<8>(block, bytes, height);
    }
}

// The palette's opaque entries (after those with alpha, which stay first
// so that tRNS stays short) in the order of their keys, ties in their
// order; remap takes each old index to its new one.
void SortPalette(Picture* picture, const uint64_t* keys, uint8_t* remap) {
    uint32_t order[256];
    for (uint32_t i = 0; i < 256; ++i) {
        order[i] = i;
    }
    uint32_t count = std::min<uint32_t>(picture->paletteCount, 256), alpha = std::min(picture->alphaCount, count);
    std::stable_sort(order + alpha, order + count, [keys](uint32_t a, uint32_t b) { return keys[a] < keys[b]; });
    uint32_t palette[256];
    uint8_t paletteAlpha[256];
    for (uint32_t j = 0; j < count; ++j) {
        palette[j] = picture->palette[order[j]];
        paletteAlpha[j] = picture->paletteAlpha[order[j]];
        remap[order[j]] = static_cast<uint8_t>(j);
    }
    std::copy(palette, palette + count, picture->palette);
    std::copy(paletteAlpha, paletteAlpha + count, picture->paletteAlpha);
}

// The rows of a framed palette picture of byte indices, compressed with
// the palette sorted by each of two keys, as optimisers sort it: by
// lightness (a photo's neighbours are near in it, so indices repeat more)
// and by how often each is used. *data and *described take the smallest.
void TrySortedPalettes(const Picture& picture, libdeflate_compressor* compressor, std::vector<uint8_t>* data,
                       Picture* sorted, const Picture** described) {
    size_t bytes = picture.stride * picture.height;
    const uint8_t* block = picture.rows - 1;
    uint64_t lightness[256] = {}, rarity[256] = {};
    for (uint32_t i = 0; i < 256; ++i) {
        uint32_t rgb = picture.palette[i];
        lightness[i] = 299 * (rgb >> 16) + 587 * (rgb >> 8 & 0xFF) + 114 * (rgb & 0xFF);
    }
    for (uint32_t y = 0; y < picture.height; ++y) {
        const uint8_t* row = block + size_t{y} * picture.stride + 1;  // past the filter byte
        for (uint32_t x = 0; x < picture.width; ++x) {
            --rarity[row[x]];  // the most used first
        }
    }
    std::vector<uint8_t> rows(bytes), other;  // the filter bytes stay 0, none
    for (const uint64_t* keys : {lightness, rarity}) {
        Picture trial = picture;
        uint8_t remap[256] = {};
        SortPalette(&trial, keys, remap);
        for (uint32_t y = 0; y < picture.height; ++y) {
            size_t row = size_t{y} * picture.stride + 1;
            for (uint32_t x = 0; x < picture.width; ++x) {
                rows[row + x] = remap[block[row + x]];
            }
        }
        if (Compress(compressor, rows, &other) && other.size() < data->size()) {
            data->swap(other);
            *sorted = trial;
            *described = sorted;
        }
    }
}

}  // namespace

bool RecompressProfile(const uint8_t* chunk, size_t bytes, std::vector<uint8_t>* remade) {
    // Its name (1 to 79 bytes), a zero, the method (0: zlib), the profile.
    const uint8_t* data = chunk + 8;
    size_t length = bytes - 12;
    const auto* end = static_cast<const uint8_t*>(std::memchr(data, 0, std::min<size_t>(length, 80)));
    if (end == nullptr || end == data || size_t(end - data) + 2 > length || end[1] != 0) {
        return false;
    }
    size_t head = size_t(end - data) + 2;
    // Inflated into room that doubles until it holds the profile, within
    // the ancillary budget.
    libdeflate_decompressor* decompressor = libdeflate_alloc_decompressor();
    std::vector<uint8_t> profile;
    size_t inflated = 0;
    libdeflate_result result = LIBDEFLATE_INSUFFICIENT_SPACE;
    for (size_t room = std::max<size_t>(4 * length, 1 << 16);
         decompressor != nullptr && result == LIBDEFLATE_INSUFFICIENT_SPACE && room <= kMaxAncillaryBytes; room *= 2) {
        profile.resize(room);
        result = libdeflate_zlib_decompress(decompressor, data + head, length - head, profile.data(), room, &inflated);
    }
    libdeflate_free_decompressor(decompressor);
    libdeflate_compressor* compressor = libdeflate_alloc_compressor(LevelOf(EffortMax));
    std::vector<uint8_t> packed;
    bool smaller = result == LIBDEFLATE_SUCCESS && compressor != nullptr &&
                   Compress(compressor, profile.data(), inflated, &packed) && head + packed.size() < length;
    libdeflate_free_compressor(compressor);
    if (smaller) {
        std::string remadeChunk;
        std::string body(reinterpret_cast<const char*>(data), head);
        body.append(packed.begin(), packed.end());
        PutChunk(&remadeChunk, "iCCP", body.data(), body.size());
        remade->assign(remadeChunk.begin(), remadeChunk.end());
    }
    return smaller;
}

bool InflatePngRows(const uint8_t* compressed, size_t length, const Picture& picture, uint8_t* block) {
    libdeflate_decompressor* decompressor = libdeflate_alloc_decompressor();
    if (decompressor == nullptr) {
        return false;
    }
    // Without a count returned, success means the stream filled the rows
    // exactly; its Adler-32 is checked too.
    size_t bytes = picture.stride;
    libdeflate_result result =
        libdeflate_zlib_decompress(decompressor, compressed, length, block, (bytes + 1) * picture.height, nullptr);
    libdeflate_free_decompressor(decompressor);
    size_t step = std::max<size_t>(1, ChannelsOf(picture) * picture.bits / 8);
    if (result != LIBDEFLATE_SUCCESS || !UnfilterAny(block, bytes, step, picture.height)) {
        return false;
    }
    if (picture.bits == 16 && HostIsLittleEndian()) {
        uint8_t* end = block + bytes * picture.height;
        for (uint8_t* at = block; at + 1 < end; at += 2) {
            std::swap(at[0], at[1]);
        }
    }
    return true;
}

bool EncodePngDeflate(const Picture& picture, bool framed, bool withMetadata, PngEffort effort, uint8_t** bytes,
                      size_t* length, PictureError* error) {
    libdeflate_compressor* compressor = libdeflate_alloc_compressor(LevelOf(effort));
    if (compressor == nullptr) {
        *error = {"not enough memory to encode the PNG", quenvale::StatusOutOfMemory};
        return false;
    }
    uint8_t type = PngColorTypeOf(picture);
    // Rows of indices or of few bits compress best unfiltered.
    bool adaptive = !framed && type != PngPalette && picture.bits >= 8 && FiltersPay(picture, compressor);
    std::vector<uint8_t> filtered, data;
    if (!framed) {
        FilterRows(picture, adaptive, &filtered);
    }
    bool compressed = framed ? Compress(compressor, picture.rows - 1, picture.stride * picture.height, &data)
                             : Compress(compressor, filtered, &data);
    std::vector<uint8_t>().swap(filtered);
    // At the most effort a palette of byte indices is also tried sorted.
    const Picture* described = &picture;
    Picture sorted{};
    if (compressed && effort == EffortMax && framed && picture.bits == 8) {
        TrySortedPalettes(picture, compressor, &data, &sorted, &described);
    }
    std::string png("\x89PNG\r\n\x1A\n", 8), chunk;
    PutBigEndian32(&chunk, picture.width);
    PutBigEndian32(&chunk, picture.height);
    chunk += {static_cast<char>(picture.bits), static_cast<char>(type), 0, 0, 0};
    PutChunk(&png, "IHDR", chunk.data(), chunk.size());
    if (withMetadata && !picture.iccProfile.empty()) {
        // A profile's name, its method (zlib) and the profile compressed.
        std::vector<uint8_t> packed;
        if (Compress(compressor, picture.iccProfile, &packed)) {
            chunk.assign("ICC profile\0\0", 13);
            chunk.append(packed.begin(), packed.end());
            PutChunk(&png, "iCCP", chunk.data(), chunk.size());
        }
    }
    if (type == PngPalette) {
        chunk.clear();
        for (uint32_t i = 0; i < described->paletteCount; ++i) {
            for (uint32_t channel = 0; channel < 3; ++channel) {
                chunk.push_back(static_cast<char>(PaletteSample(*described, i, channel)));
            }
        }
        PutChunk(&png, "PLTE", chunk.data(), chunk.size());
    }
    if (type == PngPalette && described->alphaCount != 0) {
        PutChunk(&png, "tRNS", described->paletteAlpha, described->alphaCount);
    } else if (picture.keyed && (type == PngGray || type == PngRgb)) {
        chunk.clear();
        for (uint32_t c = 0; c < (type == PngGray ? 1u : 3u); ++c) {
            uint32_t sample = KeySample(picture, c);
            chunk += {static_cast<char>(sample >> 8), static_cast<char>(sample)};
        }
        PutChunk(&png, "tRNS", chunk.data(), chunk.size());
    }
    if (withMetadata && picture.resolution[0] != 0 && picture.resolution[1] != 0) {
        chunk.clear();
        PutBigEndian32(&chunk, picture.resolution[0]);
        PutBigEndian32(&chunk, picture.resolution[1]);
        chunk.push_back(1);  // per metre
        PutChunk(&png, "pHYs", chunk.data(), chunk.size());
    }
    // EXIF only as a TIFF stream, as readers take it.
    const std::vector<uint8_t>& exif = picture.exif;
    if (withMetadata && exif.size() >= 4 &&
        (std::memcmp(exif.data(), "II*\0", 4) == 0 || std::memcmp(exif.data(), "MM\0*", 4) == 0)) {
        PutChunk(&png, "eXIf", exif.data(), exif.size());
    }
    libdeflate_free_compressor(compressor);
    // The image data in chunks of at most 1 MiB, as streaming readers like
    // them, each framed as it is copied into the file's one block.
    constexpr size_t kChunk = size_t{1} << 20;
    size_t chunks = (data.size() + kChunk - 1) / kChunk;
    size_t total = png.size() + data.size() + 12 * chunks + 12;
    *bytes = compressed ? static_cast<uint8_t*>(std::malloc(total)) : nullptr;
    if (*bytes == nullptr) {
        *error = {"not enough memory to encode the PNG", quenvale::StatusOutOfMemory};
        return false;
    }
    std::memcpy(*bytes, png.data(), png.size());
    uint8_t* at = *bytes + png.size();
    for (size_t from = 0; from < data.size(); from += kChunk) {
        size_t part = std::min(kChunk, data.size() - from);
        chunk.clear();
        PutChunk(&chunk, "IDAT", data.data() + from, part);
        std::memcpy(at, chunk.data(), chunk.size());
        at += chunk.size();
    }
    chunk.clear();
    PutChunk(&chunk, "IEND", nullptr, 0);
    std::memcpy(at, chunk.data(), chunk.size());
    *length = total;
    return true;
}

}  // namespace quenvale_host
