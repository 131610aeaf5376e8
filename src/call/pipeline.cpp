// One call: read the pixel data, filter, then write. Everything that can be
// refused is refused before the output is opened, and the output replaces
// its path only once complete, so input and output may name the same file.
//
// The filter works on the pixel data as the file stores it: the flatten on
// all of it at once, the kernels on a few rows at a time.
//
// Each step hands up a Failure; the result code and the console text are
// derived from it once, at the end.
#include <algorithm>
#include <cstring>

#include "base/output_file.h"
#include "base/path_text.h"
#include "bmp/bitmap.h"
#include "call/pipeline.h"
#include "ops/flatten.h"
#include "quenvale.h"

namespace quenvale {

namespace {

// Everything one call holds; released by ReleaseCall in a fixed order.
struct Call {
    char* inputText;
    char* outputText;
    FILE* input;
    BitmapFormat* format;
    const NamedFilter* filter;
    FilterJob job;  // set once the format is read
    uint64_t fileLength;
    OutputFile output;
    const CallOptions* options;
    Failure failure;
};

void ReleaseCall(Call& call) {
    AbandonOutput(call.output);
    ReleaseBytes(call.inputText);
    if (call.job.format != nullptr) {
        call.filter->release(call.job);
    }
    ReleaseBytes(call.format);
    if (call.input != nullptr) {
        std::fclose(call.input);
    }
    ReleaseBytes(call.outputText);
}

bool Fail(Call& call, Failure failure) {
    call.failure = failure;
    return false;
}

bool OutOfMemory(Call& call) { return Fail(call, FailWith(StatusOutOfMemory, ReasonNone)); }

// The exported call's message for a failure. It is printed before the
// call's releases, so their counter lines follow it.
void PrintFailure(const Call& call) { PrintCallFailure(call.failure, call.inputText, call.outputText); }

int32_t Finish(Call& call, Failure* report) {
    PrintFailure(call);
    ReleaseCall(call);
    if (report != nullptr) {
        *report = call.failure;
    }
    return ResultOf(call.failure.status);
}

bool TakeInputPath(Call& call, const char16_t* inputPath) {
    bool outOfMemory = false;
    call.inputText = ConvertPath(inputPath == nullptr ? u"" : inputPath, &outOfMemory);
    if (outOfMemory) {
        return OutOfMemory(call);
    }
    return std::strlen(call.inputText) >= 10 || Fail(call, FailWith(StatusPathTooShort, ReasonNone));
}

bool OpenInput(Call& call, const char16_t* inputPath) {
    call.input = OpenInputPath(inputPath, call.inputText);
    if (call.input == nullptr) {
        return Fail(call, FailWithErrno(StatusInputOpenFailed));
    }
    call.format = AllocateArrayOf<BitmapFormat>(1);
    if (call.format == nullptr) {
        return OutOfMemory(call);
    }
    return RegularFileLength(call.input, &call.fileLength) ||
           Fail(call, FailWith(StatusUnsupported, ReasonNotRegular));
}

// Reads the file's first bytes and decides whether the pixels can be read.
bool ReadFormat(Call& call) {
    uint8_t prefix[kFormatPrefixBytes];
    size_t length = static_cast<size_t>(std::min<uint64_t>(call.fileLength, sizeof prefix));
    if (!SeekFile(call.input, 0) || !ReadBytes(call.input, prefix, length)) {
        return Fail(call, FailWith(StatusInputReadFailed, ReasonReadError));
    }
    return ParseBitmapFormat(prefix, length, call.fileLength, call.format, &call.failure);
}

// The filter takes its storage and does what it can before the output is
// opened, so that a filter that runs out of memory leaves the output as it was.
bool PrepareFilter(Call& call) {
    call.job.format = call.format;
    call.job.input = call.input;
    call.job.fileLength = call.fileLength;
    call.job.tolerance = call.options->tolerance;
    return call.filter->prepare(*call.filter, call.job, &call.failure);
}

bool OpenOutputPath(Call& call, const char16_t* outputPath) {
    bool outOfMemory = false;
    call.outputText = ConvertPath(outputPath, &outOfMemory);
    if (outOfMemory) {
        return OutOfMemory(call);
    }
    return OpenOutput(outputPath, call.outputText, call.input, &call.output, &call.failure);
}

bool WriteOutput(Call& call) {
    bool written = call.filter->write(call.job, call.output.stream, call.output.inPlace, &call.failure);
    if (!written && call.failure.reason == ReasonNewLayoutInPlace) {
        call.failure.systemError = call.output.folderRefusal;  // why there is no temporary to take it
    }
    return written;
}

bool Commit(Call& call) {
    // The input is closed first: Windows replaces no file that is open.
    std::fclose(call.input);
    call.input = nullptr;
    return CommitOutput(call.output, call.options->sync, &call.failure);
}

int32_t Run(const char16_t* inputPath, const char16_t* outputPath, const NamedFilter& filter,
            const CallOptions& options, Failure* report) {
    Call call{};
    call.filter = &filter;
    call.options = &options;
    bool done = TakeInputPath(call, inputPath) && OpenInput(call, inputPath) && ReadFormat(call) &&
                PrepareFilter(call) && OpenOutputPath(call, outputPath) && WriteOutput(call) && Commit(call);
    if (done) {
        call.failure = Failure{};  // a step may have met a failure it recovered from
    }
    return Finish(call, report);
}

const CallOptions kExportedOptions = {false, kColorTolerance};

}  // namespace

void PrintCallFailure(const Failure& failure, const char* inputText, const char* outputText) {
    char reason[kReasonTextBytes];
    switch (failure.status) {
        case StatusInputOpenFailed:
            PrintText("Oof, the file failed to open, please try again");
            break;
        case StatusBadInput:
        case StatusUnsupported:
        case StatusInputReadFailed:
            FormatReason(failure, reason, sizeof reason);
            PrintText("Could not read ");
            PrintText(inputText);
            PrintText(": ");
            PrintText(reason);
            break;
        case StatusOutputOpenFailed:
            PrintText("Could not open ");
            PrintText(outputText == nullptr ? "" : outputText);
            PrintText(" for writing");
            break;
        case StatusOutputWriteFailed:
            PrintText("Could not write ");
            PrintText(outputText);
            break;
        case StatusOutOfMemory:
            PrintText("Not enough memory for ");
            PrintText(inputText == nullptr ? "" : inputText);
            break;
        case StatusOk:
        case StatusPathTooShort:
        case StatusInterrupted:
            break;  // the exported call's rule: nothing printed
    }
}

int32_t ResultOf(Status status) {
    switch (status) {
        case StatusOk:
            return ResultDone;
        case StatusBadInput:
        case StatusUnsupported:
        case StatusInputReadFailed:
            return ResultInputInvalid;
        case StatusInputOpenFailed:
            return ResultInputOpenFailed;
        case StatusOutputOpenFailed:
            return ResultOutputOpenFailed;
        case StatusOutputWriteFailed:
            return ResultOutputWriteFailed;
        case StatusOutOfMemory:
            return ResultOutOfMemory;
        case StatusPathTooShort:
            return ResultPathTooShort;
        case StatusInterrupted:
            break;  // no call is interrupted: only the host's jobs are
    }
    return ResultOutputWriteFailed;
}

int32_t RunPipeline(const char16_t* inputPath, const char16_t* outputPath, const NamedFilter& filter) {
    return Run(inputPath, outputPath, filter, kExportedOptions, nullptr);
}

int32_t RunHostCall(const char16_t* inputPath, const char16_t* outputPath, const NamedFilter& filter,
                    const CallOptions& options, Failure* failure) {
    return Run(inputPath, outputPath, filter, options, failure);
}

}  // namespace quenvale
