// Paths on Windows: the ANSI code page for the texts the call prints, and
// the input opened with the wide path itself.
#include <windows.h>

#include "base/path_text.h"

namespace quenvale {

size_t PathBytesPerUnit() { return 2; }  // the most a code page gives per unit

bool EncodePathText(const char16_t* path, char* text, size_t capacity) {
    return WideCharToMultiByte(CP_ACP, 0, reinterpret_cast<LPCWCH>(path), -1, text, static_cast<int>(capacity),
                               nullptr, nullptr) != 0;
}

FILE* OpenInputPath(const char16_t* widePath, const char* convertedPath) {
    (void)convertedPath;
    return widePath == nullptr ? nullptr : _wfopen(reinterpret_cast<const wchar_t*>(widePath), L"rb");
}

}  // namespace quenvale
