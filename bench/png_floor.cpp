// The floor a user would build for a PNG to PNG call, as its own process:
// the input decoded by libspng, and given pixels encoded by libspng in the
// same PNG type at zlib's level 6, timed whole by the caller.
//
//   png_floor --prepare RESULT.png PIXELS   the result's header, palette and rows
//   png_floor INPUT.png PIXELS OUTPUT.png   the floor itself
#include <spng.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

namespace {

struct Pixels {
    spng_ihdr header{};
    spng_plte palette{};
    spng_trns transparency{};
    bool hasPalette = false;
    bool hasTransparency = false;
    std::vector<uint8_t> rows;
};

bool Decode(FILE* file, Pixels* pixels) {
    spng_ctx* context = spng_ctx_new(0);
    size_t size = 0;
    bool done = spng_set_png_file(context, file) == 0 && spng_get_ihdr(context, &pixels->header) == 0 &&
                spng_decoded_image_size(context, SPNG_FMT_PNG, &size) == 0;
    if (done) {
        pixels->rows.resize(size);
        done = spng_decode_image(context, pixels->rows.data(), size, SPNG_FMT_PNG, 0) == 0;
        pixels->hasPalette = spng_get_plte(context, &pixels->palette) == 0;
        pixels->hasTransparency = spng_get_trns(context, &pixels->transparency) == 0;
    }
    spng_ctx_free(context);
    return done;
}

bool Encode(const Pixels& pixels, FILE* file) {
    spng_ctx* context = spng_ctx_new(SPNG_CTX_ENCODER);
    spng_set_option(context, SPNG_IMG_COMPRESSION_LEVEL, 6);
    spng_ihdr header = pixels.header;
    header.interlace_method = 0;
    spng_plte palette = pixels.palette;
    spng_trns transparency = pixels.transparency;
    bool done = spng_set_png_file(context, file) == 0 && spng_set_ihdr(context, &header) == 0 &&
                (!pixels.hasPalette || spng_set_plte(context, &palette) == 0) &&
                (!pixels.hasTransparency || spng_set_trns(context, &transparency) == 0) &&
                spng_encode_image(context, pixels.rows.data(), pixels.rows.size(), SPNG_FMT_PNG,
                                  SPNG_ENCODE_FINALIZE) == 0;
    spng_ctx_free(context);
    return done;
}

FILE* Open(const char* path, const char* mode) {
    FILE* file = std::fopen(path, mode);
    if (file == nullptr) {
        std::fprintf(stderr, "png_floor: cannot open %s\n", path);
    }
    return file;
}

// The pixels file is this machine's own structs then the rows: written and
// read by this program in one run of the bench.
bool Save(const Pixels& pixels, const char* path) {
    FILE* file = Open(path, "wb");
    bool done = file != nullptr && std::fwrite(&pixels.header, sizeof pixels.header, 1, file) == 1 &&
                std::fwrite(&pixels.palette, sizeof pixels.palette, 1, file) == 1 &&
                std::fwrite(&pixels.transparency, sizeof pixels.transparency, 1, file) == 1 &&
                std::fputc(pixels.hasPalette, file) != EOF && std::fputc(pixels.hasTransparency, file) != EOF &&
                std::fwrite(pixels.rows.data(), 1, pixels.rows.size(), file) == pixels.rows.size();
    return file != nullptr && std::fclose(file) == 0 && done;
}

bool Load(const char* path, Pixels* pixels) {
    FILE* file = Open(path, "rb");
    if (file == nullptr) {
        return false;
    }
    bool done = std::fread(&pixels->header, sizeof pixels->header, 1, file) == 1 &&
                std::fread(&pixels->palette, sizeof pixels->palette, 1, file) == 1 &&
                std::fread(&pixels->transparency, sizeof pixels->transparency, 1, file) == 1;
    pixels->hasPalette = std::fgetc(file) == 1;
    pixels->hasTransparency = std::fgetc(file) == 1;
    std::vector<uint8_t> rows(1 << 20);
    size_t read = 0;
    while (done && (read = std::fread(rows.data(), 1, rows.size(), file)) > 0) {
        pixels->rows.insert(pixels->rows.end(), rows.data(), rows.data() + read);
    }
    std::fclose(file);
    return done;
}

}  // namespace

int main(int argc, char** argv) {
    bool prepare = argc == 4 && std::strcmp(argv[1], "--prepare") == 0;
    if (argc != 4) {
        std::fprintf(stderr, "usage: png_floor --prepare RESULT.png PIXELS | png_floor INPUT.png PIXELS OUTPUT.png\n");
        return 2;
    }
    Pixels pixels;
    FILE* input = Open(argv[prepare ? 2 : 1], "rb");
    bool done = input != nullptr && Decode(input, &pixels);
    if (input != nullptr) {
        std::fclose(input);
    }
    if (prepare) {
        return done && Save(pixels, argv[3]) ? 0 : 1;
    }
    Pixels result;
    FILE* output = done && Load(argv[2], &result) ? Open(argv[3], "wb") : nullptr;
    done = output != nullptr && Encode(result, output);
    return output != nullptr && std::fclose(output) == 0 && done ? 0 : 1;
}
