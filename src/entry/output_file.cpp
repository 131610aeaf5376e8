// The output is written whole or not at all. The result goes into a new
// file beside the output, which replaces the output in one rename once it
// is complete and closed, so a full disk, a failed write or a killed
// process leaves the old file (or the input itself, in place) as it was.
// Where the folder takes no new file, or the output is no regular file
// (a device, a pipe), the output is written directly instead.
#include <cerrno>
#include <cstring>

#include "entry.h"

#if defined(_WIN32)
#include <fcntl.h>
#include <io.h>
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#endif

namespace quenvale {

namespace {

unsigned temporaryCount = 0;  // tells apart the temporaries of one process

#if defined(_WIN32)
using PathChar = wchar_t;
#else
using PathChar = char;
#endif

size_t PathLength(const PathChar* path) {
    size_t length = 0;
    while (path[length] != 0) {
        ++length;
    }
    return length;
}

PathChar* CopyPath(const PathChar* path) {
    size_t length = PathLength(path);
    auto* copy = static_cast<PathChar*>(AllocateBytes((length + 1) * sizeof(PathChar)));
    if (copy != nullptr) {
        std::memcpy(copy, path, (length + 1) * sizeof(PathChar));
    }
    return copy;
}

// "DIR/.NAME.quenvale-PID-N.tmp" beside the target: hidden, and named for
// what it is should a killed process leave it behind.
PathChar* TemporaryPath(const PathChar* target, unsigned long processId) {
    size_t length = PathLength(target);
    size_t nameStart = 0;
    for (size_t i = 0; i < length; ++i) {
        if (target[i] == '/' || (sizeof(PathChar) > 1 && target[i] == '\\')) {
            nameStart = i + 1;
        }
    }
    char suffix[64];
    int suffixLength = std::snprintf(suffix, sizeof suffix, ".quenvale-%lu-%u.tmp", processId, ++temporaryCount);
    auto* path = static_cast<PathChar*>(AllocateBytes((length + 2 + static_cast<size_t>(suffixLength)) *
                                                      sizeof(PathChar)));
    if (path == nullptr) {
        return nullptr;
    }
    PathChar* end = path;
    for (size_t i = 0; i < nameStart; ++i) {
        *end++ = target[i];
    }
    *end++ = '.';
    for (size_t i = nameStart; i < length; ++i) {
        *end++ = target[i];
    }
    for (int i = 0; i <= suffixLength; ++i) {
        *end++ = static_cast<PathChar>(suffix[i]);
    }
    return path;
}

#if defined(_WIN32)

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

FILE* CreateTemporary(const wchar_t* path) {
    HANDLE handle = CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        return nullptr;
    }
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

#endif

}  // namespace

int32_t OpenOutput(const char16_t* widePath, const char* path, FILE* input, OutputFile* output, int* systemError) {
    *output = OutputFile{};
    *systemError = 0;
#if defined(_WIN32)
    (void)path;
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
        output->temporaryPath = TemporaryPath(target, GetCurrentProcessId());
        if (output->temporaryPath == nullptr) {
            return ResultOutOfMemory;
        }
        output->stream = CreateTemporary(output->temporaryPath);
        if (output->stream != nullptr) {
            return ResultDone;
        }
        ReleaseBytes(output->temporaryPath);
        output->temporaryPath = nullptr;
    }
    output->inPlace = regular && SameFile(input, target);
    output->stream = _wfopen(target, output->inPlace ? L"r+b" : L"wb");
#else
    (void)widePath;
    if (path == nullptr || path[0] == 0) {
        *systemError = path == nullptr ? EFAULT : ENOENT;
        return ResultOutputOpenFailed;
    }
    // A symbolic link stays a link: its final target gets the result. A
    // link to nothing yet is written through, which creates its target.
    char* resolved = nullptr;
    struct stat status;
    bool dangling = false;
    if (lstat(path, &status) == 0 && S_ISLNK(status.st_mode)) {
        resolved = realpath(path, nullptr);
        dangling = resolved == nullptr;
    }
    const char* target = resolved != nullptr ? resolved : path;
    bool exists = stat(target, &status) == 0;
    bool regular = exists && S_ISREG(status.st_mode);
    if (regular) {
        // A file the user may not write keeps refusing, as an open for
        // writing would, though a rename could replace it.
        if (faccessat(AT_FDCWD, target, W_OK, AT_EACCESS) != 0) {
            *systemError = errno;
            std::free(resolved);
            return ResultOutputOpenFailed;
        }
    }
    if ((!exists && !dangling) || regular) {
        output->targetPath = CopyPath(target);
        output->temporaryPath = output->targetPath == nullptr ? nullptr : TemporaryPath(target, getpid());
        std::free(resolved);
        if (output->temporaryPath == nullptr) {
            return ResultOutOfMemory;
        }
        target = output->targetPath;
        // 0666 less the umask for a new output, as an open for writing gives.
        int descriptor = open(output->temporaryPath, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (descriptor >= 0) {
            if (regular) {
                // Owner first: changing it may clear the set-id bits the mode restores.
                (void)!fchown(descriptor, status.st_uid, status.st_gid);
                (void)!fchmod(descriptor, status.st_mode & 07777);
            }
            output->stream = fdopen(descriptor, "wb");
            if (output->stream != nullptr) {
                return ResultDone;
            }
            close(descriptor);
            unlink(output->temporaryPath);
        }
        ReleaseBytes(output->temporaryPath);
        output->temporaryPath = nullptr;
    }
    // Written directly: in place, only the pixel data changes, so the file
    // is opened without emptying it.
    struct stat inputStatus;
    output->inPlace = regular && fstat(fileno(input), &inputStatus) == 0 && inputStatus.st_dev == status.st_dev &&
                      inputStatus.st_ino == status.st_ino;
    output->stream = std::fopen(target, output->inPlace ? "r+b" : "wb");
    std::free(resolved);
#endif
    if (output->stream == nullptr) {
        *systemError = errno;
        return ResultOutputOpenFailed;
    }
    return ResultDone;
}

bool CommitOutput(OutputFile& output, bool sync, int* systemError) {
    bool written = !FileStepFails() && std::fflush(output.stream) == 0;
#if defined(_WIN32)
    if (written && sync) {
        written = _commit(_fileno(output.stream)) == 0;
    }
#else
    if (written && sync) {
        written = fsync(fileno(output.stream)) == 0;
    }
#endif
    // A full disk often shows only when the last buffered bytes are written.
    bool closeFails = FileStepFails();
    written = std::fclose(output.stream) == 0 && !closeFails && written;
    output.stream = nullptr;
    if (written && output.temporaryPath != nullptr) {
#if defined(_WIN32)
        written = !FileStepFails();
        if (written && MoveFileExW(output.temporaryPath, output.targetPath, MOVEFILE_REPLACE_EXISTING) == 0) {
            errno = EACCES;
            written = false;
        }
#else
        written = !FileStepFails() && std::rename(output.temporaryPath, output.targetPath) == 0;
#endif
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
#if defined(_WIN32)
        DeleteFileW(output.temporaryPath);
#else
        unlink(output.temporaryPath);
#endif
    }
    ReleaseBytes(output.temporaryPath);
    ReleaseBytes(output.targetPath);
    output = OutputFile{};
}

}  // namespace quenvale
