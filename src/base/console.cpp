// Console text. The library's messages carry no line end of their own, so
// it remembers whether its last text left a line open for the host to end.
#include <cstring>

#include "base/console.h"

namespace quenvale {

namespace {
// A thread's own: a host that calls on several threads sets each one's.
thread_local bool lineOpen = false;
thread_local bool endsLines = false;
thread_local bool consoleSet = false;
thread_local FILE* console = nullptr;  // with consoleSet false: standard output
}

void SetConsoleStream(FILE* stream) {
    consoleSet = true;
    console = stream;
    lineOpen = false;
}

FILE* ConsoleStream() { return consoleSet ? console : stdout; }

void PrintText(const char* text) {
    size_t length = std::strlen(text);
    FILE* stream = ConsoleStream();
    if (length == 0 || stream == nullptr) {
        return;
    }
    std::fwrite(text, 1, length, stream);
    lineOpen = text[length - 1] != '\n';
}

void PrintLine(const char* text) {
    if (endsLines && lineOpen) {
        PrintText("\n");
    }
    PrintText(text);
}

void SetConsoleEndsLines(bool ends) { endsLines = ends; }

bool ConsoleLineOpen() { return lineOpen; }

}  // namespace quenvale
