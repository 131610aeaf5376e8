// The one runner of a job, whichever face built it: standard input and
// output through spool files, since the call takes paths of regular files,
// around the call on a file of any format the host reads.
#include "app/job.h"

#include <cstdio>

#include "app/host.h"
#include "app/host_call.h"
#include "codecs/picture.h"

namespace quenvale_host {

namespace {

// The job this thread runs, whose failures ReportFailure records, and the
// flag that asks it to stop.
thread_local JobOutcome* running = nullptr;
thread_local const std::atomic<bool>* cancelFlag = nullptr;

bool RunOnFiles(const JobOptions& options, const JobPaths& paths, FileFormat planned);

}  // namespace

void ReportFailure(quenvale::Status status, const std::string& path, const std::string& reason, int systemError) {
    if (running != nullptr) {
        running->errors.push_back(JobError{status, path, reason, systemError});
    }
}

void ReportFailure(const std::string& path, const PictureError& error) {
    ReportFailure(error.status, path, error.reason);
}

void ReportWarning(const std::string& path, const std::string& text) {
    if (running != nullptr) {
        running->warnings.push_back(JobError{quenvale::StatusOk, path, text, 0});
    }
}

void WatchCancel(const std::atomic<bool>* flag) { cancelFlag = flag; }

bool StopAsked(const std::string& input) {
    if (cancelFlag == nullptr || !cancelFlag->load()) {
        return false;
    }
    ReportFailure(quenvale::StatusInterrupted, input, "interrupted");
    return true;
}

bool WritesExtras(const JobOptions& options) {
    return options.palette != nullptr || options.paletteDir != nullptr || options.layersDir != nullptr;
}

bool WriteThroughSpool(const std::string& output, const std::function<bool(const std::string&)>& write) {
    std::string outputFile = output;
    int error = 0;
    FILE* spool = output == "-" ? CreateSpoolFile("quenvale-stdout-", &outputFile, &error) : nullptr;
    if (output == "-" && spool == nullptr) {
        ReportFailure(quenvale::StatusOutputOpenFailed, output,
                      "could not make a temporary file in " + SpoolFolder() + ": " + ErrorText(error), error);
        return false;
    }
    if (spool != nullptr) {
        std::fclose(spool);  // the writer replaces it by name
    }
    bool written = write(outputFile);
    if (written && output == "-" && !CopyToStandardOutput(outputFile, &error)) {
        ReportFailure(quenvale::StatusOutputWriteFailed, output, ErrorText(error), error);
        written = false;
    }
    if (output == "-") {
        RemoveFile(outputFile);
    }
    return written;
}

JobOutcome RunRecorded(const std::function<bool()>& step) {
    JobOutcome outcome{false, {}, {}};
    JobOutcome* outer = running;
    running = &outcome;
    outcome.written = step();
    running = outer;
    return outcome;
}

JobOutcome RunJob(const JobOptions& options, const JobPaths& paths, FileFormat planned) {
    JobOutcome outcome{false, {}, {}};
    JobOutcome* outer = running;
    running = &outcome;
    outcome.written = RunOnFiles(options, paths, planned);
    running = outer;
    if (outcome.written) {
        outcome.errors.clear();
    } else if (outcome.errors.empty()) {
        // Every failing path reports; this guards a face against an empty list.
        outcome.errors.push_back(JobError{quenvale::StatusOk, paths.input, "failed, for a reason not recorded", 0});
    }
    return outcome;
}

namespace {

bool RunOnFiles(const JobOptions& options, const JobPaths& paths, FileFormat planned) {
    const std::string& input = paths.input;
    const std::string& output = paths.output;
    std::string inputFile = input;
    int error = 0;
    if (input == "-" && !SpoolStandardInput(&inputFile, &error)) {
        ReportFailure(quenvale::StatusInputReadFailed, input, "could not take standard input into a temporary file in " + SpoolFolder() + ": " +
                                 ErrorText(error),
                      error);
        return false;
    }
    bool written = WriteThroughSpool(output, [&](const std::string& outputFile) {
        return CallAnyFormat(options, planned, inputFile, outputFile, input, output);
    });
    if (input == "-") {
        RemoveFile(inputFile);
    }
    return written;
}

}  // namespace

}  // namespace quenvale_host
