// The host's files on Windows: wide paths throughout, full paths from
// GetFullPathNameW, spool files from GetTempFileNameW.
#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include "app/host.h"
#include "base/output_file.h"

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

// A console's Ctrl+C ends the process at once on Windows, where no handler
// of this host runs; a temporary left is recognisable by its name.
void RemoveTemporariesOnSignals(bool) {}

void KeepFreedMemory() {}

FILE* OpenFile(const std::string& path, const char* mode) {
    return _wfopen(Wide(path).c_str(), mode[0] == 'r' ? L"rb" : L"wb");
}

void MakeBinary(FILE* stream) { _setmode(_fileno(stream), _O_BINARY); }

const char kPathStep[] = ".\\";

size_t RootLength(const std::string& path) {
    if (path.size() >= 3 && path[1] == ':' && (path[2] == '\\' || path[2] == '/')) {
        return 3;
    }
    return !path.empty() && (path[0] == '\\' || path[0] == '/') ? 1 : 0;
}

// The ANSI code page gives at least a byte to each character.
size_t CallLength(const std::string& path) {
    size_t characters = 0;
    for (unsigned char byte : path) {
        characters += (byte & 0xC0) != 0x80 ? 1 : 0;
    }
    return characters;
}

PathKind KindOfPath(const std::string& path) {
    DWORD attributes = GetFileAttributesW(Wide(path).c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        return PathMissing;
    }
    return (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ? PathFolder : PathOther;
}

bool IdentityOf(const std::string& path, FileId* id) {
    // Backup semantics open folders too.
    HANDLE handle = CreateFileW(Wide(path).c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        return false;
    }
    BY_HANDLE_FILE_INFORMATION information;
    bool known = GetFileInformationByHandle(handle, &information) != 0;
    CloseHandle(handle);
    if (known) {
        *id = FileId{information.dwVolumeSerialNumber,
                     uint64_t{information.nFileIndexHigh} << 32 | information.nFileIndexLow};
    }
    return known;
}

std::string SpoolFolder() {
    wchar_t folder[MAX_PATH + 1];
    DWORD length = GetTempPathW(MAX_PATH + 1, folder);
    return length == 0 || length > MAX_PATH ? std::string("the temporary folder") : Narrow(folder);
}

FILE* CreateSpoolFile(const char* prefix, std::string* path, int* error) {
    wchar_t folder[MAX_PATH + 1];
    wchar_t name[MAX_PATH + 1];
    std::wstring widePrefix(prefix, prefix + std::strlen(prefix));
    if (GetTempPathW(MAX_PATH + 1, folder) == 0 || GetTempFileNameW(folder, widePrefix.c_str(), 0, name) == 0) {
        *error = quenvale::ErrnoOfCreateError(GetLastError());
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

std::vector<std::string> NamesIn(const std::string& folder) {
    std::vector<std::string> names;
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW(Wide(folder + "\\*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) {
        return names;
    }
    do {
        if ((found.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) == 0) {
            names.push_back(Narrow(found.cFileName));
        }
    } while (FindNextFileW(search, &found));
    FindClose(search);
    return names;
}

}  // namespace quenvale_host
