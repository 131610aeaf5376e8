// The host's file work around the call: absolute paths, and standard input
// and output spooled through temporary files, since the call takes paths of
// regular files only.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "host.h"

#if defined(_WIN32)
#include <fcntl.h>
#include <io.h>
#include <windows.h>
#else
#include <unistd.h>

#include <csignal>
#endif

namespace quenvale_host {

namespace {

#if defined(_WIN32)
std::wstring Wide(const std::string& text) {
    std::u16string units;
    DecodeUtf8(text.c_str(), &units);
    return std::wstring(units.begin(), units.end());
}

std::string Narrow(const std::wstring& text) {
    int size = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, nullptr, 0, nullptr, nullptr);
    std::string bytes(size > 0 ? static_cast<size_t>(size) : 1, '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, &bytes[0], size, nullptr, nullptr);
    bytes.resize(bytes.size() - 1);
    return bytes;
}
#endif

FILE* OpenFile(const std::string& path, const char* mode) {
#if defined(_WIN32)
    return _wfopen(Wide(path).c_str(), mode[0] == 'r' ? L"rb" : L"wb");
#else
    return std::fopen(path.c_str(), mode);
#endif
}

bool CopyStream(FILE* from, FILE* to, int* error) {
    char buffer[64 * 1024];
    size_t count = 0;
    while ((count = std::fread(buffer, 1, sizeof buffer, from)) > 0) {
        if (std::fwrite(buffer, 1, count, to) != count) {
            *error = errno;
            return false;
        }
    }
    if (std::ferror(from)) {
        *error = errno;
        return false;
    }
    return true;
}

}  // namespace

bool DecodeUtf8(const char* text, std::u16string* units) {
    units->clear();
    const auto* bytes = reinterpret_cast<const unsigned char*>(text);
    while (*bytes != 0) {
        uint32_t lead = *bytes++;
        int extra = lead < 0x80 ? 0 : lead >= 0xC2 && lead < 0xE0 ? 1 : lead >= 0xE0 && lead < 0xF0 ? 2
                                       : lead >= 0xF0 && lead < 0xF5 ? 3 : -1;
        if (extra < 0) {
            return false;
        }
        uint32_t codePoint = extra == 0 ? lead : lead & (0x3F >> extra);
        for (int i = 0; i < extra; ++i) {
            if ((*bytes & 0xC0) != 0x80) {
                return false;
            }
            codePoint = codePoint << 6 | (*bytes++ & 0x3F);
        }
        static const uint32_t kSmallest[] = {0, 0x80, 0x800, 0x10000};
        if (codePoint < kSmallest[extra] || codePoint > 0x10FFFF || (codePoint >= 0xD800 && codePoint <= 0xDFFF)) {
            return false;
        }
        if (codePoint >= 0x10000) {
            codePoint -= 0x10000;
            units->push_back(static_cast<char16_t>(0xD800 + (codePoint >> 10)));
            units->push_back(static_cast<char16_t>(0xDC00 + (codePoint & 0x3FF)));
        } else {
            units->push_back(static_cast<char16_t>(codePoint));
        }
    }
    return true;
}

bool AbsolutePath(const std::string& path, size_t minimumBytes, std::u16string* absolute) {
    std::string full;
    size_t rootLength = 1;
#if defined(_WIN32)
    std::wstring wide = Wide(path);
    DWORD size = GetFullPathNameW(wide.c_str(), 0, nullptr, nullptr);
    if (size == 0) {
        return false;
    }
    std::wstring result(size, L'\0');
    size = GetFullPathNameW(wide.c_str(), size, &result[0], nullptr);
    result.resize(size);
    full = Narrow(result);
    rootLength = full.size() >= 3 && full[1] == ':' ? 3 : 1;
    const char* step = ".\\";
#else
    if (!path.empty() && path[0] == '/') {
        full = path;
    } else {
        char* directory = getcwd(nullptr, 0);
        if (directory == nullptr) {
            return false;
        }
        full = std::string(directory) + (directory[std::strlen(directory) - 1] == '/' ? "" : "/") + path;
        std::free(directory);
    }
    const char* step = "./";
#endif
    while (full.size() < minimumBytes) {
        full.insert(rootLength, step);
    }
    return DecodeUtf8(full.c_str(), absolute);
}

#if !defined(_WIN32)
namespace {

// Spool files to remove should a signal end the process mid-way: plain
// arrays, since the handler may touch nothing else.
constexpr int kSpoolSlots = 2;
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
#endif

FILE* CreateSpoolFile(const char* prefix, std::string* path, int* error) {
#if defined(_WIN32)
    wchar_t folder[MAX_PATH + 1];
    wchar_t name[MAX_PATH + 1];
    std::wstring widePrefix(prefix, prefix + std::strlen(prefix));
    if (GetTempPathW(MAX_PATH + 1, folder) == 0 || GetTempFileNameW(folder, widePrefix.c_str(), 0, name) == 0) {
        *error = EACCES;
        return nullptr;
    }
    *path = Narrow(name);
    FILE* file = _wfopen(name, L"wb");
#else
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
        close(descriptor);
    }
#endif
    if (file == nullptr) {
        *error = errno;
        RemoveFile(*path);
    }
    return file;
}

bool SpoolStandardInput(std::string* path, int* error) {
    FILE* file = CreateSpoolFile("quenvale-stdin-", path, error);
    if (file == nullptr) {
        return false;
    }
#if defined(_WIN32)
    _setmode(_fileno(stdin), _O_BINARY);
#endif
    bool copied = CopyStream(stdin, file, error);
    if (std::fclose(file) != 0 && copied) {
        *error = errno;
        copied = false;
    }
    if (!copied) {
        RemoveFile(*path);
    }
    return copied;
}

bool CopyToStandardOutput(const std::string& path, int* error) {
#if defined(_WIN32)
    _setmode(_fileno(stdout), _O_BINARY);
#endif
    FILE* file = OpenFile(path, "rb");
    if (file == nullptr) {
        *error = errno;
        return false;
    }
    bool copied = CopyStream(file, stdout, error);
    std::fclose(file);
    if (copied && std::fflush(stdout) != 0) {
        *error = errno;
        copied = false;
    }
    return copied;
}

void RemoveFile(const std::string& path) {
#if defined(_WIN32)
    _wremove(Wide(path).c_str());
#else
    std::remove(path.c_str());
    for (int i = 0; i < kSpoolSlots; ++i) {
        if (spoolHeld[i] != 0 && path == spoolPaths[i]) {
            spoolHeld[i] = 0;
        }
    }
#endif
}

std::string BaseName(const std::string& path) {
#if defined(_WIN32)
    const char* separators = "/\\";
#else
    const char* separators = "/";
#endif
    std::string trimmed = path;
    while (trimmed.size() > 1 && std::strchr(separators, trimmed.back()) != nullptr) {
        trimmed.pop_back();
    }
    size_t start = trimmed.find_last_of(separators);
    return start == std::string::npos ? trimmed : trimmed.substr(start + 1);
}

std::string ErrorText(int error) { return std::strerror(error); }

bool IsTerminal(FILE* stream) {
#if defined(_WIN32)
    return _isatty(_fileno(stream)) != 0;
#else
    return isatty(fileno(stream)) != 0;
#endif
}

}  // namespace quenvale_host
