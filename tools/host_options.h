// The host's command line: its options, their checks, and the texts of
// --help and --version.
#ifndef QUENVALE_HOST_OPTIONS_H
#define QUENVALE_HOST_OPTIONS_H

#include <string>
#include <vector>

#include "filter_table.h"
#include "host_formats.h"
#include "flatten.h"
#include "pipeline.h"

namespace quenvale_host {

struct Options {
    const quenvale::NamedFilter* filter = nullptr;  // null: the flatten
    quenvale::CallOptions call{false, quenvale::kColorTolerance};
    bool filterGiven = false;
    bool toleranceGiven = false;
    bool quiet = false;    // no progress either
    bool verbose = false;  // the library's own text
    bool inPlace = false;
    const char* outputDir = nullptr;
    const char* output = nullptr;  // -o
    FileFormat format = FormatNone;  // --format: none, by the output's name
    std::vector<const char*> paths;
};

// Fills options from the arguments; returns -1 to go on, or the exit status
// (0 after --help or --version, 2 after a usage error, reported).
int ParseArguments(int argc, char** argv, Options* options);
// One line on standard error with the hint to --help; returns 2.
int UsageError(const std::string& message);

}  // namespace quenvale_host

#endif
