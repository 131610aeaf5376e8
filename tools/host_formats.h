// The formats the host reads and writes: the input's by its content, the
// output's by --format or the output's name.
#ifndef QUENVALE_HOST_FORMATS_H
#define QUENVALE_HOST_FORMATS_H

#include <cstdint>
#include <string>

namespace quenvale_host {

enum FileFormat : uint8_t { FormatNone, FormatBmp, FormatPng, FormatJpeg };

// Whether this build has the PNG and JPEG codecs (the Windows builds do not).
extern const bool kPicturesBuiltIn;

const char* FormatName(FileFormat format);  // "BMP", "PNG", "JPEG"
// A file's format by its first bytes: PNG and JPEG by their signatures,
// anything else BMP, whose reading says what is wrong with it, unless
// *claim says why it is refused: a damaged PNG signature, or the signature
// of a format that is not read.
FileFormat SniffFormat(const std::string& path, std::string* claim);
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
