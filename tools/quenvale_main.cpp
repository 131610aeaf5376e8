// quenvale: runs the library's filters on bitmap files.
#include <cstdio>
#include <cstring>
#include <string>

#include "entry.h"
#include "quenvale.h"

#if defined(_WIN32)
#include <windows.h>
#include <shellapi.h>
#endif

namespace {

const char kVersion[] = "quenvale 1.0.0.1";

void PrintUsage(FILE* stream) {
    std::fprintf(stream,
                 "usage: quenvale [--filter NAME] INPUT OUTPUT\n"
                 "       quenvale --help | --version\n"
                 "\n"
                 "Reads the uncompressed 24-bit BMP file INPUT, filters it and writes the\n"
                 "result to OUTPUT. Every byte of INPUT but its pixel rows is carried unchanged.\n"
                 "\n"
                 "filters:\n");
    for (size_t i = 0; i < quenvale::kNamedFilterCount; ++i) {
        std::fprintf(stream, "  %-10s %s%s\n", quenvale::kNamedFilters[i].name, quenvale::kNamedFilters[i].summary,
                     i == 0 ? " [default]" : "");
    }
    std::fprintf(stream,
                 "\n"
                 "exit status: 0 when the output was written, 1 when the library reported a\n"
                 "failure (named on standard error), 2 for a usage error.\n");
}

int UsageError(const char* message, const char* detail) {
    std::fprintf(stderr, "quenvale: %s%s\n", message, detail);
    PrintUsage(stderr);
    return 2;
}

// UTF-8 to UTF-16; false on a malformed sequence.
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

const char* ResultName(int32_t result) {
    switch (result) {
        case ResultPathTooShort: return "ResultPathTooShort";
        case ResultInputOpenFailed: return "ResultInputOpenFailed";
        case ResultInputInvalid: return "ResultInputInvalid";
        case ResultOutputOpenFailed: return "ResultOutputOpenFailed";
        case ResultOutputWriteFailed: return "ResultOutputWriteFailed";
        case ResultOutOfMemory: return "ResultOutOfMemory";
        case ResultDone: return "ResultDone";
        default: return "unknown result";
    }
}

int RunHost(int argc, char** argv) {
    const char* filterName = "flatten";
    const char* paths[2] = {nullptr, nullptr};
    int pathCount = 0;
    for (int i = 1; i < argc; ++i) {
        const char* argument = argv[i];
        if (std::strcmp(argument, "--help") == 0 || std::strcmp(argument, "-h") == 0) {
            PrintUsage(stdout);
            return 0;
        }
        if (std::strcmp(argument, "--version") == 0) {
            std::printf("%s\n", kVersion);
            return 0;
        }
        if (std::strcmp(argument, "--filter") == 0) {
            if (++i == argc) {
                return UsageError("--filter needs a name", "");
            }
            filterName = argv[i];
        } else if (std::strncmp(argument, "--filter=", 9) == 0) {
            filterName = argument + 9;
        } else if (argument[0] == '-' && argument[1] != 0 && std::strcmp(argument, "--") != 0) {
            return UsageError("unknown option ", argument);
        } else {
            if (std::strcmp(argument, "--") == 0 && ++i == argc) {
                break;
            }
            if (pathCount == 2) {
                return UsageError("too many arguments: ", argv[i]);
            }
            paths[pathCount++] = argv[i];
        }
    }
    const quenvale::NamedFilter* filter = quenvale::FindNamedFilter(filterName);
    if (filter == nullptr) {
        return UsageError("unknown filter ", filterName);
    }
    if (pathCount != 2) {
        return UsageError("expected INPUT and OUTPUT", "");
    }
    std::u16string input;
    std::u16string output;
    if (!DecodeUtf8(paths[0], &input) || !DecodeUtf8(paths[1], &output)) {
        return UsageError("a path is not valid UTF-8", "");
    }
    int32_t result = filter->filter == quenvale::FlattenColors
                         ? Quenvale(input.c_str(), output.c_str())
                         : quenvale::RunPipeline(input.c_str(), output.c_str(), *filter);
    // The library's messages end without a line feed; keep the prompt off them.
    if (quenvale::ConsoleLineOpen()) {
        std::fputs("\n", stdout);
    }
    std::fflush(stdout);
    if (result != ResultDone) {
        std::fprintf(stderr, "quenvale: %s (%d)\n", ResultName(result), static_cast<int>(result));
        return 1;
    }
    return 0;
}

}  // namespace

#if defined(_WIN32)
// The narrow argv of Windows is in the ANSI code page; take the wide one and
// carry it as UTF-8 to the shared parsing.
int main() {
    int argc = 0;
    wchar_t** wide = CommandLineToArgvW(GetCommandLineW(), &argc);
    if (wide == nullptr) {
        return 2;
    }
    std::string* storage = new std::string[argc];
    char** argv = new char*[argc + 1];
    for (int i = 0; i < argc; ++i) {
        int size = WideCharToMultiByte(CP_UTF8, 0, wide[i], -1, nullptr, 0, nullptr, nullptr);
        storage[i].assign(size > 0 ? size - 1 : 0, '\0');
        if (size > 1) {
            WideCharToMultiByte(CP_UTF8, 0, wide[i], -1, &storage[i][0], size, nullptr, nullptr);
        }
        argv[i] = &storage[i][0];
    }
    argv[argc] = nullptr;
    int status = RunHost(argc, argv);
    delete[] argv;
    delete[] storage;
    LocalFree(wide);
    return status;
}
#else
int main(int argc, char** argv) { return RunHost(argc, argv); }
#endif
