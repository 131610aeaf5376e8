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

// Opens the input for binary reading without waiting: a pipe with no
// writer is refused afterwards as no regular file, not waited on. Windows
// opens the wide path itself, which loses no character to the code page.
FILE* OpenInputPath(const char16_t* widePath, const char* convertedPath);

// An output being written: a temporary beside the target that replaces it
// when committed, or the output itself where the folder takes no new file
// or the output is no regular file.
struct OutputFile {
    FILE* stream;
    bool inPlace;  // written directly over the input itself: only the pixel data is written
#if defined(_WIN32)
    wchar_t* temporaryPath;  // null when written directly
    wchar_t* targetPath;
#else
    char* temporaryName;   // in the target's folder; null when written directly
    int folder;            // that folder, open while temporaryName is set
    char* targetName;      // the target's name in that folder
    uint32_t mode;         // given to the temporary once its last byte is written
    bool keepOwner;        // the target exists: its owner and group go to the temporary too
    uint32_t owner;
    uint32_t group;
#endif
};
// Returns ResultDone, ResultOutputOpenFailed or ResultOutputWriteFailed (the
// temporary could not be made for want of room or an I/O error; the system's
// error number in *systemError either way) or ResultOutOfMemory. The input
// is the call's open input.
int32_t OpenOutput(const char16_t* widePath, const char* path, FILE* input, OutputFile* output, int* systemError);
// Gives the temporaries' random parts a fixed sequence, MixBits(0), (1), ...
// from this call on, so that a test can plant files at the names a call will
// try; false restores real randomness.
void FixTemporaryNames(bool fixed);
// Flushes (to the disk when sync is set), closes and puts the result in
// place; on failure nothing replaces the output. Releases the output either way.
bool CommitOutput(OutputFile& output, bool sync, int* systemError);
// Closes and removes what was written.
void AbandonOutput(OutputFile& output);

// What the host may ask of a call beyond the exported call's contract, and
// what it learns back.
struct CallOptions {
    bool sync;      // make the result durable before it replaces the output
    int tolerance;  // the flatten's reach per channel
};
struct CallReport {
    char reason[192];  // why the input was refused; empty when it was not
    int systemError;   // the system's error number of a failed open, read or write; 0 when none
};

// Reads the input, runs the filter from the source grid to the destination
// grid, and writes the output: the input's bytes with the pixels replaced.
// Returns one of the result codes of quenvale.h.
int32_t RunPipeline(const char16_t* inputPath, const char16_t* outputPath, const NamedFilter& filter);
// The same with a filter that works in place on the rows; its standard
// output is the grid filter's, counter lines included.
int32_t RunRowPipeline(const char16_t* inputPath, const char16_t* outputPath, RowFilter filter);
// The host's call: the named filter, or the flatten for a null one, with
// the options given, filling *report (which may be null).
int32_t RunHostCall(const char16_t* inputPath, const char16_t* outputPath, const NamedFilter* filter,
                    const CallOptions& options, CallReport* report);

}  // namespace quenvale

#endif
