// The formats the host knows, one row of one table each: the input's told
// by its content, the output's by --format or the output's name. Sniffing,
// --version, --format, the output's choice and a batch's extensions all
// come from the table; the codecs are elsewhere (tools/codecs).
#ifndef QUENVALE_HOST_FORMATS_H
#define QUENVALE_HOST_FORMATS_H

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace quenvale {
struct Picture;
}  // namespace quenvale

namespace quenvale_host {

using quenvale::Picture;

enum FileFormat : uint8_t { FormatNone, FormatBmp, FormatPng, FormatJpeg, FormatWebp, FormatGif, FormatSvg };

// Whether this build has the PNG and JPEG codecs (the Windows builds do not).
extern const bool kPicturesBuiltIn;

// A format's codec (tools/codecs/picture.h): its decoder reads an open
// file or bytes in memory into a picture of at most maxPixels, with what
// the source carries into an output of its own format; its encoder writes
// a picture as asked (a carry to keep, or the picture's own metadata; the
// smallest encoding, or the picture's own), in pieces to write.
struct PictureError;
struct PictureInput;
struct SourceCarry;
struct EncodeRequest;
struct EncodedFile;
using PictureDecoder = bool (*)(const PictureInput& input, uint64_t maxPixels, Picture* picture, SourceCarry* carry,
                                PictureError* error);
using PictureEncoder = bool (*)(const Picture& picture, const EncodeRequest& request, EncodedFile* encoded,
                                PictureError* error);
// An animation's encoder: its frames, one at a time, to the stream.
struct FrameSource;
using FramesEncoder = bool (*)(const FrameSource& frames, FILE* stream, PictureError* error);

struct Signature {
    size_t at;  // bytes into the file
    size_t length;
    const char* bytes;
};

struct FormatRow {
    FileFormat format;       // FormatNone for a format only named, never read or written
    const char* name;        // "PNG"
    const char* extensions;  // lower case, space-separated, the one written first
    Signature signatures[2];
    bool codec;              // read (and written) through the picture codecs, which a build may lack
    PictureDecoder decode;   // where codec is set and this build has the codecs
    PictureEncoder encode;   // the same, where written (BMP is written by the library)
    bool written;            // an output format
    const char* notWritten;  // where it is read but not written: why
    FramesEncoder animate;   // where it holds an animation and this build writes one
};
extern const FormatRow kFormats[];
extern const size_t kFormatCount;

// The row of a format read or written.
const FormatRow& RowOf(FileFormat format);
const char* FormatName(FileFormat format);  // "BMP", "PNG", "JPEG"
// The names of the formats this build reads or writes, for --version.
std::string FormatsRead();
std::string FormatsWritten();
// The same for --help: "BMP, PNG or JPEG", and "BMP or PNG, by its
// extension (.bmp, .png)".
std::string FormatsReadText();
std::string FormatsWrittenText();
// A file's format by its first bytes. Anything no signature claims is taken
// as BMP, whose reading says what is wrong with it; *claim says why a file
// is refused at once: a damaged PNG signature, or a format that is not read.
FileFormat SniffFormat(const std::string& path, std::string* claim);
// The same on a file opened for reading (null: BMP), left at its start;
// *damaged tells a damaged signature from a format that is not read.
FileFormat SniffOpenFormat(FILE* file, std::string* claim, bool* damaged = nullptr);
// --format's value; FormatNone for one it does not take, with the reason.
FileFormat ParseFormat(const std::string& value, std::string* refusal);
// The format to write: --format, else the output's extension, else the
// input's own (PNG for a JPEG). FormatNone where the name asks for a format
// that is not written, with the reason.
FileFormat ChooseOutputFormat(FileFormat given, FileFormat input, const std::string& output, std::string* refusal);
// A name with the format's extension in place of its own.
std::string WithExtension(const std::string& name, FileFormat format);
// The reason a format is refused by a build without the codecs, or "".
std::string BuildRefusal(FileFormat input, FileFormat output);

}  // namespace quenvale_host

#endif
