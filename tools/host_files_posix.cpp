// The host's files on POSIX: absolute paths from the working folder, spool
// files from mkstemp that a terminating signal removes.
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>

#include <sys/stat.h>
#include <unistd.h>

#include "host.h"

namespace quenvale_host {

namespace {

// Spool files to remove should a signal end the process mid-way: plain
// arrays, since the handler may touch nothing else.
constexpr int kSpoolSlots = 4;  // standard input and output, and a picture's two bitmaps
char spoolPaths[kSpoolSlots][4096];
volatile sig_atomic_t spoolHeld[kSpoolSlots];

void RemoveSpoolsAndEnd(int signalNumber) {
    for (int i = 0; i < kSpoolSlots; ++i) {
        if (spoolHeld[i] != 0) {
            unlink(spoolPaths[i]);
        }
    }
    signal(signalNumber, SIG_DFL);
    raise(signalNumber);
}

void HoldSpool(const std::string& path) {
    static bool handled = false;
    if (!handled) {
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
    for (int i = 0; i < kSpoolSlots; ++i) {
        if (spoolHeld[i] == 0 && path.size() < sizeof spoolPaths[i]) {
            std::memcpy(spoolPaths[i], path.c_str(), path.size() + 1);
            spoolHeld[i] = 1;
            return;
        }
    }
}

}  // namespace

const char kPathSeparators[] = "/";

FILE* OpenFile(const std::string& path, const char* mode) { return std::fopen(path.c_str(), mode); }

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

FILE* CreateSpoolFile(const char* prefix, std::string* path, int* error) {
    // Exclusive and 0600 from the start (mkstemp), in TMPDIR or /tmp.
    const char* folder = std::getenv("TMPDIR");
    std::string pattern = std::string(folder != nullptr && folder[0] != 0 ? folder : "/tmp") + "/" + prefix + "XXXXXX";
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
