// The entry point's pipeline and its path handling.
#ifndef QUENVALE_ENTRY_H
#define QUENVALE_ENTRY_H

#include <cstdint>
#include <cstdio>

#include "filters.h"

namespace quenvale {

// Converts a NUL-terminated path of 16-bit code units to the target's
// multibyte path: UTF-8 on POSIX, the ANSI code page on Windows. A path that
// does not convert gives an empty text. Returns null for a null path, and
// sets *outOfMemory when the text could not be allocated.
char* ConvertPath(const char16_t* path, bool* outOfMemory);

// Opens a path for binary reading or writing ("rb", "wb"). Windows opens
// the wide path itself, which loses no character to the code page.
FILE* OpenPath(const char16_t* widePath, const char* convertedPath, const char* mode);

// The name the output-failure message prints: the output path with "_flat"
// before its extension. Returns null when it could not be allocated.
char* ComposeNameText(const char* outputText);

// Reads the input, runs the filter from the source grid to the destination
// grid, and writes the output: the input's bytes with the pixels replaced.
// Returns one of the result codes of quenvale.h.
int32_t RunPipeline(const char16_t* inputPath, const char16_t* outputPath, const NamedFilter& filter);
// The same with a filter that works in place on the rows; its standard
// output is the grid filter's, counter lines included.
int32_t RunRowPipeline(const char16_t* inputPath, const char16_t* outputPath, RowFilter filter);

}  // namespace quenvale

#endif
