// Console text. The library's messages carry no line end of their own, so
// it remembers whether its last text left a line open for the host to end.
#include <cstring>

#include "bitmap.h"

namespace quenvale {

namespace {
bool lineOpen = false;
}

void PrintText(const char* text) {
    size_t length = std::strlen(text);
    if (length == 0) {
        return;
    }
    std::fwrite(text, 1, length, stdout);
    lineOpen = text[length - 1] != '\n';
}

bool ConsoleLineOpen() { return lineOpen; }

}  // namespace quenvale
