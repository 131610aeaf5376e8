// quenvale: runs the library's filters on bitmap files, one pair of paths,
// a batch into a folder or in place, or a pipe from standard input to
// standard output. Quiet on success; failures go to standard error, one
// line each, naming the file as given and the reason.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <tuple>
#include <vector>

#include "app/host.h"
#include "app/host_call.h"
#include "app/host_formats.h"
#include "app/job.h"
#include "app/output_set.h"
#include "app/shared_palette.h"
#include "call/entry.h"
#include "cli/host_options.h"
#include "quenvale.h"

namespace {

bool progressLineOpen = false;  // a batch's progress is showing on the terminal

void ClearProgress() {
    if (progressLineOpen) {
        std::fprintf(stderr, "\r\033[K");
        progressLineOpen = false;
    }
}

// A job's failures as lines: "quenvale: PATH: REASON", escaped.
std::string FailureLines(const quenvale_host::JobOutcome& outcome) {
    std::string lines;
    for (const quenvale_host::JobError& error : outcome.errors) {
        lines += "quenvale: " + quenvale_host::Printable(error.path) + ": " + quenvale_host::Printable(error.reason) +
                 "\n";
    }
    return lines;
}

// A job's warnings (unless -q) and failures as lines: "quenvale: PATH:
// warning: TEXT", then its failures.
std::string OutcomeLines(const quenvale_host::Options& options, const quenvale_host::JobOutcome& outcome) {
    std::string lines;
    for (const quenvale_host::JobError& warning : outcome.warnings) {
        lines += options.quiet ? "" : "quenvale: " + quenvale_host::Printable(warning.path) + ": warning: " +
                                          quenvale_host::Printable(warning.reason) + "\n";
    }
    return lines + FailureLines(outcome);
}

// A job run, its warnings and failures printed on standard error after the
// library's own text; true when its output was written.
bool RunAndReport(const quenvale_host::Options& options, const quenvale_host::JobPaths& paths,
                  quenvale_host::FileFormat planned) {
    quenvale_host::JobOutcome outcome = quenvale_host::RunJob(options, paths, planned);
    std::string lines = OutcomeLines(options, outcome);
    if (!lines.empty()) {
        std::fflush(stdout);
        ClearProgress();
        std::fputs(lines.c_str(), stderr);
    }
    return outcome.written;
}

}  // namespace

namespace quenvale_host {

int UsageError(const std::string& message) {
    std::fprintf(stderr, "quenvale: %s (see quenvale --help)\n", Printable(message).c_str());
    return 2;
}

}  // namespace quenvale_host

