// The host's files on POSIX: absolute paths from the working folder, spool
// files from mkstemp that a terminating signal removes.
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#if defined(__GLIBC__)
#include <malloc.h>
#endif
#include <unistd.h>

#include "app/host.h"
#include "base/output_file.h"
#include "base/path_text.h"

namespace quenvale_host {

namespace {

// Spool files, and the outputs' temporaries, to remove should a signal end
// the process mid-way: plain arrays and lock-free flags, since the handler
// may touch nothing else, with room for a batch's threads.
constexpr int kThreads = 64;                // as many as --jobs takes
constexpr int kSpoolSlots = 4 * kThreads;  // standard input and output, and a picture's two bitmaps
char spoolPaths[kSpoolSlots][4096];
std::atomic<int> spoolState[kSpoolSlots];  // 0 free, 1 being written, 2 held
// Each thread may hold an image's temporary and those of its palette and
// layers at once.
constexpr int kTemporarySlots = 4 * kThreads;
char temporaryNames[kTemporarySlots][4096];
int temporaryFolders[kTemporarySlots];
std::atomic<int> temporaryState[kTemporarySlots];

// A free slot, claimed: its index, or -1.
int ClaimSlot(std::atomic<int>* states, int count) {
    for (int i = 0; i < count; ++i) {
        int expected = 0;
        if (states[i].compare_exchange_strong(expected, 1)) {
            return i;
        }
    }
    return -1;
}

std::atomic<int> temporariesMaking{0};  // threads between a temporary's making and its holding

void RemoveSpoolsAndEnd(int signalNumber) {
    // A temporary another thread is making is held within microseconds:
    // wait for it (bounded), or it would outlive the process.
    for (long spins = 0; temporariesMaking.load() > 0 && spins < 100000000; ++spins) {
    }
    for (int i = 0; i < kSpoolSlots; ++i) {
        if (spoolState[i].load() == 2) {
            unlink(spoolPaths[i]);
        }
    }
    for (int i = 0; i < kTemporarySlots; ++i) {
        if (temporaryState[i].load() == 2) {
            unlinkat(temporaryFolders[i], temporaryNames[i], 0);
        }
    }
    signal(signalNumber, SIG_DFL);
    raise(signalNumber);
}

// Where defaultOnly, a signal that already has a handler (Python's SIGINT,
// which raises KeyboardInterrupt) keeps it.
void HandleSignals(bool defaultOnly = false) {
    static std::atomic<bool> handled{false};
    if (handled.exchange(true)) {
        return;
    }
    for (int signalNumber : {SIGINT, SIGTERM, SIGHUP, SIGPIPE}) {
        struct sigaction action {};
        // A signal the caller ignores (nohup) stays ignored.
        if (sigaction(signalNumber, nullptr, &action) == 0 && action.sa_handler != SIG_IGN &&
            (!defaultOnly || action.sa_handler == SIG_DFL)) {
            action.sa_handler = RemoveSpoolsAndEnd;
            sigemptyset(&action.sa_mask);
            action.sa_flags = 0;
            sigaction(signalNumber, &action, nullptr);
        }
    }
}

void HoldSpool(const std::string& path) {
    HandleSignals();
    int slot = path.size() < sizeof spoolPaths[0] ? ClaimSlot(spoolState, kSpoolSlots) : -1;
    if (slot >= 0) {
        std::memcpy(spoolPaths[slot], path.c_str(), path.size() + 1);
        spoolState[slot].store(2);
    }
}

// The library's output temporary, which it makes with these signals
// blocked; a name too long to hold is left to its own removal.
void HoldTemporary(int folder, const char* name) {
    size_t length = std::strlen(name);
    int slot = length < sizeof temporaryNames[0] ? ClaimSlot(temporaryState, kTemporarySlots) : -1;
    if (slot >= 0) {
        std::memcpy(temporaryNames[slot], name, length + 1);
        temporaryFolders[slot] = folder;
        temporaryState[slot].store(2);
    }
}

void MakingTemporary(bool begun) { temporariesMaking.fetch_add(begun ? 1 : -1); }

void ReleaseTemporary(int folder, const char* name) {
    for (int i = 0; i < kTemporarySlots; ++i) {
        if (temporaryState[i].load() == 2 && temporaryFolders[i] == folder &&
            std::strcmp(temporaryNames[i], name) == 0) {
            temporaryState[i].store(0);
            return;
        }
    }
}

}  // namespace

const char kPathSeparators[] = "/";

void KeepFreedMemory() {
#if defined(__GLIBC__)
    // Blocks below 16 MiB (the most every target takes) from the heap, and
    // up to 256 MiB of free heap kept: measured on 2,000 PNGs of 256 x 256,
    // 280 page faults a file fall to none, and the system time by a third.
    mallopt(M_MMAP_THRESHOLD, 16 << 20);
    mallopt(M_TRIM_THRESHOLD, 256 << 20);
#endif
}

void RemoveTemporariesOnSignals(bool defaultOnly) {
    HandleSignals(defaultOnly);
    static const quenvale::TemporaryWatch kWatch{HoldTemporary, ReleaseTemporary, MakingTemporary};
    quenvale::WatchTemporaries(&kWatch);
}

// Inputs without waiting: a pipe or device is then refused as no regular
// file, not waited on.
FILE* OpenFile(const std::string& path, const char* mode) {
    return mode[0] == 'r' ? quenvale::OpenInputPath(nullptr, path.c_str()) : std::fopen(path.c_str(), mode);
}

void MakeBinary(FILE* stream) { (void)stream; }

const char kPathStep[] = "./";

size_t RootLength(const std::string& path) { return !path.empty() && path[0] == '/' ? 1 : 0; }

size_t CallLength(const std::string& path) { return path.size(); }

PathKind KindOfPath(const std::string& path) {
    struct stat status;
    if (stat(path.c_str(), &status) != 0) {
        return PathMissing;
    }
    return S_ISDIR(status.st_mode) ? PathFolder : PathOther;
}

bool IdentityOf(const std::string& path, FileId* id) {
    struct stat status;
    if (stat(path.c_str(), &status) != 0) {
        return false;
    }
    *id = FileId{static_cast<uint64_t>(status.st_dev), static_cast<uint64_t>(status.st_ino)};
    return true;
}

std::string SpoolFolder() {
    const char* folder = std::getenv("TMPDIR");
    return folder != nullptr && folder[0] != 0 ? folder : "/tmp";
}

FILE* CreateSpoolFile(const char* prefix, std::string* path, int* error) {
    // Exclusive and 0600 from the start (mkstemp).
    std::string pattern = SpoolFolder() + "/" + prefix + "XXXXXX";
    int descriptor = mkstemp(&pattern[0]);
    if (descriptor < 0) {
        *error = errno;
        return nullptr;
    }
    *path = pattern;
    HoldSpool(pattern);
    FILE* file = fdopen(descriptor, "wb");
    if (file == nullptr) {
        *error = errno;
        close(descriptor);
        RemoveFile(*path);
    }
    return file;
}

void RemoveFile(const std::string& path) {
    std::remove(path.c_str());
    for (int i = 0; i < kSpoolSlots; ++i) {
        if (spoolState[i].load() == 2 && path == spoolPaths[i]) {
            spoolState[i].store(0);
            return;
        }
    }
}

bool IsTerminal(FILE* stream) { return isatty(fileno(stream)) != 0; }

std::vector<std::string> NamesIn(const std::string& folder) {
    std::vector<std::string> names;
    DIR* listing = opendir(folder.c_str());
    if (listing == nullptr) {
        return names;
    }
    int descriptor = dirfd(listing);
    while (const dirent* entry = readdir(listing)) {
        struct stat status;
        // Links are no file of ours: never counted, never removed.
        if (fstatat(descriptor, entry->d_name, &status, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(status.st_mode)) {
            names.push_back(entry->d_name);
        }
    }
    closedir(listing);
    return names;
}

}  // namespace quenvale_host
