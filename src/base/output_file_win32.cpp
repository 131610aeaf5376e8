// The output on Windows, written whole or not at all: the result goes into
// a new file beside the output, created exclusively, which replaces the
// output with MoveFileExW once complete and closed. Written directly instead
// only where the folder refuses a new file for want of permission, and
// where the output is no regular file (a device).
#include <cerrno>
#include <cstring>
#include <string>

#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include "base/file_io.h"
#include "base/memory.h"
#include "base/output_file.h"
#include "base/temporary_name.h"

namespace quenvale {

namespace {

wchar_t* CopyPath(const wchar_t* path) {
    size_t length = std::char_traits<wchar_t>::length(path);
    auto* copy = AllocateArrayOf<wchar_t>(uint64_t{length} + 1);
    if (copy != nullptr) {
        std::memcpy(copy, path, (length + 1) * sizeof(wchar_t));
    }
    return copy;
}

uint64_t RandomBits() {
    thread_local uint64_t count = 0;
    uint64_t bits = 0;
    if (FixedTemporaryBits(&bits)) {
        return bits;
    }
    LARGE_INTEGER ticks;
    QueryPerformanceCounter(&ticks);
    return MixBits(static_cast<uint64_t>(ticks.QuadPart) ^ static_cast<uint64_t>(GetCurrentProcessId()) << 32 ^
                   ++count);
}

FILE* StreamOf(HANDLE handle) {
    int descriptor = _open_osfhandle(reinterpret_cast<intptr_t>(handle), _O_WRONLY | _O_BINARY);
    if (descriptor < 0) {
        CloseHandle(handle);
        return nullptr;
    }
    FILE* stream = _fdopen(descriptor, "wb");
    if (stream == nullptr) {
        _close(descriptor);
    }
    return stream;
}

// Creates the temporary beside the target; its path in *path. Returns the
// stream, or null with errno set.
FILE* CreateTemporary(const wchar_t* target, wchar_t** path) {
    size_t length = std::char_traits<wchar_t>::length(target);
    size_t nameStart = 0;
    for (size_t i = 0; i < length; ++i) {
        if (target[i] == L'/' || target[i] == L'\\') {
            nameStart = i + 1;
        }
    }
    *path = AllocateArrayOf<wchar_t>(uint64_t{length} + kTemporaryNameExtra);
    if (*path == nullptr) {
        errno = ENOMEM;
        return nullptr;
    }
    std::memcpy(*path, target, nameStart * sizeof(wchar_t));
    TemporaryNameForm form = FirstTemporaryNameForm(length - nameStart);
    int error = EEXIST;
    for (int tries = 0; tries < kTemporaryTries && form != kNoShorterForm; ++tries) {
        ComposeTemporaryName(target + nameStart, length - nameStart, form, RandomBits(), *path + nameStart);
        HANDLE handle = CreateFileW(*path, GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (handle != INVALID_HANDLE_VALUE) {
            FILE* stream = StreamOf(handle);
            if (stream == nullptr) {
                DeleteFileW(*path);
                error = EIO;
                break;
            }
            return stream;
        }
        error = ErrnoOfCreateError(GetLastError());
        if (error == ENAMETOOLONG) {
            form = static_cast<TemporaryNameForm>(form + 1);
        } else if (error != EEXIST) {
            break;
        }
    }
    ReleaseBytes(*path);
    *path = nullptr;
    errno = error;
    return nullptr;
}

bool SameFile(FILE* input, const wchar_t* path) {
    HANDLE other = CreateFileW(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                               OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (other == INVALID_HANDLE_VALUE) {
        return false;
    }
    BY_HANDLE_FILE_INFORMATION a;
    BY_HANDLE_FILE_INFORMATION b;
    auto handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(input)));
    bool same = GetFileInformationByHandle(handle, &a) && GetFileInformationByHandle(other, &b) &&
                a.dwVolumeSerialNumber == b.dwVolumeSerialNumber && a.nFileIndexHigh == b.nFileIndexHigh &&
                a.nFileIndexLow == b.nFileIndexLow;
    CloseHandle(other);
    return same;
}

}  // namespace

int ErrnoOfCreateError(unsigned long error) {
    switch (error) {
        case ERROR_ACCESS_DENIED:
        case ERROR_WRITE_PROTECT:
            return EACCES;
        case ERROR_FILE_EXISTS:
        case ERROR_ALREADY_EXISTS:
            return EEXIST;
        case ERROR_FILENAME_EXCED_RANGE:
            return ENAMETOOLONG;
        case ERROR_PATH_NOT_FOUND:
        case ERROR_FILE_NOT_FOUND:
            return ENOENT;
        case ERROR_DISK_FULL:
        case ERROR_HANDLE_DISK_FULL:
            return ENOSPC;
        default:
            return EIO;
    }
}


bool OpenOutput(const char16_t* widePath, const char* path, FILE* input, OutputFile* output, Failure* failure) {
    (void)path;
    *output = OutputFile{};
    if (widePath == nullptr) {
        *failure = FailWith(StatusOutputOpenFailed, ReasonNone);
        failure->systemError = EINVAL;
        return false;
    }
    const auto* target = reinterpret_cast<const wchar_t*>(widePath);
    DWORD attributes = GetFileAttributesW(target);
    bool exists = attributes != INVALID_FILE_ATTRIBUTES;
    bool regular = exists && (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE)) == 0;
    // A file the user may not write keeps refusing, as an open for writing would.
    if (exists && (attributes & FILE_ATTRIBUTE_READONLY) != 0) {
        *failure = FailWith(StatusOutputOpenFailed, ReasonNone);
        failure->systemError = EACCES;
        return false;
    }
    int refusal = 0;  // the folder's, where it refuses the temporary
    if (!exists || regular) {
        output->targetPath = CopyPath(target);
        if (output->targetPath == nullptr) {
            *failure = FailWith(StatusOutOfMemory, ReasonNone);
            return false;
        }
        output->stream = CreateTemporary(target, &output->temporaryPath);
        if (output->stream != nullptr) {
            return true;
        }
        // A missing folder is the output's own failure to open, as a direct
        // open would report it; room and I/O failures fail the write.
        int error = errno;
        refusal = error;
        if (error != EACCES) {
            *failure = FailWith(error == ENOMEM   ? StatusOutOfMemory
                                : error == ENOENT ? StatusOutputOpenFailed
                                                  : StatusOutputWriteFailed,
                                ReasonNone);
            failure->systemError = error == ENOMEM ? 0 : error;
            return false;
        }
    }
    output->inPlace = regular && input != nullptr && SameFile(input, target);
    output->folderRefusal = refusal;
    output->stream = _wfopen(target, output->inPlace ? L"r+b" : L"wb");
    if (output->stream == nullptr) {
        *failure = FailWithErrno(StatusOutputOpenFailed);
        return false;
    }
    return true;
}

