// Console text: the library's messages and counter lines, on standard
// output unless the host sends them elsewhere, or nowhere.
#ifndef QUENVALE_CONSOLE_H
#define QUENVALE_CONSOLE_H

#include <cstdio>

namespace quenvale {

void PrintText(const char* text);
// A text that begins a line of its own where the host asked for line ends
// (SetConsoleEndsLines); as PrintText otherwise, as the exported call prints.
void PrintLine(const char* text);
// For a terminal: a message left without its line end is ended before the
// next line, so that a counter line does not run on from it.
void SetConsoleEndsLines(bool ends);
// Another stream for the text, or nowhere for a null one.
void SetConsoleStream(FILE* stream);
FILE* ConsoleStream();
// Whether the last text printed left its line open.
bool ConsoleLineOpen();

}  // namespace quenvale

#endif
