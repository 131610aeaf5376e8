/* A consumer of the installed library: writes a small bitmap, flattens it
 * through Quenvale and checks the result. Usage: flatten_one FOLDER */
#include <quenvale.h>

#include <stdio.h>
#include <string.h>
#include <uchar.h>

/* UTF-8 to the UTF-16 the call takes; returns 0 on a malformed sequence or
 * when the path does not fit. */
static int Utf8ToUtf16(const char* text, char16_t* wide, size_t capacity) {
    const unsigned char* bytes = (const unsigned char*)text;
    size_t used = 0;
    while (*bytes != 0) {
        unsigned long code = *bytes++;
        int extra = code < 0x80 ? 0 : code >= 0xC2 && code < 0xE0 ? 1 : code >= 0xE0 && code < 0xF0 ? 2
                                      : code >= 0xF0 && code < 0xF5 ? 3 : -1;
        if (extra < 0) {
            return 0;
        }
        code &= 0x7Fu >> extra;
        for (int i = 0; i < extra; ++i, ++bytes) {
            if ((*bytes & 0xC0) != 0x80) {
                return 0;
            }
            code = code << 6 | (*bytes & 0x3Fu);
        }
        if (used + 3 > capacity) {
            return 0;
        }
        if (code >= 0x10000) {
            code -= 0x10000;
            wide[used++] = (char16_t)(0xD800 + (code >> 10));
            wide[used++] = (char16_t)(0xDC00 + (code & 0x3FF));
        } else {
            wide[used++] = (char16_t)code;
        }
    }
    wide[used] = 0;
    return 1;
}

int main(int argc, char** argv) {
    if (argc != 2) {
        return 2;
    }
    char input[4096];
    char output[4096];
    snprintf(input, sizeof input, "%s/consumer-in.bmp", argv[1]);
    snprintf(output, sizeof output, "%s/consumer-\xc3\xa9t\xc3\xa9.bmp", argv[1]); /* "été" */
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
    if (!Utf8ToUtf16(input, wideInput, 4096) || !Utf8ToUtf16(output, wideOutput, 4096)) {
        return 2;
    }
    switch (Quenvale(wideInput, wideOutput)) {
        case ResultDone:
            break;
        case ResultInputOpenFailed:
        case ResultOutputOpenFailed:
            fprintf(stderr, "could not open a file\n");
            return 1;
        default:
            fprintf(stderr, "not flattened\n");
            return 1;
    }
    unsigned char written[62];
#if defined(_WIN32)
    file = _wfopen((const wchar_t*)wideOutput, L"rb"); /* the narrow name is in the ANSI code page */
#else
    file = fopen(output, "rb");
#endif
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
