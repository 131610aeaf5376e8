// The output on Windows, written whole or not at all: the result goes into
// a new file beside the output, created exclusively, which replaces the
// output with MoveFileExW once complete and closed. Written directly instead
// only where the folder refuses a new file for want of permission, and
// where the output is no regular file (a device).
#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include "entry.h"
#include "temporary_name.h"

namespace quenvale {

namespace {

size_t PathLength(const wchar_t* path) {
    size_t length = 0;
    while (path[length] != 0) {
        ++length;
    }
    return length;
}

wchar_t* CopyPath(const wchar_t* path) {
    size_t length = PathLength(path);
    auto* copy = static_cast<wchar_t*>(AllocateBytes((length + 1) * sizeof(wchar_t)));
    if (copy != nullptr) {
        std::memcpy(copy, path, (length + 1) * sizeof(wchar_t));
    }
    return copy;
}

uint64_t RandomBits() {
    static uint64_t count = 0;
    uint64_t bits = 0;
    if (FixedTemporaryBits(&bits)) {
        return bits;
    }
    LARGE_INTEGER ticks;
    QueryPerformanceCounter(&ticks);
    return MixBits(static_cast<uint64_t>(ticks.QuadPart) ^ static_cast<uint64_t>(GetCurrentProcessId()) << 32 ^
                   ++count);
}

// errno for the last Windows error of a failed create.
int CreateError(DWORD error) {
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
    size_t length = PathLength(target);
    size_t nameStart = 0;
    for (size_t i = 0; i < length; ++i) {
        if (target[i] == L'/' || target[i] == L'\\') {
            nameStart = i + 1;
        }
    }
    *path = static_cast<wchar_t*>(AllocateBytes((length + kTemporaryNameExtra) * sizeof(wchar_t)));
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
        error = CreateError(GetLastError());
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

int32_t OpenOutput(const char16_t* widePath, const char* path, FILE* input, OutputFile* output, int* systemError) {
    (void)path;
    *output = OutputFile{};
    *systemError = 0;
    if (widePath == nullptr) {
        *systemError = EINVAL;
        return ResultOutputOpenFailed;
    }
    const auto* target = reinterpret_cast<const wchar_t*>(widePath);
    DWORD attributes = GetFileAttributesW(target);
    bool exists = attributes != INVALID_FILE_ATTRIBUTES;
    bool regular = exists && (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE)) == 0;
    // A file the user may not write keeps refusing, as an open for writing would.
    if (exists && (attributes & FILE_ATTRIBUTE_READONLY) != 0) {
        *systemError = EACCES;
        return ResultOutputOpenFailed;
    }
    if (!exists || regular) {
        output->targetPath = CopyPath(target);
        if (output->targetPath == nullptr) {
            return ResultOutOfMemory;
        }
        output->stream = CreateTemporary(target, &output->temporaryPath);
        if (output->stream != nullptr) {
            return ResultDone;
        }
        if (errno == ENOMEM) {
            return ResultOutOfMemory;
        }
        // A missing folder is the output's own failure to open, as a direct
        // open would report it; room and I/O failures fail the write.
        if (errno == ENOENT) {
            *systemError = errno;
            return ResultOutputOpenFailed;
        }
        if (errno != EACCES) {
            *systemError = errno;
            return ResultOutputWriteFailed;
        }
    }
    output->inPlace = regular && SameFile(input, target);
    output->stream = _wfopen(target, output->inPlace ? L"r+b" : L"wb");
    if (output->stream == nullptr) {
        *systemError = errno;
        return ResultOutputOpenFailed;
    }
    return ResultDone;
}

bool CommitOutput(OutputFile& output, bool sync, int* systemError) {
    bool written = !FileStepFails() && std::fflush(output.stream) == 0;
    if (written && sync) {
        written = _commit(_fileno(output.stream)) == 0;
    }
    // A full disk often shows only when the last buffered bytes are written.
    bool closeFails = FileStepFails();
    written = std::fclose(output.stream) == 0 && !closeFails && written;
    output.stream = nullptr;
    if (written && output.temporaryPath != nullptr) {
        written = !FileStepFails();
        if (written && MoveFileExW(output.temporaryPath, output.targetPath, MOVEFILE_REPLACE_EXISTING) == 0) {
            errno = EACCES;
            written = false;
        }
        if (written) {
            ReleaseBytes(output.temporaryPath);  // it is the output now
            output.temporaryPath = nullptr;
        }
    }
    if (!written) {
        *systemError = errno;
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

}  // namespace quenvale
