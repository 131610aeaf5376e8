// The host's entry on Windows: the narrow argv there is in the ANSI code
// page, so the wide command line is taken and carried as UTF-8 to the
// shared parsing.
#include <string>
#include <vector>

#include <windows.h>
#include <shellapi.h>

#include "app/host.h"

int main() {
    int argc = 0;
    wchar_t** wide = CommandLineToArgvW(GetCommandLineW(), &argc);
    if (wide == nullptr) {
        return 2;
    }
    std::vector<std::string> storage(static_cast<size_t>(argc));
    std::vector<char*> argv(static_cast<size_t>(argc) + 1, nullptr);
    for (int i = 0; i < argc; ++i) {
        int size = WideCharToMultiByte(CP_UTF8, 0, wide[i], -1, nullptr, 0, nullptr, nullptr);
        storage[i].assign(size > 0 ? size - 1 : 0, '\0');
        if (size > 1) {
            WideCharToMultiByte(CP_UTF8, 0, wide[i], -1, &storage[i][0], size, nullptr, nullptr);
        }
        argv[i] = &storage[i][0];
    }
    LocalFree(wide);
    return quenvale_host::RunHost(argc, argv.data());
}
