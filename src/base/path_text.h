// Path texts: the 16-bit code units the call takes, as the system's
// multibyte paths, and the input opened from them.
#ifndef QUENVALE_PATH_TEXT_H
#define QUENVALE_PATH_TEXT_H

#include <cstddef>
#include <cstdio>

namespace quenvale {

// Converts a NUL-terminated path of 16-bit code units to the target's
// multibyte path: UTF-8 on POSIX, the ANSI code page on Windows. A path that
// does not convert gives an empty text. Returns null for a null path, and
// sets *outOfMemory when the text could not be allocated.
char* ConvertPath(const char16_t* path, bool* outOfMemory);

// UTF-16 to UTF-8 into text, which holds 3 bytes a unit and the NUL;
// false on an unpaired surrogate.
bool EncodeUtf8(const char16_t* units, char* text);
// UTF-8 to UTF-16 into units, which holds a unit a byte and the NUL; the
// units written in *count. False on a malformed or overlong sequence.
bool DecodeUtf8(const char* text, char16_t* units, size_t* count);

// The platform's part of ConvertPath: the most bytes a code unit converts
// to, and the conversion into text of capacity bytes.
size_t PathBytesPerUnit();
bool EncodePathText(const char16_t* path, char* text, size_t capacity);

// Opens the input for binary reading without waiting: a pipe with no
// writer is refused afterwards as no regular file, not waited on. Windows
// opens the wide path itself, which loses no character to the code page.
FILE* OpenInputPath(const char16_t* widePath, const char* convertedPath);

}  // namespace quenvale

#endif
