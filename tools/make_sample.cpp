// Writes the sample picture bundled with the project: soft gradients, a few
// discs and a little grain, as a 24-bit BMP whose rows need padding.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <vector>

namespace {

void PutLe(std::vector<uint8_t>& bytes, uint32_t value, int size) {
    for (int i = 0; i < size; ++i) {
        bytes.push_back(static_cast<uint8_t>(value >> (8 * i)));
    }
}

uint8_t Clamp(double value) { return static_cast<uint8_t>(value < 0 ? 0 : value > 255 ? 255 : value); }

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: quenvale_make_sample OUTPUT.bmp\n");
        return 2;
    }
    const uint32_t width = 322;
    const uint32_t height = 200;
    const uint32_t padding = (4 - (3 * width) % 4) % 4;
    const uint32_t imageSize = (3 * width + padding) * height;
    std::vector<uint8_t> bytes;
    bytes.push_back('B');
    bytes.push_back('M');
    PutLe(bytes, 54 + imageSize, 4);
    PutLe(bytes, 0, 4);
    PutLe(bytes, 54, 4);
    PutLe(bytes, 40, 4);
    PutLe(bytes, width, 4);
    PutLe(bytes, height, 4);
    PutLe(bytes, 1, 2);
    PutLe(bytes, 24, 2);
    PutLe(bytes, 0, 4);
    PutLe(bytes, imageSize, 4);
    PutLe(bytes, 2835, 4);
    PutLe(bytes, 2835, 4);
    PutLe(bytes, 0, 4);
    PutLe(bytes, 0, 4);
    uint32_t state = 12345;
    for (uint32_t y = 0; y < height; ++y) {
        for (uint32_t x = 0; x < width; ++x) {
            state = state * 1664525u + 1013904223u;
            double grain = static_cast<double>(state >> 28) - 8;
            double u = x / double(width);
            double v = y / double(height);
            double red = 40 + 180 * u + 20 * std::sin(9 * v);
            double green = 60 + 150 * v;
            double blue = 200 - 120 * u * v;
            double dx = u - 0.35;
            double dy = v - 0.55;
            if (dx * dx + dy * dy < 0.04) {
                red = 230 - 60 * v;
                green = 190;
                blue = 40;
            }
            dx = u - 0.75;
            dy = v - 0.3;
            if (dx * dx + dy * dy < 0.015) {
                red = 30;
                green = 110 + 80 * u;
                blue = 60;
            }
            bytes.push_back(Clamp(blue + grain));
            bytes.push_back(Clamp(green + grain));
            bytes.push_back(Clamp(red + grain));
        }
        for (uint32_t i = 0; i < padding; ++i) {
            bytes.push_back(0);
        }
    }
    FILE* file = std::fopen(argv[1], "wb");
    if (file == nullptr || std::fwrite(bytes.data(), 1, bytes.size(), file) != bytes.size() || std::fclose(file) != 0) {
        std::perror(argv[1]);
        return 1;
    }
    return 0;
}
