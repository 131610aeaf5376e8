// The flatten exactly as first written, for the benchmark's baseline: every
// pixel byte is its own stdio item read or write, the header copy goes one
// byte at a time, the palette is a linked list searched from its head, and
// the grid is a table of separately allocated columns.
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "literal_flatten.h"

namespace quenvale_bench {

namespace {

struct Entry {
    uint8_t red, green, blue;
    int32_t count;
    Entry* next;
};

bool Near(const Entry* e, const uint8_t* p) {
    return std::abs(e->red - p[0]) <= 20 && std::abs(e->green - p[1]) <= 20 && std::abs(e->blue - p[2]) <= 20;
}

Entry* Match(Entry* head, const uint8_t* p) {
    if (head->count == 0) {
        head->red = p[0], head->green = p[1], head->blue = p[2], head->count = 1;
        return head;
    }
    for (Entry* e = head;; e = e->next) {
        if (Near(e, p)) {
            ++e->count;
            return e;
        }
        if (e->next == nullptr) {
            e->next = new Entry{p[0], p[1], p[2], 1, nullptr};
            return e->next;
        }
    }
}

uint32_t Le(const uint8_t* b, int n) {
    uint32_t v = 0;
    for (int i = n - 1; i >= 0; --i) v = v << 8 | b[i];
    return v;
}

}  // namespace

int LiteralFlatten(const char* inputPath, const char* outputPath) {
    FILE* in = std::fopen(inputPath, "rb");
    if (in == nullptr) return -11;
    uint8_t h[54];
    for (int i = 0; i < 54; ++i) std::fread(&h[i], 1, 1, in);
    uint32_t offset = Le(h + 10, 4), width = Le(h + 18, 4), height = Le(h + 22, 4), size = Le(h + 34, 4);
    int32_t padding = static_cast<int32_t>(size / height) - 3 * static_cast<int32_t>(width);
    uint8_t** source = new uint8_t*[width];
    uint8_t** destination = new uint8_t*[width];
    for (uint32_t x = 0; x < width; ++x) {
        source[x] = new uint8_t[3 * size_t{height}];
        destination[x] = new uint8_t[3 * size_t{height}];
    }
    std::fseek(in, offset, SEEK_SET);
    for (uint32_t y = 0; y < height; ++y) {
        for (uint32_t x = 0; x < width; ++x) {
            std::fread(&source[x][3 * y + 2], 1, 1, in);
            std::fread(&source[x][3 * y + 1], 1, 1, in);
            std::fread(&source[x][3 * y], 1, 1, in);
        }
        std::fseek(in, padding, SEEK_CUR);
    }
    FILE* out = std::fopen(outputPath, "wb");
    Entry head{0, 0, 0, 0, nullptr};
    Entry*** cells = new Entry**[width];
    for (uint32_t x = 0; x < width; ++x) {
        cells[x] = new Entry*[height];
        for (uint32_t y = 0; y < height; ++y) cells[x][y] = Match(&head, &source[x][3 * y]);
    }
    for (uint32_t x = 0; x < width; ++x)
        for (uint32_t y = 0; y < height; ++y) {
            destination[x][3 * y] = cells[x][y]->red;
            destination[x][3 * y + 1] = cells[x][y]->green;
            destination[x][3 * y + 2] = cells[x][y]->blue;
        }
    std::fseek(in, 0, SEEK_SET);
    for (uint32_t i = 0; i < offset; ++i) std::fputc(std::fgetc(in) & 0xFF, out);
    static const uint8_t zeros[4] = {};
    std::fseek(out, offset, SEEK_SET);
    for (uint32_t y = 0; y < height; ++y) {
        for (uint32_t x = 0; x < width; ++x) {
            std::fwrite(&destination[x][3 * y + 2], 1, 1, out);
            std::fwrite(&destination[x][3 * y + 1], 1, 1, out);
            std::fwrite(&destination[x][3 * y], 1, 1, out);
        }
        std::fwrite(zeros, 1, padding, out);
    }
    std::fclose(out);
    for (uint32_t x = 0; x < width; ++x) {
        delete[] cells[x];
        delete[] source[x];
        delete[] destination[x];
    }
    delete[] cells;
    delete[] source;
    delete[] destination;
    for (Entry* e = head.next; e != nullptr;) {
        Entry* next = e->next;
        delete e;
        e = next;
    }
    std::fclose(in);
    return 999;
}

}  // namespace quenvale_bench
