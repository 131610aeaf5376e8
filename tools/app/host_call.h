// One call of the library on files, with its failures reported under the
// names the user gave; and the call through pictures, where the input or
// the output is not a BMP.
#ifndef QUENVALE_HOST_CALL_H
#define QUENVALE_HOST_CALL_H

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "app/host_formats.h"
#include "app/job.h"
#include "app/palette_file.h"
#include "base/output_file.h"
#include "base/status.h"
#include "ops/picture_flatten.h"

namespace quenvale_host {


// A failure of the file at path, of the engine's kinds (status), with the
// system's error number where a system call failed (0 where none did):
// recorded in the outcome of the job this thread runs (job.cpp), which its
// face reports. A codec's refusal gives its own status.
void ReportFailure(quenvale::Status status, const std::string& path, const std::string& reason,
                   int systemError = 0);
void ReportFailure(const std::string& path, const PictureError& error);
// A job's warning: it goes on, and says what it left out.
void ReportWarning(const std::string& path, const std::string& text);
// A failure's words: the system's text where a system call failed, the
// reason from the library's own table, or both; never the text of error 0.
std::string FailureText(const quenvale::Failure& failure);
// A failed call's line, on the input or the output by what failed; an
// output written to a spool file names the spool's folder.
void ReportCall(const quenvale::Failure& failure, const std::string& input, const std::string& output,
                bool outputSpooled);
// The call on a file of any format the host reads, to the format planned,
// or, where none is, to the one the options and the output's name choose;
// true when the output was written. inputFile and outputFile are opened,
// input and output named in the failures.
bool CallAnyFormat(const JobOptions& options, FileFormat planned, const std::string& inputFile,
                   const std::string& outputFile, const std::string& input, const std::string& output);
// The call on the files inputFile and outputFile, reported as input and
// output; true when the output was written.
bool CallOnFiles(const JobOptions& options, const std::string& inputFile, const std::string& outputFile,
                 const std::string& input, const std::string& output);
// The same where the input or the output is no BMP (or the mean fill is
// asked): the picture is decoded and filtered in memory, a bitmap by the
// library's own reading and filters, and its result encoded as the output.
// inputStream is the input opened for the sniff (null where it would not
// open), which the call takes and closes.
bool CallThroughPictures(const JobOptions& options, FileFormat from, FileFormat to, FILE* inputStream,
                         const std::string& inputFile, const std::string& outputFile, const std::string& input,
                         const std::string& output);
// The tolerance --colors asks for, chosen on a picture in memory (samples
// little-endian); with console (-v) the choice is told there. False, with
// the failure reported, when its colours could not be counted.
bool ToleranceForColors(const JobOptions& options, const quenvale::Picture& picture, FILE* console,
                        const std::string& input, int* tolerance);
// The same for a bitmap, read from its open stream and left at its start;
// a bitmap the call will refuse keeps the tolerance given, for the call to
// say why.
bool ToleranceForBitmap(const JobOptions& options, FILE* stream, const std::string& input, const std::string& output,
                        int* tolerance);
// What a flatten writes beside its output (host_extras.cpp): its palette
// file (--palette, --palette-dir) and its layers (--layers), made from the
// flattened picture in memory. They are staged (written to temporaries)
// before the output is written, and committed just before it replaces its
// target, so that a job that fails replaces nothing, and an input written
// in place is replaced last. True where none is asked.
struct FlattenExtras {
    std::string palette;            // the palette file's text
    std::vector<uint32_t> colors;   // the layers' colours, 0xAARRGGBB, in the palette's order
    std::vector<uint16_t> layerOf;  // each pixel's layer, rows from the top; kNoLayer where transparent
    uint32_t width;
    uint32_t height;
    std::vector<quenvale::OutputFile> staged;  // written, not yet in place
    std::vector<std::string> stagedPaths;
    std::vector<std::string> layerNames;       // this run's, so that stale ones can go
};
constexpr uint16_t kNoLayer = 0xFFFF;
// The extras made from the flattened picture and staged; true where none
// is asked.
bool StageExtras(const JobOptions& options, Picture& picture, const PaletteOrigin& origin, const std::string& input,
                 const std::string& output, FlattenExtras* extras);
// Puts the staged files in place (and a palette asked on standard output
// there), then removes the layers a run with more colours left; reported
// on failure.
bool CommitExtras(const JobOptions& options, FlattenExtras& extras, const std::string& input, const std::string& output);
// --shared-palette's one palette, to options.palette (a file replaced whole,
// or standard output), chosen over that many pictures; false, reported,
// where it could not be written.
bool WriteSharedPalette(const JobOptions& options, const std::vector<uint32_t>& colors, size_t pictures);
void AbandonExtras(FlattenExtras& extras);
// The extras of a bitmap the library's call will flatten, made by the same
// flatten in memory and staged before the call (host_pictures.cpp);
// reported on failure.
bool BitmapExtras(const JobOptions& options, FILE* stream, const std::string& inputFile, const std::string& input,
                  const std::string& output, FlattenExtras* extras);
// The stream the library's own text goes to for this call (null unless -v:
// never the one the image goes to), and its close after the call.
FILE* OpenLibraryConsole(const JobOptions& options, const std::string& output);
void CloseLibraryConsole(FILE* console);

}  // namespace quenvale_host

#endif