namespace {

using quenvale_host::ErrorText;
using quenvale_host::FileFormat;
using quenvale_host::Identity;
using quenvale_host::NameKey;
using quenvale_host::Options;
using quenvale_host::UsageError;

// Files done of all and the current name, on standard error when it is a
// terminal: one line that is rewritten, or a line per file when the
// library's text shares the terminal.
void ShowProgress(bool lineEach, size_t done, size_t total, const std::string& name) {
    ClearProgress();
    std::fprintf(stderr, "[%zu/%zu] %s%s", done + 1, total, quenvale_host::Printable(name).c_str(),
                 lineEach ? "\n" : "");
    progressLineOpen = !lineEach;
    std::fflush(stderr);
}

// A batch refused before any work: one line, exit status 2.
int RefuseBatch(const std::string& message) {
    std::fprintf(stderr, "quenvale: %s\n", quenvale_host::Printable(message).c_str());
    return 2;
}

// An input's output format in a batch: --format, or the input's own (PNG
// for a JPEG); *changed when it is not the input's. In place, the format
// cannot change. Returns -1 to go on, or the exit status.
int PlanFormat(const Options& options, const std::string& input, FileFormat* format, bool* changed) {
    std::string unused;
    FileFormat from = quenvale_host::SniffFormat(input, &unused);
    *format = quenvale_host::ChooseOutputFormat(options.format, from, "-", &unused);
    *changed = *format != from;
    if (options.inPlace && *changed) {
        return RefuseBatch(input + ": --in-place keeps each file's format, and this " + quenvale_host::FormatName(from) +
                           " would become " + quenvale_host::FormatName(*format) + "; use --output-dir");
    }
    return -1;
}

// Each input's output, checked before any work: the folder exists and is no
// input's own (that is --in-place), and no two inputs write one output. An
// output whose format changes takes the new extension. Returns -1 to go on,
// or the exit status.
int PlanBatch(const Options& options, std::vector<std::string>* outputs, std::vector<FileFormat>* formats) {
    NameKey folder;
    if (options.outputDir != nullptr) {
        std::string dir = options.outputDir;
        quenvale_host::PathKind kind = quenvale_host::KindOfPath(dir);
        if (kind != quenvale_host::PathFolder) {
            return RefuseBatch(dir + (kind == quenvale_host::PathMissing
                                          ? ": no such folder for --output-dir; make it first (mkdir -p)"
                                          : ": not a folder, as --output-dir needs"));
        }
        folder = Identity(dir);
    }
    std::map<NameKey, std::string> written;  // output to its input
    // An output that is already an input, by a link or another name of the
    // same file, would replace it before its turn.
    std::map<NameKey, std::string> inputs;
    for (const char* path : options.paths) {
        inputs.emplace(Identity(path), path);
    }
    for (const char* path : options.paths) {
        std::string input = path;
        std::string output = input;
        FileFormat format = quenvale_host::FormatNone;
        bool changed = false;
        int status = PlanFormat(options, input, &format, &changed);
        if (status >= 0) {
            return status;
        }
        if (options.outputDir != nullptr) {
            std::string name = quenvale_host::BaseName(input);
            if (changed) {
                name = quenvale_host::WithExtension(name, format);
            }
            output = std::string(options.outputDir) + "/" + name;
            std::string inputFolder = quenvale_host::FolderOf(input);
            if (Identity(inputFolder) == folder) {
                return RefuseBatch(input + ": its result would replace it in --output-dir " + options.outputDir +
                                   ", its own folder; --in-place does that");
            }
        }
        // Outputs in one folder differ by name; in place, by the file itself.
        NameKey key = options.outputDir != nullptr ? NameKey{0, 0, quenvale_host::BaseName(output)} : Identity(input);
        auto [at, fresh] = written.emplace(key, input);
        if (!fresh) {
            return RefuseBatch(at->second + " and " + input + " would both write " + output);
        }
        outputs->push_back(output);
        formats->push_back(format);
    }
    for (size_t i = 0; options.outputDir != nullptr && i < outputs->size(); ++i) {
        auto named = inputs.find(Identity((*outputs)[i]));
        if (named != inputs.end() && std::get<2>(named->first).empty()) {
            return RefuseBatch((*outputs)[i] + " is the input " + named->second +
                               " under another name (a link); the result of " + options.paths[i] +
                               " would replace it");
        }
    }
    return -1;
}

#if defined(QUENVALE_PICTURES)
// --shared-palette: the palette chosen over every input, and the jobs made
// to map onto it; false, reported, where an input cannot be read.
bool UseSharedPalette(Options* options, std::vector<uint32_t>* shared) {
    std::vector<std::string> inputs(options->paths.begin(), options->paths.end());
    quenvale_host::JobError error{};
    if (!quenvale_host::ChooseSharedPalette(*options, inputs, shared, &error)) {
        quenvale_host::JobOutcome outcome{false, {error}, {}};
        std::fputs(FailureLines(outcome).c_str(), stderr);
        return false;
    }
    if (options->palette != nullptr) {
        quenvale_host::JobOutcome written = quenvale_host::RunRecorded(
            [&] { return quenvale_host::WriteSharedPalette(*options, *shared, inputs.size()); });
        if (!written.written) {
            std::fputs(FailureLines(written).c_str(), stderr);
            return false;
        }
    }
    options->remap = shared;
    options->remapName = "the shared palette";
    options->colors = 0;
    options->pin = nullptr;
    options->palette = nullptr;  // written once, here
    return true;
}

// --shared-palette's --palette FILE: one file for the batch, which is no
// input's and no output's; "" where it may be written.
std::string CheckSharedPaletteFile(const Options& options, const std::vector<quenvale_host::JobPaths>& planned) {
    std::string palette = options.palette;
    if (palette == "-") {
        return "";
    }
    for (const quenvale_host::JobPaths& job : planned) {
        for (const std::string* path : {&job.input, &job.output}) {
            if (Identity(*path) == Identity(palette)) {
                return "the palette " + palette + " would replace " + *path;
            }
        }
    }
    Options alone = options;  // its folder and name, as a one-file job's palette
    alone.layersDir = nullptr;
    return quenvale_host::CheckOutputSet(alone, {planned.front()});
}

#else
// Without the picture codecs, --shared-palette is refused with the options.
bool UseSharedPalette(Options*, std::vector<uint32_t>*) { return false; }
std::string CheckSharedPaletteFile(const Options&, const std::vector<quenvale_host::JobPaths>&) { return ""; }
#endif

// The outputs' refusal ("" for none), then the shared palette's file
// checked, and where asked, the palette chosen into *mapped's remap.
// Returns -1 to go on, or the exit status.
int ShareAfterChecks(const Options& options, const std::vector<quenvale_host::JobPaths>& planned, std::string refusal,
                     Options* mapped, std::vector<uint32_t>* shared) {
    if (refusal.empty() && options.palette != nullptr) {
        refusal = CheckSharedPaletteFile(options, planned);
    }
    if (!refusal.empty()) {
        return RefuseBatch(refusal);
    }
    return options.sharedPalette && !UseSharedPalette(mapped, shared) ? 1 : -1;
}

#if defined(QUENVALE_PICTURES)
// The INPUTs as one animation's frames on their shared palette, written to
// -o; refused before any work where the output or the palette file would
// replace an input.
int RunFrames(const Options& options) {
    std::vector<quenvale_host::JobPaths> planned;
    Options each = options;
    each.palette = nullptr;
    std::string refusal;
    for (const char* input : options.paths) {
        planned.push_back({input, options.output});
        refusal = refusal.empty() ? quenvale_host::CheckOutputSet(each, {planned.back()}) : refusal;
    }
    std::vector<uint32_t> shared;
    Options mapped = options;
    int status = ShareAfterChecks(options, planned, refusal, &mapped, &shared);
    if (status >= 0) {
        return status;
    }
    std::string unused;
    FileFormat format = quenvale_host::ChooseOutputFormat(options.format, quenvale_host::FormatNone,
                                                          options.output, &unused);
    std::vector<std::string> inputs(options.paths.begin(), options.paths.end());
    quenvale_host::JobOutcome outcome = quenvale_host::RunAnimation(mapped, inputs, options.output, format);
    std::fputs(OutcomeLines(options, outcome).c_str(), stderr);
    return outcome.written ? 0 : 1;
}

#else
int RunFrames(const Options&) { return 2; }
#endif

// A batch: every file is tried, whatever the others give.
int RunBatch(const Options& options) {
    std::vector<std::string> outputs;
    std::vector<FileFormat> formats;
    int status = PlanBatch(options, &outputs, &formats);
    if (status >= 0) {
        return status;
    }
    std::vector<quenvale_host::JobPaths> planned;
    for (size_t i = 0; i < outputs.size(); ++i) {
        planned.push_back({options.paths[i], outputs[i]});
    }
    // The shared palette's one file is checked once, against every input and output.
    Options each = options;
    each.palette = nullptr;
    std::vector<uint32_t> shared;
    Options mapped = options;
    status = ShareAfterChecks(options, planned, quenvale_host::CheckOutputSet(each, planned), &mapped, &shared);
    if (status >= 0) {
        return status;
    }
    bool progress = !options.quiet && quenvale_host::IsTerminal(stderr);
    bool lineEach = options.verbose && quenvale_host::IsTerminal(stdout);
    size_t failed = 0;
    size_t total = options.paths.size();
    // The library's text (-v) is one stream, in the batch's order: one file at a time.
    size_t jobs = options.verbose ? 1 : options.jobs != 0 ? options.jobs : quenvale_host::CoreCount();
    if (jobs <= 1 || total <= 1) {
        for (size_t i = 0; i < total; ++i) {
            if (progress) {
                ShowProgress(lineEach, i, total, options.paths[i]);
            }
            failed += RunAndReport(mapped, planned[i], formats[i]) ? 0 : 1;
        }
    } else {
        // Files on threads; their lines and the progress in the batch's order.
        std::vector<std::string> reports(total);
        std::vector<char> written(total, 0);
        if (progress) {
            ShowProgress(false, 0, total, options.paths[0]);
        }
        // The pictures held at once stay within one picture's budget: a
        // job waits rather than take more.
        quenvale_host::ShareBatchPixels(options.maxPixels);
        quenvale_host::RunInOrder(
            total, jobs,
            [&](size_t i) {
                quenvale_host::JobOutcome outcome = quenvale_host::RunJob(mapped, planned[i], formats[i]);
                quenvale_host::ReleaseBatchPixels();
                written[i] = outcome.written ? 1 : 0;
                reports[i] = OutcomeLines(mapped, outcome);
            },
            [&](size_t i) {
                if (!reports[i].empty()) {
                    ClearProgress();
                    std::fputs(reports[i].c_str(), stderr);
                }
                failed += written[i] != 0 ? 0 : 1;
                if (progress && i + 1 < total) {
                    ShowProgress(false, i + 1, total, options.paths[i + 1]);
                }
            });
    }
    ClearProgress();
    if (failed > 0 && total > 1) {
        std::fprintf(stderr, "quenvale: %zu of %zu files failed\n", failed, total);
    }
    return failed > 0 ? 1 : 0;
}

}  // namespace

