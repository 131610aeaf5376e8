// GIF through giflib: a still picture, or an animation's first frame, read
// as a palette picture with its transparent index; written from a picture
// of at most 256 colours, one of them fully transparent at most.
#include <gif_lib.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <unordered_map>
#include <vector>

#include "codecs/picture.h"

namespace quenvale_host {

namespace {

struct Reader {
    const uint8_t* bytes;
    size_t length;
    size_t at;
};

int ReadBytes(GifFileType* gif, GifByteType* to, int wanted) {
    auto* reader = static_cast<Reader*>(gif->UserData);
    size_t count = std::min(static_cast<size_t>(wanted), reader->length - reader->at);
    std::memcpy(to, reader->bytes + reader->at, count);
    reader->at += count;
    return static_cast<int>(count);
}

int WriteBytes(GifFileType* gif, const GifByteType* from, int count) {
    static_cast<std::vector<uint8_t>*>(gif->UserData)->insert(
        static_cast<std::vector<uint8_t>*>(gif->UserData)->end(), from, from + count);
    return count;
}

PictureError GifFailure(int code, const char* what) {
    bool memory = code == D_GIF_ERR_NOT_ENOUGH_MEM || code == E_GIF_ERR_NOT_ENOUGH_MEM;
    const char* text = GifErrorString(code);
    return {memory ? std::string("not enough memory to ") + what
                   : std::string("damaged GIF: ") + (text != nullptr ? text : "it does not decode"),
            memory ? quenvale::StatusOutOfMemory : quenvale::StatusBadInput};
}

// The first image's rows into the picture, its place on the screen kept;
// false with *error for a damaged one.
bool ReadFirstImage(GifFileType* gif, int transparent, uint64_t maxPixels, Picture* picture, PictureError* error) {
    const GifImageDesc& image = gif->Image;
    const ColorMapObject* map = image.ColorMap != nullptr ? image.ColorMap : gif->SColorMap;
    if (map == nullptr || map->ColorCount < 1 || map->ColorCount > 256 || image.Width < 1 || image.Height < 1) {
        *error = {"damaged GIF: its first image has no colour table or no pixels", quenvale::StatusBadInput};
        return false;
    }
    picture->width = static_cast<uint32_t>(std::max(gif->SWidth, image.Left + image.Width));
    picture->height = static_cast<uint32_t>(std::max(gif->SHeight, image.Top + image.Height));
    SetPngEncoding(picture, PngPalette, 8);
    picture->paletteCount = static_cast<uint32_t>(map->ColorCount);
    for (int i = 0; i < map->ColorCount; ++i) {
        SetPaletteEntry(picture, static_cast<uint32_t>(i), map->Colors[i].Red, map->Colors[i].Green,
                        map->Colors[i].Blue);
        picture->paletteAlpha[i] = i == transparent ? 0 : 0xFF;
    }
    bool clear = transparent >= 0 && transparent < map->ColorCount;
    picture->alphaCount = clear ? static_cast<uint32_t>(transparent) + 1 : 0;
    if (!WithinPixelBudget(picture->width, picture->height, maxPixels, error) || !AllocateRows(picture, error)) {
        return false;
    }
    // Outside the image, the screen is clear where a colour is, else its background.
    int background = clear ? transparent : gif->SBackGroundColor < map->ColorCount ? gif->SBackGroundColor : 0;
    std::memset(picture->rows, background, picture->stride * picture->height);
    static const int kStart[] = {0, 4, 2, 1}, kStep[] = {8, 8, 4, 2};
    for (int pass = 0; pass < (image.Interlace ? 4 : 1); ++pass) {
        int start = image.Interlace ? kStart[pass] : 0, step = image.Interlace ? kStep[pass] : 1;
        for (int y = start; y < image.Height; y += step) {
            GifPixelType* row = picture->rows + size_t(image.Top + y) * picture->stride + size_t(image.Left);
            if (DGifGetLine(gif, row, image.Width) != GIF_OK) {
                *error = GifFailure(gif->Error, "decode it");
                return false;
            }
        }
    }
    // An index past the table is the table's first colour, as browsers show it.
    for (size_t i = 0; i < picture->stride * picture->height; ++i) {
        picture->rows[i] = picture->rows[i] < map->ColorCount ? picture->rows[i] : 0;
    }
    return true;
}

}  // namespace

bool ReadGif(const PictureInput& input, uint64_t maxPixels, Picture* picture, SourceCarry* carry, PictureError* error) {
    std::vector<uint8_t> whole;
    if (input.file != nullptr && !ReadInputWhole(input, &whole, error)) {
        return false;
    }
    Reader reader{input.file != nullptr ? whole.data() : input.bytes,
                  static_cast<size_t>(input.file != nullptr ? whole.size() : input.length), 0};
    int code = 0;
    GifFileType* gif = DGifOpen(&reader, ReadBytes, &code);
    if (gif == nullptr) {
        *error = GifFailure(code, "decode it");
        return false;
    }
    int transparent = -1;
    bool read = false, done = false, failed = false;
    while (!done && !failed) {
        GifRecordType type = UNDEFINED_RECORD_TYPE;
        if (DGifGetRecordType(gif, &type) != GIF_OK) {
            failed = !read;  // a damaged tail after the first image leaves that image whole
            *error = GifFailure(gif->Error, "decode it");
            break;
        }
        switch (type) {
            case IMAGE_DESC_RECORD_TYPE:
                if (read) {
                    if (carry != nullptr) {
                        carry->warning = "an animated GIF: only its first frame is read";
                    }
                    done = true;
                    break;
                }
                failed = DGifGetImageDesc(gif) != GIF_OK;
                if (failed) {
                    *error = GifFailure(gif->Error, "decode it");
                    break;
                }
                failed = !ReadFirstImage(gif, transparent, maxPixels, picture, error);
                read = true;
                break;
            case EXTENSION_RECORD_TYPE: {
                int kind = 0;
                GifByteType* block = nullptr;
                failed = DGifGetExtension(gif, &kind, &block) != GIF_OK;
                GraphicsControlBlock control{};
                if (!failed && !read && kind == GRAPHICS_EXT_FUNC_CODE && block != nullptr &&
                    DGifExtensionToGCB(block[0], block + 1, &control) == GIF_OK) {
                    transparent = control.TransparentColor;
                }
                while (!failed && block != nullptr) {
                    failed = DGifGetExtensionNext(gif, &block) != GIF_OK;
                }
                if (failed) {
                    *error = GifFailure(gif->Error, "decode it");
                }
                break;
            }
            case TERMINATE_RECORD_TYPE:
                done = true;
                break;
            default:
                break;
        }
    }
    DGifCloseFile(gif, &code);
    if (!failed && !read) {
        *error = {"damaged GIF: it holds no image", quenvale::StatusBadInput};
        failed = true;
    }
    if (failed) {
        ReleasePicture(picture);
    }
    return !failed;
}

bool EncodeGifPieces(const Picture& picture, const EncodeRequest&, EncodedFile* encoded, PictureError* error) {
    if (picture.width == 0 || picture.height == 0 || picture.width > 65535 || picture.height > 65535) {
        *error = {"a GIF holds 1 to 65535 pixels a side", quenvale::StatusUnsupported};
        return false;
    }
    // The colours in the order met, fully transparent pixels one of them,
    // read a band of rows at a time: at most 256, and no partial alpha.
    std::vector<uint32_t> colors;
    std::unordered_map<uint32_t, uint8_t> indexOf;
    std::vector<uint8_t> indices(size_t{picture.width} * picture.height);
    int transparent = -1;
    bool held = VisitRgbaBands(picture, 64, [&](uint32_t top, uint32_t height, const uint8_t* rgba) {
        uint32_t last = 0;
        uint8_t lastIndex = 0;
        bool any = false;
        for (size_t i = 0; i < size_t{picture.width} * height; ++i) {
            const uint8_t* p = rgba + 4 * i;
            if (p[3] != 0 && p[3] != 0xFF) {
                *error = {"a GIF holds no partial transparency: write a PNG or WebP", quenvale::StatusUnsupported};
                return false;
            }
            uint32_t color = p[3] == 0 ? 0 : 0xFF000000u | uint32_t{p[0]} << 16 | uint32_t{p[1]} << 8 | p[2];
            if (!any || color != last) {
                auto found = indexOf.find(color);
                if (found == indexOf.end()) {
                    if (colors.size() == 256) {
                        *error = {"a GIF holds at most 256 colours, and this picture has more: give --colors 256 or "
                                  "fewer",
                                  quenvale::StatusUnsupported};
                        return false;
                    }
                    transparent = color == 0 ? static_cast<int>(colors.size()) : transparent;
                    found = indexOf.emplace(color, static_cast<uint8_t>(colors.size())).first;
                    colors.push_back(color);
                }
                last = color, lastIndex = found->second, any = true;
            }
            indices[size_t{top} * picture.width + i] = lastIndex;
        }
        return true;
    });
    if (!held) {
        return false;
    }
    int bits = 1;
    while ((1u << bits) < colors.size()) {
        ++bits;
    }
    std::vector<GifColorType> table(size_t{1} << bits, GifColorType{0, 0, 0});
    for (size_t i = 0; i < colors.size(); ++i) {
        table[i] = GifColorType{static_cast<GifByteType>(colors[i] >> 16), static_cast<GifByteType>(colors[i] >> 8),
                                static_cast<GifByteType>(colors[i])};
    }
    std::vector<uint8_t> file;
    int code = 0;
    GifFileType* gif = EGifOpen(&file, WriteBytes, &code);
    ColorMapObject* map = gif != nullptr ? GifMakeMapObject(1 << bits, table.data()) : nullptr;
    bool written = map != nullptr;
    if (written) {
        EGifSetGifVersion(gif, transparent >= 0);
        written = EGifPutScreenDesc(gif, static_cast<int>(picture.width), static_cast<int>(picture.height), bits, 0,
                                    map) == GIF_OK;
    }
    if (written && transparent >= 0) {
        GraphicsControlBlock control{DISPOSAL_UNSPECIFIED, false, 0, transparent};
        GifByteType block[4];
        EGifGCBToExtension(&control, block);
        written = EGifPutExtension(gif, GRAPHICS_EXT_FUNC_CODE, 4, block) == GIF_OK;
    }
    written = written && EGifPutImageDesc(gif, 0, 0, static_cast<int>(picture.width),
                                          static_cast<int>(picture.height), false, nullptr) == GIF_OK;
    for (uint32_t y = 0; written && y < picture.height; ++y) {
        written = EGifPutLine(gif, indices.data() + size_t{y} * picture.width, static_cast<int>(picture.width)) == GIF_OK;
    }
    if (gif != nullptr) {
        code = written ? 0 : gif->Error;
        int closed = 0;
        written = EGifCloseFile(gif, &closed) == GIF_OK && written;
        code = code != 0 ? code : closed;
    }
    GifFreeMapObject(map);
    if (!written) {
        *error = code == E_GIF_ERR_NOT_ENOUGH_MEM || gif == nullptr
                     ? PictureError{"not enough memory to write the GIF", quenvale::StatusOutOfMemory}
                     : PictureError{"could not encode the GIF", quenvale::StatusBadInput};
        return false;
    }
    encoded->encoded = static_cast<uint8_t*>(std::malloc(file.size()));
    if (encoded->encoded == nullptr) {
        *error = {"not enough memory to write the GIF", quenvale::StatusOutOfMemory};
        return false;
    }
    std::memcpy(encoded->encoded, file.data(), file.size());
    encoded->encodedLength = file.size();
    encoded->pieces.push_back({encoded->encoded, file.size()});
    return true;
}

}  // namespace quenvale_host
