// Whole reads and writes that report a short transfer, and a countdown that
// fails one write step of a call so tests can check that a failure loses
// nothing. Lengths and positions are each platform's (file_io_posix.cpp,
// file_io_win32.cpp).
#include <cerrno>

#include "base/file_io.h"

namespace quenvale {

namespace {

thread_local int64_t fileFailureCountdown = -1;  // a test's thread's own

}  // namespace

void SetFileFailureCountdown(int64_t countdown) { fileFailureCountdown = countdown; }

bool FileStepFails() {
    if (fileFailureCountdown >= 0 && fileFailureCountdown-- == 0) {
        errno = ENOSPC;  // the failure a user meets most
        return true;
    }
    return false;
}

bool ReadBytes(FILE* file, void* buffer, size_t count) {
    return count == 0 || std::fread(buffer, 1, count, file) == count;
}

bool WriteBytes(FILE* file, const void* buffer, size_t count) {
    if (count == 0) {
        return true;
    }
    if (FileStepFails()) {
        return false;
    }
    // In pieces of a few MiB: one write of a gigabyte from a large mapped
    // block costs several times the same bytes written in pieces.
    constexpr size_t kPiece = size_t{4} << 20;
    const auto* bytes = static_cast<const uint8_t*>(buffer);
    for (size_t done = 0, part = 0; done < count; done += part) {
        part = count - done < kPiece ? count - done : kPiece;
        if (std::fwrite(bytes + done, 1, part, file) != part) {
            return false;
        }
    }
    return true;
}

bool CopyFileBytes(FILE* input, uint64_t start, uint64_t count, FILE* output, Failure* failure) {
    // In pieces, so that a gap or tail of any length costs no memory.
    uint8_t piece[64 * 1024];
    if (count > 0 && !SeekFile(input, start)) {
        *failure = FailWith(StatusInputReadFailed, ReasonReadError);
        return false;
    }
    while (count > 0) {
        size_t part = count < sizeof piece ? static_cast<size_t>(count) : sizeof piece;
        if (!ReadBytes(input, piece, part)) {
            *failure = FailWith(StatusInputReadFailed, ReasonReadError);
            return false;
        }
        if (!WriteBytes(output, piece, part)) {
            *failure = FailWithErrno(StatusOutputWriteFailed);
            return false;
        }
        count -= part;
    }
    return true;
}

bool WriteZeros(FILE* file, uint64_t count) {
    static const uint8_t kZeros[4096] = {};
    while (count > 0) {
        size_t part = count < sizeof kZeros ? static_cast<size_t>(count) : sizeof kZeros;
        if (!WriteBytes(file, kZeros, part)) {
            return false;
        }
        count -= part;
    }
    return true;
}

}  // namespace quenvale
