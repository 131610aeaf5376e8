// A job: one input, the output it becomes, the files written beside it,
// and what is done to it; and the one runner that every face calls. The
// command line parses into jobs (host_options.h, quenvale_main.cpp), and
// the Python module builds them from its arguments: neither runs the
// other's command line.
#ifndef QUENVALE_JOB_H
#define QUENVALE_JOB_H

#include <atomic>
#include <functional>
#include <cstdint>
#include <string>
#include <vector>

#include "app/host_formats.h"
#include "codecs/picture.h"
#include "call/pipeline.h"
#include "ops/filter_table.h"
#include "ops/flatten.h"

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

// What a job does and writes. The strings are the caller's, alive for the
// job's run.
struct JobOptions {
    const quenvale::NamedFilter* filter = nullptr;  // null: the flatten
    quenvale::CallOptions call{false, quenvale::kColorTolerance};
    bool filterGiven = false;
    bool toleranceGiven = false;
    bool verbose = false;  // the library's own text
    bool keepEncoding = false;  // a PNG written in its source's encoding, not the smallest
    FileFormat format = FormatNone;  // the output's: none, by the output's name
    uint64_t colors = 0;  // at most this many colours (the chooser, or first-fit's tolerance); 0 when not asked
    const char* palette = nullptr;     // the flatten's palette to this file, or - for standard output
    const char* paletteDir = nullptr;  // each input's palette to this folder
    const char* paletteFormat = nullptr;  // gpl, json or txt, where no name tells
    const char* layersDir = nullptr;  // a 1-bit mask per palette entry, to this folder
    bool meanFill = false;  // each group takes its mean colour, not its founder's
    bool firstFit = false;  // --colors by the first-fit flatten at the tolerance that fits, not the chooser
    const std::vector<uint32_t>* remap = nullptr;  // every pixel to the nearest of these colours, 0xAARRGGBB
    const char* remapName = nullptr;               // the palette file they came from
    const std::vector<uint32_t>* pin = nullptr;    // with colors: these first, the chooser's after
    const char* pinName = nullptr;
    bool sharedPalette = false;  // one chooser's palette over all the inputs, each output mapped onto it
    PngEffort effort = EffortDefault;  // a PNG's compression: fast, the default, or max
    uint64_t minRegion = 0;  // regions of one colour smaller than this join a neighbour; 0 or 1: none
    uint32_t delay = 10;  // an animation's hundredths of a second a frame, 0 to 65535
    uint64_t maxPixels = kDefaultMaxPixels;
};

// One input and the output it becomes ("-": standard input or output).
struct JobPaths {
    std::string input;
    std::string output;
};

// A job's failure, the one shape every face takes it in: the file it
// concerns, named as the caller named it; the reason, in words; and the
// system's error number where a system call failed (0 where none did), for
// the face to map (Python to OSError, the command line to its exit).
struct JobError {
    quenvale::Status status;  // the engine's kind of failure, which a face maps to its own errors
    std::string path;
    std::string reason;
    int systemError;
};
struct JobOutcome {
    bool written;                  // the output is in place
    std::vector<JobError> errors;  // in the order they arose; none where written
    std::vector<JobError> warnings;  // what was left out on the way (an animation's later frames)
};

// Runs one job whose outputs were checked as a set (output_set.h): standard
// input and output go through spool files; the output is written in the
// format planned, or where none is, the one the options and its name
// choose. Nothing is printed but the library's own text where asked (-v).
JobOutcome RunJob(const JobOptions& options, const JobPaths& paths, FileFormat planned = FormatNone);

// The inputs as the frames of one animation in format (a GIF), each mapped
// onto options.remap (the shared palette, at most 256 colours), written to
// output ("-": standard output) once every frame has been; run as a job,
// its failures and warnings recorded on each frame's input.
JobOutcome RunAnimation(const JobOptions& options, const std::vector<std::string>& inputs, const std::string& output,
                        FileFormat format);
// write(outputFile) run on output, or where output is "-", on a spool file
// that is then copied to standard output and removed; false, reported,
// where the spool cannot be made or copied.
bool WriteThroughSpool(const std::string& output, const std::function<bool(const std::string&)>& write);

// A step outside a job (the batch's shared palette file) run with its
// failures recorded as a job's are: written is what the step returned.
JobOutcome RunRecorded(const std::function<bool()>& step);
// A job of this thread asked to stop (the Python module's Ctrl-C): the flag
// is looked at between a job's steps (before its encoding, between its
// layers, before anything replaces a file). Null, the default: never.
void WatchCancel(const std::atomic<bool>* flag);
// Whether the job running on this thread was asked to stop: then true,
// with its failure recorded, and the job stops there replacing nothing.
bool StopAsked(const std::string& input);
// Whether the job writes a palette or layers beside its output.
// Whether --colors runs the palette chooser: not with --first-fit, nor with
// the mean fill, which groups as first-fit does.
inline bool ChoosesPalette(uint64_t colors, bool firstFit, bool meanFill) {
    return colors != 0 && !firstFit && !meanFill;
}
inline bool ChoosesPalette(const JobOptions& options) {
    return ChoosesPalette(options.colors, options.firstFit, options.meanFill);
}
bool WritesExtras(const JobOptions& options);
// Whether the flatten asked is one that only a picture held in memory
// takes (the library's call does none of them): the mean fill, the
// chooser, the remap, speck removal.
inline bool HeldOnly(const JobOptions& options) {
    return options.meanFill || ChoosesPalette(options) || options.remap != nullptr || options.minRegion > 1;
}

}  // namespace quenvale_host

#endif
