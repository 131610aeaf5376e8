// The output, written whole or not at all: a temporary beside the target
// that replaces it when committed, or the output itself where the folder
// refuses a new file for want of permission or the output is no regular
// file. Each platform has a file of its own.
#ifndef QUENVALE_OUTPUT_FILE_H
#define QUENVALE_OUTPUT_FILE_H

#include <cstdint>
#include <cstdio>

#include "base/status.h"

namespace quenvale {

struct OutputFile {
    FILE* stream;
    bool inPlace;       // written directly over the input itself: only the pixel data is written
    int folderRefusal;  // written directly because the folder refused a temporary: the system's error for that
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
// Opens the output for the call whose input is open (null: an output of no
// input, never written in place). On failure fills
// *failure: the output could not be opened, no temporary could be made for
// want of room or an I/O error (a write failure, the output untouched), or
// memory ran out.
bool OpenOutput(const char16_t* widePath, const char* path, FILE* input, OutputFile* output, Failure* failure);
// Told of the temporary while it exists, so that a host can remove it
// should a signal end the process: held once it is created (SIGINT,
// SIGTERM, SIGHUP and SIGPIPE are blocked from before its creation until
// held returns, so that none falls between), released once it is renamed
// into place or removed. A thread may hold several at once (an image and
// the palette and layers beside it). POSIX only; none by default.
#if !defined(_WIN32)
struct TemporaryWatch {
    void (*held)(int folder, const char* name);
    void (*released)(int folder, const char* name);  // the one held under these
    // Around the making of each (begun, then not): the signals are blocked
    // only in the making thread, so another thread that takes one must
    // wait for the making to end before it removes what is held.
    void (*making)(bool begun);
};
void WatchTemporaries(const TemporaryWatch* watch);
#else
// errno for a Windows error (GetLastError) where a file or folder could
// not be made, so that the reason shown is the system's own.
int ErrnoOfCreateError(unsigned long error);
#endif
// Whether reaching path, at any of its components, follows a link that a
// shared sticky folder's rule refuses (a link there owned by neither this
// user nor the folder's owner), as OpenOutput refuses it; so that a folder
// an output goes to can be checked before any work.
bool PathCrossesRefusedLink(const char* path);
// Gives the temporaries' random parts a fixed sequence, MixBits(0), (1), ...
// from this call on, so that a test can plant files at the names a call will
// try; false restores real randomness.
void FixTemporaryNames(bool fixed);
// Flushes (to the disk when sync is set), closes and puts the result in
// place; on failure nothing replaces the output. Releases the output either way.
bool CommitOutput(OutputFile& output, bool sync, Failure* failure);
// Closes and removes what was written.
void AbandonOutput(OutputFile& output);
// Closes the stream, a write step of its own; fills *failure when the close
// fails after a good write. Returns whether all was written.
bool CloseOutputStream(FILE** stream, bool written, Failure* failure);

}  // namespace quenvale

#endif
