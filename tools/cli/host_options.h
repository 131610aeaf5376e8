// The host's command line: its options, their checks, and the texts of
// --help and --version.
#ifndef QUENVALE_HOST_OPTIONS_H
#define QUENVALE_HOST_OPTIONS_H

#include <cstdint>
#include <string>
#include <vector>

#include "app/job.h"

namespace quenvale_host {

// The command line: a job's options (job.h), and the paths and batch
// settings that make its jobs.
struct Options : JobOptions {
    bool quiet = false;    // no progress either
    bool inPlace = false;
    const char* outputDir = nullptr;
    const char* output = nullptr;  // -o
    uint64_t jobs = 0;  // --jobs: a batch's files at once; 0 for the number of cores
    std::vector<const char*> paths;
    std::vector<uint32_t> remapColors;  // --remap's file, read before any job (remap points here)
    std::vector<uint32_t> pinColors;    // --pin's, as remap's
    bool delayGiven = false;
};

// Whether the command line makes an animation: --shared-palette, and -o
// naming a GIF (by --format or its name), whose frames are the INPUTs.
bool IsAnimation(const Options& options);

// Fills options from the arguments; returns -1 to go on, or the exit status
// (0 after --help or --version, 2 after a usage error, reported).
int ParseArguments(int argc, char** argv, Options* options);
// A usage error; returns 2. Defined by the program, as ReportFailure is:
// the host prints one line on standard error with the hint to --help.
int UsageError(const std::string& message);

}  // namespace quenvale_host

#endif
