// Console text: the library's messages and counter lines, on standard
// output unless the host sends them elsewhere, or nowhere.
#ifndef QUENVALE_CONSOLE_H
#define QUENVALE_CONSOLE_H

#include <cstdio>

namespace quenvale {

void PrintText(const char* text);
// Another stream for the text, or nowhere for a null one.
void SetConsoleStream(FILE* stream);
FILE* ConsoleStream();
// Whether the last text printed left its line open.
bool ConsoleLineOpen();

}  // namespace quenvale

#endif
