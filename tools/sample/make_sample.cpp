// Writes the sample picture bundled with the project: soft gradients, a few
// discs and a little grain, as a 24-bit BMP whose rows need padding.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <vector>

#include "sample/bitmap_writer.h"

namespace {

uint8_t Clamp(double value) { return static_cast<uint8_t>(value < 0 ? 0 : value > 255 ? 255 : value); }

// The pixel at (u, v) of the unit square, before grain.
void SampleColor(double u, double v, double* red, double* green, double* blue) {
    *red = 40 + 180 * u + 20 * std::sin(9 * v);
    *green = 60 + 150 * v;
    *blue = 200 - 120 * u * v;
    double dx = u - 0.35;
    double dy = v - 0.55;
    if (dx * dx + dy * dy < 0.04) {
        *red = 230 - 60 * v;
        *green = 190;
        *blue = 40;
    }
    dx = u - 0.75;
    dy = v - 0.3;
    if (dx * dx + dy * dy < 0.015) {
        *red = 30;
        *green = 110 + 80 * u;
        *blue = 60;
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: quenvale_make_sample OUTPUT.bmp\n");
        return 2;
    }
    const uint32_t width = 322;
    const uint32_t height = 200;
    const auto stride = static_cast<size_t>(quenvale_writer::RowStride(width, 24));
    std::vector<uint8_t> rows(stride * height, 0);
    uint32_t state = 12345;
    for (uint32_t y = 0; y < height; ++y) {
        for (uint32_t x = 0; x < width; ++x) {
            state = state * 1664525u + 1013904223u;
            double grain = static_cast<double>(state >> 28) - 8;
            double red = 0, green = 0, blue = 0;
            SampleColor(x / double(width), y / double(height), &red, &green, &blue);
            uint8_t* pixel = &rows[y * stride + 3 * size_t{x}];
            pixel[0] = Clamp(blue + grain);
            pixel[1] = Clamp(green + grain);
            pixel[2] = Clamp(red + grain);
        }
    }
    quenvale_writer::BitmapFields fields;
    fields.width = width;
    fields.height = height;
    fields.resolution = 2835;
    if (!quenvale_writer::WriteWholeFile(argv[1], quenvale_writer::EncodeBitmapFile(fields, rows))) {
        std::perror(argv[1]);
        return 1;
    }
    return 0;
}
