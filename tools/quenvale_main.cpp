// quenvale: runs the library's filters on bitmap files, one pair of paths,
// a batch into a folder or in place, or a pipe from standard input to
// standard output. Failures go to standard error, one line each, naming
// the file as given and the reason.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "entry.h"
#include "host.h"
#include "quenvale.h"

#if defined(_WIN32)
#include <windows.h>
#include <shellapi.h>
#endif

namespace {

using quenvale_host::ErrorText;

const char kVersion[] = "quenvale 1.0.0.1";

struct Options {
    const quenvale::NamedFilter* filter = nullptr;  // null: the flatten
    quenvale::CallOptions call{false, quenvale::kColorTolerance};
    bool filterGiven = false;
    bool toleranceGiven = false;
    bool quiet = false;
    bool inPlace = false;
    const char* outputDir = nullptr;
    std::vector<const char*> paths;
};

void PrintUsage(FILE* stream) {
    std::fprintf(stream,
                 "usage: quenvale [options] INPUT OUTPUT\n"
                 "       quenvale [options] --output-dir DIR INPUT...\n"
                 "       quenvale [options] --in-place INPUT...\n"
                 "       quenvale --help | --version\n"
                 "\n"
                 "Reads the BMP file INPUT, filters it and writes the result to OUTPUT,\n"
                 "carrying every byte of INPUT but its pixel values unchanged. An INPUT or\n"
                 "OUTPUT of - is standard input or output; a file named - is ./-.\n"
                 "\n"
                 "options:\n"
                 "  --filter NAME       the filter to run (below)\n"
                 "  --tolerance N       the flatten's reach per channel, 0 to 255 [20]\n"
                 "  --output-dir DIR    write each INPUT's result to DIR under its own name\n"
                 "  --in-place          replace each INPUT with its result\n"
                 "  --sync              make each result durable on disk before it replaces\n"
                 "                      the output\n"
                 "  -q, --quiet         print nothing on standard output\n"
                 "\n"
                 "filters:\n");
    for (size_t i = 0; i < quenvale::kNamedFilterCount; ++i) {
        std::fprintf(stream, "  %-10s %s%s\n", quenvale::kNamedFilters[i].name, quenvale::kNamedFilters[i].summary,
                     i == 0 ? " [default]" : "");
    }
    std::fprintf(stream,
                 "\n"
                 "Failures are named on standard error, one line each. Exit status: 0 when\n"
                 "every output was written, 1 when any file failed, 2 for a usage error.\n");
}

int UsageError(const std::string& message) {
    std::fprintf(stderr, "quenvale: %s (see quenvale --help)\n", message.c_str());
    return 2;
}

bool ParseTolerance(const char* text, int* tolerance) {
    char* end = nullptr;
    long value = std::strtol(text, &end, 10);
    if (text[0] < '0' || text[0] > '9' || *end != 0 || value > 255) {
        return false;
    }
    *tolerance = static_cast<int>(value);
    return true;
}

// The options a value follows.
bool TakesValue(const std::string& name) {
    return name == "--filter" || name == "--tolerance" || name == "--output-dir";
}

// Applies one option; returns -1 to go on, or the exit status.
int ApplyOption(const std::string& name, const char* value, Options* options) {
    if (name == "--help" || name == "-h") {
        PrintUsage(stdout);
        return 0;
    }
    if (name == "--version") {
        std::printf("%s\n", kVersion);
        return 0;
    }
    if (name == "--filter") {
        if (options->filterGiven) {
            return UsageError("--filter given twice");
        }
        options->filterGiven = true;
        options->filter = quenvale::FindNamedFilter(value);
        if (options->filter == nullptr) {
            return UsageError(std::string("unknown filter '") + value + "'; the filters are listed by --help");
        }
        if (options->filter->filter == quenvale::FlattenColors) {
            options->filter = nullptr;
        }
    } else if (name == "--tolerance") {
        if (!ParseTolerance(value, &options->call.tolerance)) {
            return UsageError(std::string("--tolerance takes a whole number from 0 to 255, not '") + value + "'");
        }
        options->toleranceGiven = true;
    } else if (name == "--output-dir") {
        options->outputDir = value;
    } else if (name == "--in-place") {
        options->inPlace = true;
    } else if (name == "--sync") {
        options->call.sync = true;
    } else if (name == "--quiet" || name == "-q") {
        options->quiet = true;
    } else {
        return UsageError("unknown option '" + name + "'");
    }
    return -1;
}

// The options that rule each other out, and the paths each form takes.
int CheckArguments(const Options& options) {
    if (options.toleranceGiven && options.filter != nullptr) {
        return UsageError("--tolerance is for the flatten filter only");
    }
    if (options.inPlace && options.outputDir != nullptr) {
        return UsageError("--in-place and --output-dir do not go together");
    }
    if (!options.inPlace && options.outputDir == nullptr) {
        return options.paths.size() == 2 ? -1
               : UsageError(options.paths.size() < 2 ? "expected INPUT and OUTPUT" : "too many arguments");
    }
    if (options.paths.empty()) {
        return UsageError("no INPUT given");
    }
    for (const char* path : options.paths) {
        if (std::strcmp(path, "-") == 0) {
            return UsageError("- names no file to write a batch's result beside; use ./- for a file named -");
        }
    }
    return -1;
}

// Fills options from the arguments; returns -1 to go on, or the exit status.
int ParseArguments(int argc, char** argv, Options* options) {
    bool optionsEnded = false;
    for (int i = 1; i < argc; ++i) {
        std::string argument = argv[i];
        if (optionsEnded || argument == "-" || argument.empty() || argument[0] != '-') {
            options->paths.push_back(argv[i]);
            continue;
        }
        if (argument == "--") {
            optionsEnded = true;
            continue;
        }
        // "--name=value" or "--name value" for the options that take one.
        std::string name = argument;
        const char* value = nullptr;
        size_t equals = argument.find('=');
        if (argument.compare(0, 2, "--") == 0 && equals != std::string::npos) {
            name = argument.substr(0, equals);
            value = argv[i] + equals + 1;
        }
        if (TakesValue(name) && value == nullptr) {
            if (++i == argc) {
                return UsageError(name + " needs a value");
            }
            value = argv[i];
        } else if (!TakesValue(name) && value != nullptr) {
            return UsageError(name + " takes no value");
        }
        int status = ApplyOption(name, value, options);
        if (status >= 0) {
            return status;
        }
    }
    return CheckArguments(*options);
}

bool progressLineOpen = false;  // a batch's progress is showing on the terminal

void ClearProgress() {
    if (progressLineOpen) {
        std::fprintf(stderr, "\r\033[K");
        progressLineOpen = false;
    }
}

// One failure, on its own line of standard error.
void ReportFailure(const std::string& path, const std::string& reason) {
    std::fflush(stdout);
    ClearProgress();
    std::fprintf(stderr, "quenvale: %s: %s\n", path.c_str(), reason.c_str());
}

// Which file a failed call concerns, and why: the system's text where a
// system call failed, else the reason from the library's own table.
void ReportCall(const quenvale::Failure& failure, const std::string& input, const std::string& output) {
    bool outputSide =
        failure.status == quenvale::StatusOutputOpenFailed || failure.status == quenvale::StatusOutputWriteFailed;
    char reason[quenvale::kReasonTextBytes];
    quenvale::FormatReason(failure, reason, sizeof reason);
    ReportFailure(outputSide ? output : input, failure.systemError != 0 ? ErrorText(failure.systemError) : reason);
}

// The call on files, with failures reported under the names the user gave;
// true when the output was written.
bool CallOnFiles(const Options& options, const std::string& inputFile, const std::string& outputFile,
                 const std::string& input, const std::string& output) {
    std::u16string wideInput;
    std::u16string wideOutput;
    if (!quenvale_host::AbsolutePath(inputFile, 10, &wideInput)) {
        ReportFailure(input, "no absolute form of the path: " + ErrorText(errno));
        return false;
    }
    if (!quenvale_host::AbsolutePath(outputFile, 0, &wideOutput)) {
        ReportFailure(output, "no absolute form of the path: " + ErrorText(errno));
        return false;
    }
    // When the image goes to standard output, the library's text does not.
    FILE* console = options.quiet ? nullptr : output == "-" ? stderr : stdout;
    quenvale::SetConsoleStream(console);
    quenvale::Failure failure{};
    int32_t result =
        quenvale::RunHostCall(wideInput.c_str(), wideOutput.c_str(), options.filter, options.call, &failure);
    if (console != nullptr) {
        // The library's messages end without a line feed; keep the prompt off them.
        if (quenvale::ConsoleLineOpen()) {
            std::fputs("\n", console);
        }
        std::fflush(console);
    }
    if (result != ResultDone) {
        ReportCall(failure, input, output);
    }
    return result == ResultDone;
}

// Runs the call on one input and output as the user gave them, through
// temporary files for standard input and output; true when the output was
// written.
bool RunOne(const Options& options, const std::string& input, const std::string& output) {
    std::string inputFile = input;
    std::string outputFile = output;
    int error = 0;
    if (input == "-" && !quenvale_host::SpoolStandardInput(&inputFile, &error)) {
        ReportFailure(input, "could not take standard input: " + ErrorText(error));
        return false;
    }
    bool written = false;
    FILE* spool = output == "-" ? quenvale_host::CreateSpoolFile("quenvale-stdout-", &outputFile, &error) : nullptr;
    if (output == "-" && spool == nullptr) {
        ReportFailure(output, "could not make a temporary file: " + ErrorText(error));
    } else {
        if (spool != nullptr) {
            std::fclose(spool);  // the call replaces it by name
        }
        written = CallOnFiles(options, inputFile, outputFile, input, output);
        if (written && output == "-" && !quenvale_host::CopyToStandardOutput(outputFile, &error)) {
            ReportFailure(output, ErrorText(error));
            written = false;
        }
        if (output == "-") {
            quenvale_host::RemoveFile(outputFile);
        }
    }
    if (input == "-") {
        quenvale_host::RemoveFile(inputFile);
    }
    return written;
}

// Files done of all and the current name, on standard error when it is a
// terminal: one line that is rewritten, or a line per file when the
// library's text shares the terminal.
void ShowProgress(bool lineEach, size_t done, size_t total, const std::string& name) {
    ClearProgress();
    std::fprintf(stderr, "[%zu/%zu] %s%s", done + 1, total, name.c_str(), lineEach ? "\n" : "");
    progressLineOpen = !lineEach;
    std::fflush(stderr);
}

int RunHost(int argc, char** argv) {
    Options options;
    int status = ParseArguments(argc, argv, &options);
    if (status >= 0) {
        return status;
    }
    for (const char* path : options.paths) {
        std::u16string units;
        if (!quenvale_host::DecodeUtf8(std::string(path), &units)) {
            return UsageError("a path is not valid UTF-8");
        }
    }
    if (!options.inPlace && options.outputDir == nullptr) {
        return RunOne(options, options.paths[0], options.paths[1]) ? 0 : 1;
    }
    // A batch: every file is tried, whatever the others give.
    bool progress = quenvale_host::IsTerminal(stderr);
    bool lineEach = !options.quiet && quenvale_host::IsTerminal(stdout);
    size_t failed = 0;
    size_t total = options.paths.size();
    for (size_t i = 0; i < total; ++i) {
        std::string input = options.paths[i];
        std::string output =
            options.inPlace ? input : std::string(options.outputDir) + "/" + quenvale_host::BaseName(input);
        if (progress) {
            ShowProgress(lineEach, i, total, input);
        }
        failed += RunOne(options, input, output) ? 0 : 1;
    }
    ClearProgress();
    if (failed > 0 && total > 1) {
        std::fprintf(stderr, "quenvale: %zu of %zu files failed\n", failed, total);
    }
    return failed > 0 ? 1 : 0;
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
    return RunHost(argc, argv.data());
}
#else
int main(int argc, char** argv) { return RunHost(argc, argv); }
#endif
