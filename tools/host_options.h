// The host's command line: its options, their checks, and the texts of
// --help and --version.
#ifndef QUENVALE_HOST_OPTIONS_H
#define QUENVALE_HOST_OPTIONS_H

#include <cstdint>
#include <string>
#include <vector>

#include "filter_table.h"
#include "host_formats.h"
#include "flatten.h"
#include "pipeline.h"

namespace quenvale_host {

// The pixels a picture held in memory may have unless --max-pixels says
// otherwise: Pillow's DecompressionBombError threshold (twice its
// MAX_IMAGE_PIXELS, 1 GiB / 4 / 3), so that a file Pillow opens opens
// here too; about 13,400 x 13,400, 680 MiB as 8-bit RGBA.
constexpr uint64_t kDefaultMaxPixels = 178956970;
// The most files a batch runs at once.
constexpr uint64_t kMaxJobs = 64;
// The most colours --colors asks for.
constexpr uint64_t kMaxColors = 65536;

struct Options {
    const quenvale::NamedFilter* filter = nullptr;  // null: the flatten
    quenvale::CallOptions call{false, quenvale::kColorTolerance};
    bool filterGiven = false;
    bool toleranceGiven = false;
    bool quiet = false;    // no progress either
    bool verbose = false;  // the library's own text
    bool inPlace = false;
    bool keepEncoding = false;  // a PNG written in its source's encoding, not the smallest
    const char* outputDir = nullptr;
    const char* output = nullptr;  // -o
    FileFormat format = FormatNone;  // --format: none, by the output's name
    uint64_t colors = 0;  // --colors: the flatten's tolerance chosen for at most this many; 0 when not given
    const char* palette = nullptr;     // --palette: the flatten's palette to this file, or - for standard output
    const char* paletteDir = nullptr;  // --palette-dir: each input's palette to this folder
    const char* paletteFormat = nullptr;  // --palette-format: gpl, json or txt, where no name tells
    const char* layersDir = nullptr;  // --layers: a 1-bit mask per palette entry, to this folder
    bool meanFill = false;  // --fill mean: each group takes its mean colour, not its founder's
    uint64_t maxPixels = kDefaultMaxPixels;
    uint64_t jobs = 0;  // --jobs: a batch's files at once; 0 for the number of cores
    std::vector<const char*> paths;
};

// Fills options from the arguments; returns -1 to go on, or the exit status
// (0 after --help or --version, 2 after a usage error, reported).
int ParseArguments(int argc, char** argv, Options* options);
// A usage error; returns 2. Defined by the program, as ReportFailure is:
// the host prints one line on standard error with the hint to --help.
int UsageError(const std::string& message);

}  // namespace quenvale_host

#endif
