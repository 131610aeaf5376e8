// The host's files on POSIX: absolute paths from the working folder, spool
// files from mkstemp that a terminating signal removes.
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>

#include <sys/stat.h>
#include <unistd.h>

#include "host.h"
#include "output_file.h"
#include "path_text.h"

namespace quenvale_host {

namespace {

// Spool files, and the output's temporary, to remove should a signal end
// the process mid-way: plain arrays, since the handler may touch nothing else.
constexpr int kSpoolSlots = 4;  // standard input and output, and a picture's two bitmaps
char spoolPaths[kSpoolSlots][4096];
volatile sig_atomic_t spoolHeld[kSpoolSlots];
char temporaryName[4096];
volatile sig_atomic_t temporaryFolder = -1;  // -1: no temporary held

void RemoveSpoolsAndEnd(int signalNumber) {
    for (int i = 0; i < kSpoolSlots; ++i) {
        if (spoolHeld[i] != 0) {
            unlink(spoolPaths[i]);
        }
    }
    if (temporaryFolder >= 0) {
        unlinkat(temporaryFolder, temporaryName, 0);
    }
    signal(signalNumber, SIG_DFL);
    raise(signalNumber);
}

void HandleSignals() {
    static bool handled = false;
    if (handled) {
        return;
    }
    handled = true;
    for (int signalNumber : {SIGINT, SIGTERM, SIGHUP, SIGPIPE}) {
        struct sigaction action {};
        // A signal the caller ignores (nohup) stays ignored.
        if (sigaction(signalNumber, nullptr, &action) == 0 && action.sa_handler != SIG_IGN) {
            action.sa_handler = RemoveSpoolsAndEnd;
            sigemptyset(&action.sa_mask);
            action.sa_flags = 0;
            sigaction(signalNumber, &action, nullptr);
        }
    }
}

void HoldSpool(const std::string& path) {
    HandleSignals();
    for (int i = 0; i < kSpoolSlots; ++i) {
        if (spoolHeld[i] == 0 && path.size() < sizeof spoolPaths[i]) {
            std::memcpy(spoolPaths[i], path.c_str(), path.size() + 1);
            spoolHeld[i] = 1;
            return;
        }
    }
}

// The library's output temporary, which it makes with these signals
// blocked; a name too long to hold is left to its own removal.
void HoldTemporary(int folder, const char* name) {
    size_t length = std::strlen(name);
    if (length < sizeof temporaryName) {
        std::memcpy(temporaryName, name, length + 1);
        temporaryFolder = folder;
    }
}

void ReleaseTemporary() { temporaryFolder = -1; }

}  // namespace

const char kPathSeparators[] = "/";

void RemoveTemporariesOnSignals() {
    HandleSignals();
    static const quenvale::TemporaryWatch kWatch{HoldTemporary, ReleaseTemporary};
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
        if (spoolHeld[i] != 0 && path == spoolPaths[i]) {
            spoolHeld[i] = 0;
        }
    }
}

bool IsTerminal(FILE* stream) { return isatty(fileno(stream)) != 0; }

}  // namespace quenvale_host