bool CommitOutput(OutputFile& output, bool sync, Failure* failure) {
    bool written = !FileStepFails() && std::fflush(output.stream) == 0;
    if (written && sync) {
        written = _commit(_fileno(output.stream)) == 0;
    }
    if (!written) {
        *failure = FailWithErrno(StatusOutputWriteFailed);
    }
    written = CloseOutputStream(&output.stream, written, failure);
    if (written && output.temporaryPath != nullptr) {
        if (FileStepFails()) {
            *failure = FailWithErrno(StatusOutputWriteFailed);
            written = false;
        } else if (MoveFileExW(output.temporaryPath, output.targetPath, MOVEFILE_REPLACE_EXISTING) == 0) {
            *failure = FailWith(StatusOutputWriteFailed, ReasonNone);
            failure->systemError = ErrnoOfCreateError(GetLastError());
            written = false;
        } else {
            ReleaseBytes(output.temporaryPath);  // it is the output now
            output.temporaryPath = nullptr;
        }
    }
    AbandonOutput(output);
    return written;
}

void AbandonOutput(OutputFile& output) {
    if (output.stream != nullptr) {
        std::fclose(output.stream);
    }
    if (output.temporaryPath != nullptr) {
        DeleteFileW(output.temporaryPath);
    }
    ReleaseBytes(output.temporaryPath);
    ReleaseBytes(output.targetPath);
    output = OutputFile{};
}

// Windows has no sticky folders shared by every user: no link is refused
// for where it lies.
bool PathCrossesRefusedLink(const char*) { return false; }

}  // namespace quenvale
