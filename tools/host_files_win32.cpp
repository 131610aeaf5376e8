// The host's files on Windows: wide paths throughout, full paths from
// GetFullPathNameW, spool files from GetTempFileNameW.
#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include "host.h"

namespace quenvale_host {

namespace {

std::wstring Wide(const std::string& text) {
    std::u16string units;
    DecodeUtf8(text, &units);
    return std::wstring(units.begin(), units.end());
}

std::string Narrow(const std::wstring& text) {
    int size = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, nullptr, 0, nullptr, nullptr);
    std::string bytes(size > 0 ? static_cast<size_t>(size) : 1, '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, &bytes[0], size, nullptr, nullptr);
    bytes.resize(bytes.size() - 1);
    return bytes;
}

}  // namespace

const char kPathSeparators[] = "/\\";

FILE* OpenFile(const std::string& path, const char* mode) {
    return _wfopen(Wide(path).c_str(), mode[0] == 'r' ? L"rb" : L"wb");
}

void MakeBinary(FILE* stream) { _setmode(_fileno(stream), _O_BINARY); }

bool AbsolutePath(const std::string& path, size_t minimumBytes, std::u16string* absolute) {
    std::wstring wide = Wide(path);
    DWORD size = GetFullPathNameW(wide.c_str(), 0, nullptr, nullptr);
    if (size == 0) {
        return false;
    }
    std::wstring result(size, L'\0');
    size = GetFullPathNameW(wide.c_str(), size, &result[0], nullptr);
    result.resize(size);
    std::string full = Narrow(result);
    size_t rootLength = full.size() >= 3 && full[1] == ':' ? 3 : 1;
    while (full.size() < minimumBytes) {
        full.insert(rootLength, ".\\");
    }
    return DecodeUtf8(full, absolute);
}

FILE* CreateSpoolFile(const char* prefix, std::string* path, int* error) {
    wchar_t folder[MAX_PATH + 1];
    wchar_t name[MAX_PATH + 1];
    std::wstring widePrefix(prefix, prefix + std::strlen(prefix));
    if (GetTempPathW(MAX_PATH + 1, folder) == 0 || GetTempFileNameW(folder, widePrefix.c_str(), 0, name) == 0) {
        *error = EACCES;
        return nullptr;
    }
    *path = Narrow(name);
    FILE* file = _wfopen(name, L"wb");
    if (file == nullptr) {
        *error = errno;
        RemoveFile(*path);
    }
    return file;
}

void RemoveFile(const std::string& path) { _wremove(Wide(path).c_str()); }

bool IsTerminal(FILE* stream) { return _isatty(_fileno(stream)) != 0; }

}  // namespace quenvale_host