int quenvale_host::RunHost(int argc, char** argv) {
    Options options;
    int status = quenvale_host::ParseArguments(argc, argv, &options);
    if (status >= 0) {
        return status;
    }
    // Every path, from every option, before any work: a path cut at a bad
    // byte would name another file.
    std::u16string units;
    for (const char* path : options.paths) {
        if (!quenvale_host::DecodeUtf8(std::string(path), &units)) {
            return UsageError("a path is not valid UTF-8");
        }
    }
    for (const auto& [path, option] : {std::pair<const char*, const char*>{options.output, "-o"},
                                       {options.outputDir, "--output-dir"},
                                       {options.palette, "--palette"},
                                       {options.paletteDir, "--palette-dir"},
                                       {options.layersDir, "--layers"}}) {
        if (path != nullptr && !quenvale_host::DecodeUtf8(path, &units)) {
            return UsageError(std::string(option) + ": the path is not valid UTF-8");
        }
    }
    quenvale_host::RemoveTemporariesOnSignals();
    quenvale_host::KeepFreedMemory();
    if (options.inPlace || options.outputDir != nullptr) {
        return RunBatch(options);
    }
    if (quenvale_host::IsAnimation(options)) {
        return RunFrames(options);
    }
    const char* output = options.output != nullptr ? options.output : options.paths[1];
    quenvale_host::JobPaths job{options.paths[0], output};
    std::string refusal = quenvale_host::CheckOutputSet(options, {job});
    if (!refusal.empty()) {
        return RefuseBatch(refusal);
    }
    std::vector<uint32_t> shared;
    Options mapped = options;
    if (options.sharedPalette) {
        mapped.paths.resize(1);
        if (!UseSharedPalette(&mapped, &shared)) {
            return 1;
        }
    }
    return RunAndReport(mapped, job, quenvale_host::FormatNone) ? 0 : 1;
}
