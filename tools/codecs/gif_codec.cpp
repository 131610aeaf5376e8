// GIF through giflib: a still picture, or an animation's first frame, read
// as a palette picture with its transparent index; written from a picture
// of at most 256 colours, one of them fully transparent at most, or as an
// animation of frames on one palette.
#include <gif_lib.h>

#include <algorithm>
#include <cstdio>
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

const char kPartialAlphaRefusal[] = "a GIF holds no partial transparency: write a PNG or WebP";
const char kManyColorsRefusal[] =
    "a GIF holds at most 256 colours, and this picture has more: give --colors 256 or fewer";

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

namespace {

int WriteToFile(GifFileType* gif, const GifByteType* from, int count) {
    return static_cast<int>(std::fwrite(from, 1, static_cast<size_t>(count), static_cast<FILE*>(gif->UserData)));
}

// The global colour table of the colours (0xAARRGGBB, at most 256) and the
// screen of width x height; GIF89a where an extension follows.
bool PutScreen(GifFileType* gif, const std::vector<uint32_t>& colors, uint32_t width, uint32_t height, bool gif89) {
    int bits = 1;
    while ((1u << bits) < colors.size()) {
        ++bits;
    }
    std::vector<GifColorType> table(size_t{1} << bits, GifColorType{0, 0, 0});
    for (size_t i = 0; i < colors.size(); ++i) {
        table[i] = GifColorType{static_cast<GifByteType>(colors[i] >> 16), static_cast<GifByteType>(colors[i] >> 8),
                                static_cast<GifByteType>(colors[i])};
    }
    ColorMapObject* map = GifMakeMapObject(1 << bits, table.data());
    if (map == nullptr) {
        gif->Error = E_GIF_ERR_NOT_ENOUGH_MEM;
        return false;
    }
    EGifSetGifVersion(gif, gif89);
    bool put = EGifPutScreenDesc(gif, static_cast<int>(width), static_cast<int>(height), bits, 0, map) == GIF_OK;
    GifFreeMapObject(map);
    return put;
}

// One image of the screen's rectangle, its indices `stride` apart, after
// its control block where one is given.
bool PutImage(GifFileType* gif, const GraphicsControlBlock* control, uint32_t left, uint32_t top, uint32_t width,
              uint32_t height, const uint8_t* indices, size_t stride) {
    if (control != nullptr) {
        GifByteType block[4];
        EGifGCBToExtension(control, block);
        if (EGifPutExtension(gif, GRAPHICS_EXT_FUNC_CODE, 4, block) != GIF_OK) {
            return false;
        }
    }
    bool put = EGifPutImageDesc(gif, static_cast<int>(left), static_cast<int>(top), static_cast<int>(width),
                                static_cast<int>(height), false, nullptr) == GIF_OK;
    for (uint32_t y = 0; put && y < height; ++y) {
        // giflib takes the row as writable, and only reads it.
        put = EGifPutLine(gif, const_cast<GifPixelType*>(indices + size_t{top + y} * stride + left),
                          static_cast<int>(width)) == GIF_OK;
    }
    return put;
}

// Closes the writer, whatever went before; false with *error where writing
// failed, then or earlier.
bool CloseWriter(GifFileType* gif, bool written, int opened, PictureError* error) {
    int code = gif == nullptr ? opened : written ? 0 : gif->Error;
    if (gif != nullptr) {
        int closed = 0;
        written = EGifCloseFile(gif, &closed) == GIF_OK && written;
        code = code != 0 ? code : closed;
    }
    if (!written) {
        *error = code == E_GIF_ERR_NOT_ENOUGH_MEM
                     ? PictureError{"not enough memory to write the GIF", quenvale::StatusOutOfMemory}
                     : code == E_GIF_ERR_WRITE_FAILED
                     ? PictureError{"could not write the GIF", quenvale::StatusOutputWriteFailed}
                     : PictureError{"could not encode the GIF", quenvale::StatusBadInput};
    }
    return written;
}

// The smallest rectangle holding every index that differs between two
// frames (one pixel where none does): only it is written, over the last.
void ChangedRectangle(const std::vector<uint8_t>& last, const std::vector<uint8_t>& next, uint32_t width,
                      uint32_t height, uint32_t box[4]) {
    uint32_t left = width, top = height, right = 0, bottom = 0;
    for (uint32_t y = 0; y < height; ++y) {
        const uint8_t* a = last.data() + size_t{y} * width;
        const uint8_t* b = next.data() + size_t{y} * width;
        if (std::memcmp(a, b, width) == 0) {
            continue;
        }
        uint32_t first = 0, end = width;
        while (a[first] == b[first]) {
            ++first;
        }
        while (a[end - 1] == b[end - 1]) {
            --end;
        }
        left = std::min(left, first), right = std::max(right, end);
        top = std::min(top, y), bottom = y + 1;
    }
    if (bottom == 0) {
        left = top = 0, right = bottom = 1;
    }
    box[0] = left, box[1] = top, box[2] = right - left, box[3] = bottom - top;
}

}  // namespace

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
                *error = {kPartialAlphaRefusal, quenvale::StatusUnsupported};
                return false;
            }
            uint32_t color = p[3] == 0 ? 0 : 0xFF000000u | uint32_t{p[0]} << 16 | uint32_t{p[1]} << 8 | p[2];
            if (!any || color != last) {
                auto found = indexOf.find(color);
                if (found == indexOf.end()) {
                    if (colors.size() == 256) {
                        *error = {kManyColorsRefusal, quenvale::StatusUnsupported};
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
    std::vector<uint8_t> file;
    int opened = 0;
    GifFileType* gif = EGifOpen(&file, WriteBytes, &opened);
    GraphicsControlBlock control{DISPOSAL_UNSPECIFIED, false, 0, transparent};
    bool written = gif != nullptr && PutScreen(gif, colors, picture.width, picture.height, transparent >= 0) &&
                   PutImage(gif, transparent >= 0 ? &control : nullptr, 0, 0, picture.width, picture.height,
                            indices.data(), picture.width);
    if (!CloseWriter(gif, written, opened, error)) {
        return false;
    }
    return TakeWholeFile(file.data(), file.size(), "GIF", encoded, error);
}

bool EncodeGifFrames(const FrameSource& frames, FILE* stream, PictureError* error) {
    const std::vector<uint32_t>& colors = *frames.colors;
    int transparent = -1;
    for (size_t i = 0; i < colors.size(); ++i) {
        uint32_t alpha = colors[i] >> 24;
        if ((alpha != 0 && alpha != 0xFF) || (alpha == 0 && transparent >= 0)) {
            *error = {alpha != 0 ? kPartialAlphaRefusal : "a GIF holds one fully transparent colour, and the palette has two",
                      quenvale::StatusUnsupported};
            return false;
        }
        transparent = alpha == 0 ? static_cast<int>(i) : transparent;
    }
    if (colors.empty() || colors.size() > 256) {
        *error = {kManyColorsRefusal, quenvale::StatusUnsupported};
        return false;
    }
    // Clear pixels show through to the frame before unless each frame is
    // cleared after its time; opaque frames need only their changes.
    GraphicsControlBlock control{transparent >= 0 ? DISPOSE_BACKGROUND : DISPOSE_DO_NOT, false,
                                 static_cast<int>(frames.delay), transparent};
    int opened = 0;
    GifFileType* gif = EGifOpen(stream, WriteToFile, &opened);
    bool written = gif != nullptr;
    std::vector<uint8_t> last, next;
    uint32_t width = 0, height = 0;
    for (size_t frame = 0; written && frame < frames.count; ++frame) {
        uint32_t w = 0, h = 0;
        if (!frames.next(frame, &next, &w, &h)) {
            CloseWriter(gif, false, opened, error);
            error->reason.clear();  // the frame's own failure was told
            return false;
        }
        uint32_t box[4] = {0, 0, w, h};
        if (frame == 0) {
            width = w, height = h;
            // Looping for ever: the NETSCAPE2.0 extension's count of 0.
            static const GifByteType kLoop[] = {1, 0, 0};
            written = PutScreen(gif, colors, width, height, true) &&
                      EGifPutExtensionLeader(gif, APPLICATION_EXT_FUNC_CODE) == GIF_OK &&
                      EGifPutExtensionBlock(gif, 11, "NETSCAPE2.0") == GIF_OK &&
                      EGifPutExtensionBlock(gif, 3, kLoop) == GIF_OK && EGifPutExtensionTrailer(gif) == GIF_OK;
        } else if (transparent < 0) {
            ChangedRectangle(last, next, width, height, box);
        }
        written = written && PutImage(gif, &control, box[0], box[1], box[2], box[3], next.data(), width);
        std::swap(last, next);
    }
    return CloseWriter(gif, written, opened, error);
}

}  // namespace quenvale_host
