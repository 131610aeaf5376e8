// One call on one file of any format the host reads: the sniff, the
// output's format, and the library's call or the picture path; and the
// texts of its failures.
#include <cstdio>
#include <cstring>
#include <string>

#include "app/host.h"
#include "app/host_call.h"
#include "app/host_formats.h"
#include "call/entry.h"
#include "quenvale.h"

namespace quenvale_host {

namespace {

// The input as the sniff opened it, closed on every way out.
struct InputStream {
    FILE* file;
    ~InputStream() { Close(); }
    void Close() {
        if (file != nullptr) {
            std::fclose(file);
            file = nullptr;
        }
    }
    FILE* Take() {
        FILE* taken = file;
        file = nullptr;
        return taken;
    }
};

}  // namespace

bool CallAnyFormat(const JobOptions& options, FileFormat planned, const std::string& inputFile,
                   const std::string& outputFile, const std::string& input, const std::string& output) {
    std::string refusal;
    // Opened once: a picture is read from this stream, a bitmap by its name.
    InputStream stream{OpenFile(inputFile, "rb")};
    bool damaged = false;
    FileFormat from = SniffOpenFormat(stream.file, &refusal, &damaged);
    if (!refusal.empty()) {
        ReportFailure(damaged ? quenvale::StatusBadInput : quenvale::StatusUnsupported, input, refusal);
        return false;
    }
    FileFormat to = planned != FormatNone
                        ? planned
                        : ChooseOutputFormat(options.format, from, output, &refusal);
    if (to == FormatNone) {
        ReportFailure(quenvale::StatusUnsupported, output, refusal);
        return false;
    }
    refusal = BuildRefusal(from, to);
    if (!refusal.empty()) {
        ReportFailure(quenvale::StatusUnsupported, from != FormatBmp ? input : output, refusal);
        return false;
    }
#if defined(QUENVALE_PICTURES)
    JobOptions chosen = options;
    if (options.colors != 0 && !ChoosesPalette(options) && from == FormatBmp &&
        !ToleranceForBitmap(options, stream.file, input, output, &chosen.call.tolerance)) {
        return false;
    }
#else
    const JobOptions& chosen = options;
#endif
    if (from == FormatBmp && to == FormatBmp && !HeldOnly(options)) {
#if defined(QUENVALE_PICTURES)
        // The palette and layers come from the same flatten in memory, made
        // and staged before the call writes the output: never read back
        // from an output that may be a pipe, and within --max-pixels.
        FlattenExtras extras{};
        if (stream.file != nullptr && WritesExtras(options) &&
            !BitmapExtras(chosen, stream.file, inputFile, input, output, &extras)) {
            return false;
        }
#endif
        stream.Close();  // Windows replaces no file that is open
        if (StopAsked(input)) {
#if defined(QUENVALE_PICTURES)
            AbandonExtras(extras);
#endif
            return false;
        }
        bool written = CallOnFiles(chosen, inputFile, outputFile, input, output);
#if defined(QUENVALE_PICTURES)
        written = written && CommitExtras(chosen, extras, input, output);
        AbandonExtras(extras);
#endif
        return written;
    }
#if defined(QUENVALE_PICTURES)
    return CallThroughPictures(chosen, from, to, stream.Take(), inputFile, outputFile, input, output);
#else
    return false;
#endif
}

std::string FailureText(const quenvale::Failure& failure) {
    char reason[quenvale::kReasonTextBytes];
    quenvale::FormatReason(failure, reason, sizeof reason);
    // A reason and the system's error where both are known.
    return failure.systemError == 0               ? std::string(reason)
           : failure.reason == quenvale::ReasonNone ? ErrorText(failure.systemError)
                                                   : std::string(reason) + ": " + ErrorText(failure.systemError);
}

// Where the call wrote a spool file, the spool's folder is named, so that
// a full TMPDIR is not taken for the output's disk.
void ReportCall(const quenvale::Failure& failure, const std::string& input, const std::string& output,
                bool outputSpooled) {
    bool outputSide =
        failure.status == quenvale::StatusOutputOpenFailed || failure.status == quenvale::StatusOutputWriteFailed;
    std::string text = FailureText(failure);
    if (outputSide && outputSpooled) {
        text = "a temporary file in " + SpoolFolder() + ": " + text;
    }
    ReportFailure(failure.status, outputSide ? output : input, text, failure.systemError);
}

FILE* OpenLibraryConsole(const JobOptions& options, const std::string& output) {
    // The library's text only when asked for, and never where the image goes.
    bool paletteOut = options.palette != nullptr && std::strcmp(options.palette, "-") == 0;
    FILE* console = !options.verbose ? nullptr : output == "-" || paletteOut ? stderr : stdout;
    quenvale::SetConsoleStream(console);
    quenvale::SetConsoleEndsLines(console != nullptr && IsTerminal(console));
    return console;
}

void CloseLibraryConsole(FILE* console) {
    if (console != nullptr) {
        // The library's messages end without a line feed; keep the prompt off them.
        if (quenvale::ConsoleLineOpen()) {
            std::fputs("\n", console);
        }
        std::fflush(console);
    }
}

bool CallOnFiles(const JobOptions& options, const std::string& inputFile, const std::string& outputFile,
                 const std::string& input, const std::string& output) {
    std::u16string wideInput = quenvale_host::CallPath(inputFile, 10);
    std::u16string wideOutput = quenvale_host::CallPath(outputFile, 0);
    FILE* console = OpenLibraryConsole(options, output);
    quenvale::Failure failure{};
    int32_t result =
        quenvale::RunHostCall(wideInput.c_str(), wideOutput.c_str(),
                              options.filter != nullptr ? *options.filter : quenvale::kNamedFilters[0], options.call,
                              &failure);
    CloseLibraryConsole(console);
    if (result != ResultDone) {
        ReportCall(failure, input, output, outputFile != output);
    }
    return result == ResultDone;
}

}  // namespace quenvale_host
