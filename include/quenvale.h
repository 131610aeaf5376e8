/* Quenvale: flattens the colours of a BMP file.
 *
 * The library exports one function. It reads the bitmap at inputPath,
 * reduces it to flat colours and writes the result at outputPath, carrying
 * every byte of the input but the pixel values unchanged. The result
 * replaces outputPath whole, or not at all. It reports on
 * standard output and through its result code.
 *
 * Usable from C11 and C++. */
#ifndef QUENVALE_H
#define QUENVALE_H

#include <stdint.h>

#ifndef __cplusplus
#include <uchar.h>
#endif

#if defined(_WIN32)
#define QUENVALE_API
#elif defined(__GNUC__)
#define QUENVALE_API __attribute__((visibility("default")))
#else
#define QUENVALE_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* The call's result codes: constants usable as case labels in C and C++. */
enum QuenvaleResult {
    /* The converted input path is shorter than 10 bytes; no file was touched. */
    ResultPathTooShort = 111,
    /* The input could not be opened for reading. */
    ResultInputOpenFailed = -11,
    /* The input is not a bitmap the library can read; the output was not touched. */
    ResultInputInvalid = -12,
    /* The output could not be opened for writing. */
    ResultOutputOpenFailed = -1,
    /* Writing or closing the output failed; the output keeps what it held. */
    ResultOutputWriteFailed = -2,
    /* A memory allocation failed; everything taken was released. */
    ResultOutOfMemory = -3,
    /* The flattened bitmap was written. */
    ResultDone = 999
};

/* Both paths are NUL-terminated strings of 16-bit code units (UTF-16).
 * Calls may run on several threads at once: the allocation counter is
 * module-wide and atomic, so the counts printed by calls running together
 * include each other's grids. */
QUENVALE_API int32_t Quenvale(const char16_t* inputPath, const char16_t* outputPath);

#ifdef __cplusplus
}
#endif

#if defined(__cplusplus) && defined(_WIN32)
/* Windows' wchar_t holds UTF-16 too, so L"..." paths work from C++. Inline:
 * the one export stays the only symbol. */
inline int32_t Quenvale(const wchar_t* inputPath, const wchar_t* outputPath) {
    return Quenvale(reinterpret_cast<const char16_t*>(inputPath), reinterpret_cast<const char16_t*>(outputPath));
}
#endif

#endif
