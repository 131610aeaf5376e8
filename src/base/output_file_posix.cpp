// The output on POSIX, written whole or not at all: the result goes into a
// new file in the output's folder, private (0600) from its first moment,
// which takes the output's owner and mode only once its last byte is
// written (a write by its owner would clear set-id bits) and then replaces
// the output in one rename. A full disk, a failed write or a killed process
// leaves the old file, or the input itself in place, as it was.
//
// Written directly instead only where the folder refuses a new file for
// want of permission while the output itself is writable, and where the
// output is no regular file (a device, a pipe) or a link to nothing yet.
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <initializer_list>

#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>
#if defined(__linux__)
#include <sys/random.h>
#endif

#include "base/file_io.h"
#include "base/memory.h"
#include "base/output_file.h"
#include "base/temporary_name.h"

namespace quenvale {

namespace {

char* CopyText(const char* text, size_t length) {
    auto* copy = AllocateArrayOf<char>(uint64_t{length} + 1);
    if (copy != nullptr) {
        std::memcpy(copy, text, length);
        copy[length] = 0;
    }
    return copy;
}

uint64_t RandomBits() {
    thread_local uint64_t count = 0;
    uint64_t bits = 0;
    if (FixedTemporaryBits(&bits)) {
        return bits;
    }
#if defined(__linux__)
    if (getrandom(&bits, sizeof bits, GRND_NONBLOCK) == static_cast<ssize_t>(sizeof bits)) {
        return bits;
    }
#endif
    // No entropy to be had: a taken name still only costs another try.
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return MixBits(bits ^ static_cast<uint64_t>(now.tv_nsec) ^ static_cast<uint64_t>(now.tv_sec) << 32 ^
                   static_cast<uint64_t>(getpid()) << 20 ^ ++count);
}

// The process's umask, which a new output's mode honours as an open would.
// It is read by setting it: 077 for that instant, so that a file another
// thread creates meanwhile is only more private, never less.
mode_t CurrentUmask() {
    mode_t mask = umask(077);
    umask(mask);
    return mask;
}

const TemporaryWatch* temporaryWatch = nullptr;

// The termination signals held back while a watched temporary is made.
struct HeldSignals {
    sigset_t previous;
};

void HoldSignals(HeldSignals* held) {
    if (temporaryWatch != nullptr) {
        sigset_t blocked;
        sigemptyset(&blocked);
        for (int signalNumber : {SIGINT, SIGTERM, SIGHUP, SIGPIPE}) {
            sigaddset(&blocked, signalNumber);
        }
        pthread_sigmask(SIG_BLOCK, &blocked, &held->previous);
    }
}

void ReleaseSignals(const HeldSignals& held) {
    if (temporaryWatch != nullptr) {
        pthread_sigmask(SIG_SETMASK, &held.previous, nullptr);
    }
}

// Creates the temporary in the folder, exclusively and never through a
// link, mode 0600; its name in *name. Returns the descriptor, or -1 with
// errno set.
int CreateTemporary(int folder, const char* target, char** name) {
    size_t length = std::strlen(target);
    *name = AllocateArrayOf<char>(uint64_t{length} + kTemporaryNameExtra);
    if (*name == nullptr) {
        errno = ENOMEM;
        return -1;
    }
    TemporaryNameForm form = FirstTemporaryNameForm(length);
    for (int tries = 0; tries < kTemporaryTries && form != kNoShorterForm; ++tries) {
        ComposeTemporaryName(target, length, form, RandomBits(), *name);
        HeldSignals held{};
        HoldSignals(&held);
        if (temporaryWatch != nullptr) {
            temporaryWatch->making(true);
        }
        int descriptor = openat(folder, *name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        int error = errno;
        if (descriptor >= 0 && temporaryWatch != nullptr) {
            temporaryWatch->held(folder, *name);
        }
        if (temporaryWatch != nullptr) {
            temporaryWatch->making(false);
        }
        ReleaseSignals(held);
        errno = error;
        if (descriptor >= 0) {
            return descriptor;
        }
        if (errno == ENAMETOOLONG) {
            form = static_cast<TemporaryNameForm>(form + 1);
        } else if (errno != EEXIST) {
            break;
        }
    }
    int error = errno;
    ReleaseBytes(*name);
    *name = nullptr;
    errno = error;
    return -1;
}

// Failures to make the temporary that leave the output writable in place:
// a folder the user may not add to, or a file system that takes no write at
// all (the direct open then fails and says so).
bool FolderRefusesNewFiles(int error) { return error == EACCES || error == EPERM || error == EROFS; }

bool OpenDirectly(const char* target, const struct stat* status, bool regular, FILE* input, OutputFile* output,
                  Failure* failure) {
    // In place, only the pixel data changes, so the file is opened without
    // emptying it.
    struct stat inputStatus;
    output->inPlace = regular && input != nullptr && fstat(fileno(input), &inputStatus) == 0 &&
                      inputStatus.st_dev == status->st_dev &&
                      inputStatus.st_ino == status->st_ino;
    output->stream = std::fopen(target, output->inPlace ? "r+b" : "wb");
    if (output->stream == nullptr) {
        *failure = FailWithErrno(StatusOutputOpenFailed);
        return false;
    }
    return true;
}

bool OpenTemporary(const char* target, const struct stat* status, bool regular, FILE* input, OutputFile* output,
                   Failure* failure) {
    const char* slash = std::strrchr(target, '/');
    const char* name = slash == nullptr ? target : slash + 1;
    if (name[0] == 0) {
        return OpenDirectly(target, status, regular, input, output, failure);  // "dir/": the open says why
    }
    char* folderPath = slash == nullptr ? CopyText(".", 1) : CopyText(target, slash == target ? 1 : slash - target);
    output->targetName = CopyText(name, std::strlen(name));
    if (folderPath == nullptr || output->targetName == nullptr) {
        ReleaseBytes(folderPath);
        *failure = FailWith(StatusOutOfMemory, ReasonNone);
        return false;
    }
#if defined(O_PATH)
    int folder = open(folderPath, O_PATH | O_DIRECTORY | O_CLOEXEC);  // search permission is enough
#else
    int folder = open(folderPath, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
#endif
    if (folder < 0) {
        *failure = FailWithErrno(StatusOutputOpenFailed);
        ReleaseBytes(folderPath);
        return false;
    }
    ReleaseBytes(folderPath);
    int descriptor = CreateTemporary(folder, name, &output->temporaryName);
    if (descriptor < 0) {
        *failure = errno == ENOMEM ? FailWith(StatusOutOfMemory, ReasonNone) : FailWithErrno(StatusOutputWriteFailed);
        close(folder);
        if (FolderRefusesNewFiles(failure->systemError)) {
            int refusal = failure->systemError;
            *failure = Failure{};
            bool opened = OpenDirectly(target, status, regular, input, output, failure);
            output->folderRefusal = refusal;
            return opened;
        }
        return false;
    }
    output->folder = folder;
    output->keepOwner = regular;
    output->owner = regular ? status->st_uid : 0;
    output->group = regular ? status->st_gid : 0;
    output->mode = regular ? status->st_mode & 07777 : 0666 & ~CurrentUmask();
    output->stream = fdopen(descriptor, "wb");
    if (output->stream == nullptr) {
        *failure = FailWithErrno(StatusOutputOpenFailed);
        close(descriptor);
        return false;  // AbandonOutput removes the temporary
    }
    return true;
}

// Whether the kernel's protected_symlinks rule lets this process follow a
// link in this folder: in a sticky folder that others may write, only a
// link of the caller's own or of the folder's owner. The host creates and
// renames in the target's folder and never opens the link itself, so the
// kernel would not apply its rule; it is applied here whatever the sysctl.
bool MayFollowLink(const char* linkPath, const struct stat& link) {
    const char* slash = std::strrchr(linkPath, '/');
    char* folderPath = slash == nullptr ? CopyText(".", 1)
                                        : CopyText(linkPath, slash == linkPath ? 1 : static_cast<size_t>(slash - linkPath));
    struct stat folder;
    bool known = folderPath != nullptr && stat(folderPath, &folder) == 0;
    ReleaseBytes(folderPath);
    if (!known) {
        return false;
    }
    bool shared = (folder.st_mode & S_ISVTX) != 0 && (folder.st_mode & S_IWOTH) != 0;
    return !shared || link.st_uid == geteuid() || link.st_uid == folder.st_uid;
}

// A link's text as a path: taken from the link's own folder unless it is
// absolute, in a block for ReleaseBytes (*target). A link rewritten longer
// since it was lstat'd (link) reads as changed, to be looked at again.
enum LinkText { LinkTextRead, LinkTextChanged, LinkTextUnread, LinkTextNoMemory };

LinkText ReadLinkTarget(const char* at, const struct stat& link, char** target) {
    size_t textBytes = static_cast<size_t>(link.st_size);
    const char* slash = std::strrchr(at, '/');
    size_t folderBytes = slash == nullptr ? 0 : static_cast<size_t>(slash - at) + 1;
    char* next = AllocateArrayOf<char>(uint64_t{folderBytes} + textBytes + 1);
    if (next == nullptr) {
        return LinkTextNoMemory;
    }
    ssize_t got = readlink(at, next + folderBytes, textBytes + 1);
    if (got < 0 || static_cast<size_t>(got) > textBytes) {
        int error = errno;  // readlink's, for the caller
        ReleaseBytes(next);
        errno = error;
        return got < 0 ? LinkTextUnread : LinkTextChanged;
    }
    if (got > 0 && next[folderBytes] == '/') {
        std::memmove(next, next + folderBytes, static_cast<size_t>(got));
        next[got] = 0;
    } else {
        std::memcpy(next, at, folderBytes);
        next[folderBytes + static_cast<size_t>(got)] = 0;
    }
    *target = next;
    return LinkTextRead;
}

// Whether reaching path follows a link that the rule above refuses, at any
// component and along each link's own text: a folder link planted in /tmp
// would otherwise take the output anywhere its planter chose. Links nest
// at most as deep as the kernel follows them; deeper is refused too, and
// so is a link rewritten while it is looked at.
enum LinkWalk { LinksClear, LinkRefused, LinkNoMemory };

LinkWalk CrossesRefusedLink(const char* path, int depth) {
    constexpr int kMaxDepth = 40;
    if (depth > kMaxDepth) {
        return LinkRefused;
    }
    // A short path's prefixes on the stack: most outputs take no memory here.
    size_t length = std::strlen(path);
    char shortPrefix[256];
    char* prefix = length < sizeof shortPrefix ? shortPrefix : AllocateArrayOf<char>(uint64_t{length} + 1);
    if (prefix == nullptr) {
        return LinkNoMemory;
    }
    LinkWalk walk = LinksClear;
    for (size_t end = 1; walk == LinksClear && end <= length; ++end) {
        if (end < length && path[end] != '/') {
            continue;
        }
        std::memcpy(prefix, path, end);
        prefix[end] = 0;
        struct stat link;
        if (lstat(prefix, &link) != 0 || !S_ISLNK(link.st_mode)) {
            continue;
        }
        if (!MayFollowLink(prefix, link)) {
            walk = LinkRefused;
            break;
        }
        char* next = nullptr;
        switch (ReadLinkTarget(prefix, link, &next)) {
            case LinkTextRead:
                walk = CrossesRefusedLink(next, depth + 1);
                ReleaseBytes(next);
                break;
            case LinkTextChanged:
                walk = LinkRefused;
                break;
            case LinkTextNoMemory:
                walk = LinkNoMemory;
                break;
            case LinkTextUnread:
                break;  // a link that cannot be read cannot be followed either
        }
    }
    if (prefix != shortPrefix) {
        ReleaseBytes(prefix);
    }
    return walk;
}

// Follows the output's chain of links one by one, each under the rule
// above, to the name they end at: *resolved is null where path is no link,
// and *dangling set where the last link names nothing yet.
bool ResolveOutputLinks(const char* path, char** resolved, bool* dangling, Failure* failure) {
    constexpr int kMaxLinks = 40;  // the kernel's own limit
    char* current = nullptr;
    for (int hops = 0;; ++hops) {
        const char* at = current != nullptr ? current : path;
        struct stat link;
        bool found = lstat(at, &link) == 0;
        if (!found || !S_ISLNK(link.st_mode)) {
            *dangling = !found && current != nullptr;
            *resolved = current;
            return true;
        }
        if (hops == kMaxLinks) {
            *failure = FailWith(StatusOutputOpenFailed, ReasonNone);
            failure->systemError = ELOOP;
        } else if (!MayFollowLink(at, link)) {
            *failure = FailWith(StatusOutputOpenFailed, ReasonLinkInSharedFolder);
        } else {
            char* next = nullptr;
            LinkText text = ReadLinkTarget(at, link, &next);
            if (text == LinkTextRead) {
                ReleaseBytes(current);
                current = next;
                continue;
            }
            if (text == LinkTextChanged) {
                continue;  // the same link, read again with its new size
            }
            *failure = text == LinkTextNoMemory ? FailWith(StatusOutOfMemory, ReasonNone)
                                                : FailWithErrno(StatusOutputOpenFailed);
        }
        ReleaseBytes(current);
        return false;
    }
}

}  // namespace

bool OpenOutput(const char16_t* widePath, const char* path, FILE* input, OutputFile* output, Failure* failure) {
    (void)widePath;
    *output = OutputFile{};
    if (path == nullptr || path[0] == 0) {
        *failure = FailWith(StatusOutputOpenFailed, ReasonNone);
        failure->systemError = path == nullptr ? EFAULT : ENOENT;
        return false;
    }
    LinkWalk walk = CrossesRefusedLink(path, 0);
    if (walk != LinksClear) {
        *failure = walk == LinkNoMemory ? FailWith(StatusOutOfMemory, ReasonNone)
                                        : FailWith(StatusOutputOpenFailed, ReasonLinkInSharedFolder);
        return false;
    }
    // A symbolic link stays a link: its final target gets the result. A
    // link to nothing yet is written through, which creates its target.
    char* resolved = nullptr;
    bool dangling = false;
    if (!ResolveOutputLinks(path, &resolved, &dangling, failure)) {
        return false;
    }
    const char* target = resolved != nullptr ? resolved : path;
    struct stat status;
    bool exists = stat(target, &status) == 0;
    bool regular = exists && S_ISREG(status.st_mode);
    bool opened = false;
    if (regular && faccessat(AT_FDCWD, target, W_OK, AT_EACCESS) != 0) {
        // A file the user may not write keeps refusing, as an open for
        // writing would, though a rename could replace it.
        *failure = FailWithErrno(StatusOutputOpenFailed);
    } else if (dangling || (exists && !regular)) {
        opened = OpenDirectly(target, &status, false, input, output, failure);
    } else {
        opened = OpenTemporary(target, &status, regular, input, output, failure);
    }
    ReleaseBytes(resolved);
    return opened;
}

void WatchTemporaries(const TemporaryWatch* watch) { temporaryWatch = watch; }

bool CommitOutput(OutputFile& output, bool sync, Failure* failure) {
    bool written = !FileStepFails() && std::fflush(output.stream) == 0;
    int descriptor = fileno(output.stream);
    if (written && output.temporaryName != nullptr) {
        // The last byte is written: from here no write clears set-id bits.
        // Owner first, since changing it clears them too.
        if (output.keepOwner) {
            (void)!fchown(descriptor, output.owner, output.group);
        }
        (void)!fchmod(descriptor, output.mode);
    }
    if (written && sync) {
        written = fsync(descriptor) == 0;
    }
    if (!written) {
        *failure = FailWithErrno(StatusOutputWriteFailed);
    }
    written = CloseOutputStream(&output.stream, written, failure);
    if (written && output.temporaryName != nullptr) {
        written = !FileStepFails() &&
                  renameat(output.folder, output.temporaryName, output.folder, output.targetName) == 0;
        if (written) {
            if (temporaryWatch != nullptr) {
                temporaryWatch->released(output.folder, output.temporaryName);
            }
            ReleaseBytes(output.temporaryName);  // it is the output now
            output.temporaryName = nullptr;
            close(output.folder);
        } else {
            *failure = FailWithErrno(StatusOutputWriteFailed);
        }
    }
    AbandonOutput(output);
    return written;
}

void AbandonOutput(OutputFile& output) {
    if (output.stream != nullptr) {
        std::fclose(output.stream);
    }
    if (output.temporaryName != nullptr) {
        unlinkat(output.folder, output.temporaryName, 0);
        if (temporaryWatch != nullptr) {
            temporaryWatch->released(output.folder, output.temporaryName);
        }
        close(output.folder);
    }
    ReleaseBytes(output.temporaryName);
    ReleaseBytes(output.targetName);
    output = OutputFile{};
}

bool PathCrossesRefusedLink(const char* path) { return CrossesRefusedLink(path, 0) != LinksClear; }

}  // namespace quenvale
