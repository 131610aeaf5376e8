// One call of the library on files, with its failures reported under the
// names the user gave; and the call through pictures, where the input or
// the output is not a BMP.
#ifndef QUENVALE_HOST_CALL_H
#define QUENVALE_HOST_CALL_H

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "host_formats.h"
#include "picture_model.h"
#include "host_options.h"
#include "status.h"

namespace quenvale_host {

struct Picture;

// A failure of the file at path, with the system's error number where a
// system call failed (0 where none did). Defined by the program, not here:
// the host prints "quenvale: PATH: REASON" on standard error, the Python
// module raises it.
void ReportFailure(const std::string& path, const std::string& reason, int systemError = 0);
// A failed call's line, on the input or the output by what failed; an
// output written to a spool file names the spool's folder.
void ReportCall(const quenvale::Failure& failure, const std::string& input, const std::string& output,
                bool outputSpooled);
// The call on a file of any format the host reads, to the format planned,
// or, where none is, to the one the options and the output's name choose;
// true when the output was written. inputFile and outputFile are opened,
// input and output named in the failures.
bool CallAnyFormat(const Options& options, FileFormat planned, const std::string& inputFile,
                   const std::string& outputFile, const std::string& input, const std::string& output);
// The call on the files inputFile and outputFile, reported as input and
// output; true when the output was written.
bool CallOnFiles(const Options& options, const std::string& inputFile, const std::string& outputFile,
                 const std::string& input, const std::string& output);
// The same where the input is a PNG or JPEG, or the output a PNG: the
// library is handed a bitmap of the input's pixels, and the bitmap it
// writes becomes the output.
// inputStream is the input opened for the sniff (null where it would not
// open), which the call takes and closes.
bool CallThroughPictures(const Options& options, FileFormat from, FileFormat to, FILE* inputStream,
                         const std::string& inputFile, const std::string& outputFile, const std::string& input,
                         const std::string& output);
// The tolerance --colors asks for, chosen on a picture in memory (samples
// little-endian); with console (-v) the choice is told there. False, with
// the failure reported, when its colours could not be counted.
bool ToleranceForColors(const Options& options, const quenvale::Picture& picture, FILE* console,
                        const std::string& input, int* tolerance);
// The same for a bitmap, read from its open stream and left at its start;
// a bitmap the call will refuse keeps the tolerance given, for the call to
// say why.
bool ToleranceForBitmap(const Options& options, FILE* stream, const std::string& input, const std::string& output,
                        int* tolerance);
// What a flatten writes beside its output (host_extras.cpp): its palette
// file (--palette, --palette-dir) and its layers (--layers), made while
// the flattened picture is in memory and written once the output is; and
// both for a bitmap the call wrote, read back. True where none is asked.
struct FlattenExtras {
    std::string palette;            // the palette file's text
    std::vector<uint32_t> colors;   // the layers' colours, 0xRRGGBB, in the palette's order
    std::vector<uint8_t> layerOf;   // each pixel's layer, rows from the top
    uint32_t width;
    uint32_t height;
};
bool PrepareExtras(const Options& options, Picture& picture, int tolerance, const std::string& input,
                   FlattenExtras* extras);
bool WriteExtras(const Options& options, const FlattenExtras& extras, const std::string& input,
                 const std::string& output);
bool WriteBitmapExtras(const Options& options, const std::string& outputFile, const std::string& input,
                       const std::string& output);
// The stream the library's own text goes to for this call (null unless -v:
// never the one the image goes to), and its close after the call.
FILE* OpenLibraryConsole(const Options& options, const std::string& output);
void CloseLibraryConsole(FILE* console);

}  // namespace quenvale_host

#endif
