/* A consumer of the installed library: writes a small bitmap, flattens it
 * through Quenvale and checks the result. Usage: flatten_one FOLDER */
#include <quenvale.h>

#include <stdio.h>
#include <string.h>
#include <uchar.h>

static void Widen(const char* text, char16_t* wide) {
    while ((*wide++ = (unsigned char)*text++) != 0) {
    }
}

int main(int argc, char** argv) {
    if (argc != 2) {
        return 2;
    }
    char input[4096];
    char output[4096];
    snprintf(input, sizeof input, "%s/consumer-in.bmp", argv[1]);
    snprintf(output, sizeof output, "%s/consumer-out.bmp", argv[1]);
    /* 2 x 1 pixels: rows of 6 bytes and 2 of padding. */
    static const unsigned char bitmap[62] = {
        'B', 'M', 62, 0, 0, 0, 0, 0, 0, 0, 54, 0, 0, 0, 40, 0, 0, 0, 2, 0, 0, 0, 1, 0, 0, 0, 1, 0, 24, 0,
        0, 0, 0, 0, 8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
        10, 20, 30, 15, 25, 35, 0, 0};
    FILE* file = fopen(input, "wb");
    if (file == NULL || fwrite(bitmap, 1, sizeof bitmap, file) != sizeof bitmap || fclose(file) != 0) {
        return 3;
    }
    char16_t wideInput[4096];
    char16_t wideOutput[4096];
    Widen(input, wideInput);
    Widen(output, wideOutput);
    int32_t result = Quenvale(wideInput, wideOutput);
    if (result != ResultDone) {
        fprintf(stderr, "Quenvale returned %d\n", (int)result);
        return 1;
    }
    unsigned char written[62];
    file = fopen(output, "rb");
    size_t got = file == NULL ? 0 : fread(written, 1, sizeof written, file);
    if (file != NULL) {
        fclose(file);
    }
    /* The second pixel lies within 20 of the first and takes its colour. */
    if (got != sizeof written || memcmp(written + 54, "\x0a\x14\x1e\x0a\x14\x1e\0\0", 8) != 0) {
        fprintf(stderr, "unexpected output\n");
        return 1;
    }
    printf("\nconsumer: ResultDone\n");
    return 0;
}
