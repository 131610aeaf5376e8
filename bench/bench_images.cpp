#include "bench_images.h"

#include "sample/bitmap_writer.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <vector>

namespace quenvale_bench {

namespace {

// Rows in file order, blue-green-red, padded.
bool WriteBitmap(const std::string& path, uint32_t width, uint32_t height,
                 const std::vector<uint8_t>& rgbColumnMajor) {
    auto stride = static_cast<size_t>(quenvale_writer::RowStride(width, 24));
    std::vector<uint8_t> rows(stride * height, 0);
    for (uint32_t x = 0; x < width; ++x) {
        for (uint32_t y = 0; y < height; ++y) {
            const uint8_t* pixel = &rgbColumnMajor[3 * (size_t{x} * height + y)];
            uint8_t* at = &rows[size_t{y} * stride + 3 * size_t{x}];
            at[0] = pixel[2];
            at[1] = pixel[1];
            at[2] = pixel[0];
        }
    }
    quenvale_writer::BitmapFields fields;
    fields.width = static_cast<int32_t>(width);
    fields.height = static_cast<int32_t>(height);
    return quenvale_writer::WriteWholeFile(path, quenvale_writer::EncodeBitmapFile(fields, rows));
}

}  // namespace

bool WritePhoto(const std::string& path, uint32_t width, uint32_t height) {
    std::string command = "convert -size " + std::to_string(width) + "x" + std::to_string(height) +
                          " -seed 7 plasma:fractal -type TrueColor BMP3:'" + path + "' 2>/dev/null";
    if (std::system(command.c_str()) == 0) {
        return true;
    }
    std::vector<uint8_t> pixels(3 * size_t{width} * height);
    for (uint32_t x = 0; x < width; ++x) {
        for (uint32_t y = 0; y < height; ++y) {
            double u = x / 300.0, v = y / 300.0;
            uint8_t* p = &pixels[3 * (size_t{x} * height + y)];
            p[0] = static_cast<uint8_t>(127 + 120 * std::sin(u + 2 * std::cos(v)));
            p[1] = static_cast<uint8_t>(127 + 120 * std::sin(1.3 * v + std::sin(0.7 * u)));
            p[2] = static_cast<uint8_t>(127 + 120 * std::cos(u * v / 10));
        }
    }
    return WriteBitmap(path, width, height, pixels);
}

bool WriteNoise(const std::string& path, uint32_t width, uint32_t height) {
    std::mt19937 random(1);
    std::vector<uint8_t> pixels(3 * size_t{width} * height);
    for (uint8_t& channel : pixels) channel = static_cast<uint8_t>(random());
    return WriteBitmap(path, width, height, pixels);
}

bool WriteAdversarial(const std::string& path, uint32_t width, uint32_t height) {
    std::vector<uint8_t> pixels(3 * size_t{width} * height);
    size_t count = size_t{width} * height;
    size_t i = 0;
    for (int r = 0; r < 13; ++r)
        for (int g = 0; g < 13; ++g)
            for (int b = 0; b < 13 && i < count; ++b, ++i) {
                pixels[3 * i] = static_cast<uint8_t>(21 * r);
                pixels[3 * i + 1] = static_cast<uint8_t>(21 * g);
                pixels[3 * i + 2] = static_cast<uint8_t>(21 * b);
            }
    // The rest alternate between the youngest entry's colour and one that
    // is within reach of that entry only, so no pixel repeats its predecessor.
    for (; i < count; ++i) {
        pixels[3 * i] = static_cast<uint8_t>(i % 2 == 0 ? 252 : 253);
        pixels[3 * i + 1] = static_cast<uint8_t>(i % 2 == 0 ? 252 : 254);
        pixels[3 * i + 2] = static_cast<uint8_t>(i % 2 == 0 ? 252 : 255);
    }
    return WriteBitmap(path, width, height, pixels);
}

namespace {

// A smooth picture with grain, one channel value at (x, y).
uint8_t Smooth(uint32_t x, uint32_t y, int channel, std::mt19937& random) {
    double u = x / 300.0, v = y / 300.0;
    double value = channel == 0   ? 127 + 110 * std::sin(u + 2 * std::cos(v))
                   : channel == 1 ? 127 + 110 * std::sin(1.3 * v + std::sin(0.7 * u))
                                  : 127 + 110 * std::cos(u * v / 10);
    return static_cast<uint8_t>(value + static_cast<int>(random() % 13) - 6);
}

quenvale_writer::BitmapFields Fields(uint32_t width, uint32_t height, uint16_t bits) {
    quenvale_writer::BitmapFields fields;
    fields.width = static_cast<int32_t>(width);
    fields.height = static_cast<int32_t>(height);
    fields.bits = bits;
    return fields;
}

// The palette of WritePalette8: a 6 x 7 x 6 colour cube and grey ramp.
std::vector<uint8_t> CubePalette() {
    std::vector<uint8_t> palette(1024, 0);
    for (uint32_t i = 0; i < 256; ++i) {
        uint8_t* entry = &palette[4 * i];
        if (i < 252) {
            entry[0] = static_cast<uint8_t>(i % 6 * 51), entry[1] = static_cast<uint8_t>(i / 6 % 7 * 42);
            entry[2] = static_cast<uint8_t>(i / 42 * 51);
        } else {
            entry[0] = entry[1] = entry[2] = static_cast<uint8_t>((i - 252) * 85);
        }
    }
    return palette;
}

// Row y of the palette picture, one index a pixel.
void CubeRow(uint32_t width, uint32_t y, std::mt19937& random, uint8_t* row) {
    for (uint32_t x = 0; x < width; ++x) {
        uint32_t red = Smooth(x, y, 0, random) / 43, green = Smooth(x, y, 1, random) / 37,
                 blue = Smooth(x, y, 2, random) / 43;
        row[x] = static_cast<uint8_t>(blue + 6 * green + 42 * red);
    }
}

}  // namespace

bool WritePalette8(const std::string& path, uint32_t width, uint32_t height) {
    auto stride = static_cast<size_t>(quenvale_writer::RowStride(width, 8));
    quenvale_writer::BitmapFields fields = Fields(width, height, 8);
    fields.palette = CubePalette();
    std::vector<uint8_t> rows(stride * height, 0);
    std::mt19937 random(3);
    for (uint32_t y = 0; y < height; ++y) {
        CubeRow(width, y, random, &rows[size_t{y} * stride]);
    }
    return quenvale_writer::WriteWholeFile(path, quenvale_writer::EncodeBitmapFile(fields, rows));
}

bool WriteRle8(const std::string& path, uint32_t width, uint32_t height) {
    quenvale_writer::BitmapFields fields = Fields(width, height, 8);
    fields.compression = 1;
    fields.palette = CubePalette();
    std::vector<uint8_t> stream;
    std::vector<uint8_t> row(width);
    std::mt19937 random(3);
    for (uint32_t y = 0; y < height; ++y) {
        CubeRow(width, y, random, row.data());
        for (uint32_t x = 0; x < width;) {
            uint32_t run = 1;
            while (x + run < width && run < 255 && row[x + run] == row[x]) {
                ++run;
            }
            stream.insert(stream.end(), {static_cast<uint8_t>(run), row[x]});
            x += run;
        }
        stream.insert(stream.end(), {0, 0});
    }
    stream.insert(stream.end(), {0, 1});
    return quenvale_writer::WriteWholeFile(path, quenvale_writer::EncodeBitmapFile(fields, stream));
}

bool WritePhoto32(const std::string& path, uint32_t width, uint32_t height) {
    std::string photo = path + ".24.bmp";
    if (!WritePhoto(photo, width, height)) {
        return false;
    }
    std::vector<uint8_t> bytes = quenvale_writer::ReadWholeFile(photo);
    std::remove(photo.c_str());
    auto offset = static_cast<size_t>(quenvale_writer::GetLe(bytes, 10, 4));
    auto stride = static_cast<size_t>(quenvale_writer::RowStride(width, 24));
    if (bytes.size() < offset + stride * height) {
        return false;
    }
    std::vector<uint8_t> rows(4 * size_t{width} * height);
    for (size_t y = 0; y < height; ++y) {
        for (size_t x = 0; x < width; ++x) {
            const uint8_t* from = &bytes[offset + y * stride + 3 * x];
            uint8_t* to = &rows[4 * (y * width + x)];
            to[0] = from[0], to[1] = from[1], to[2] = from[2], to[3] = 255;
        }
    }
    quenvale_writer::BitmapFields fields = Fields(width, height, 32);
    fields.infoSize = 124;
    fields.compression = 3;
    fields.masks = {0x00FF0000, 0x0000FF00, 0x000000FF, 0xFF000000};
    return quenvale_writer::WriteWholeFile(path, quenvale_writer::EncodeBitmapFile(fields, rows));
}

bool WriteRgb565(const std::string& path, uint32_t width, uint32_t height) {
    auto stride = static_cast<size_t>(quenvale_writer::RowStride(width, 16));
    quenvale_writer::BitmapFields fields = Fields(width, height, 16);
    fields.compression = 3;
    fields.masks = {0xF800, 0x07E0, 0x001F};
    std::vector<uint8_t> rows(stride * height, 0);
    std::mt19937 random(4);
    for (uint32_t y = 0; y < height; ++y) {
        uint8_t* row = &rows[size_t{y} * stride];
        for (uint32_t x = 0; x < width; ++x) {
            uint32_t value = uint32_t{Smooth(x, y, 0, random)} >> 3 << 11 | uint32_t{Smooth(x, y, 1, random)} >> 2 << 5 |
                             uint32_t{Smooth(x, y, 2, random)} >> 3;
            row[2 * size_t{x}] = static_cast<uint8_t>(value);
            row[2 * size_t{x} + 1] = static_cast<uint8_t>(value >> 8);
        }
    }
    return quenvale_writer::WriteWholeFile(path, quenvale_writer::EncodeBitmapFile(fields, rows));
}

}  // namespace quenvale_bench
