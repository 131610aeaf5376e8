// The one runner of a job, whichever face built it: standard input and
// output through spool files, since the call takes paths of regular files,
// around the call on a file of any format the host reads.
#include "job.h"

#include <cstdio>

#include "host.h"
#include "host_call.h"

namespace quenvale_host {

bool RunJob(const JobOptions& options, const JobPaths& paths, FileFormat planned) {
    const std::string& input = paths.input;
    const std::string& output = paths.output;
    std::string inputFile = input;
    std::string outputFile = output;
    int error = 0;
    if (input == "-" && !SpoolStandardInput(&inputFile, &error)) {
        ReportFailure(input, "could not take standard input into a temporary file in " + SpoolFolder() + ": " +
                                 ErrorText(error),
                      error);
        return false;
    }
    bool written = false;
    FILE* spool = output == "-" ? CreateSpoolFile("quenvale-stdout-", &outputFile, &error) : nullptr;
    if (output == "-" && spool == nullptr) {
        ReportFailure(output, "could not make a temporary file in " + SpoolFolder() + ": " + ErrorText(error), error);
    } else {
        if (spool != nullptr) {
            std::fclose(spool);  // the call replaces it by name
        }
        written = CallAnyFormat(options, planned, inputFile, outputFile, input, output);
        if (written && output == "-" && !CopyToStandardOutput(outputFile, &error)) {
            ReportFailure(output, ErrorText(error), error);
            written = false;
        }
        if (output == "-") {
            RemoveFile(outputFile);
        }
    }
    if (input == "-") {
        RemoveFile(inputFile);
    }
    return written;
}

}  // namespace quenvale_host
