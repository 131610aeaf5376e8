// The call through pictures. The flatten of a PNG or JPEG runs on the
// decoded picture in memory, which is then encoded in the source's own
// encoding (or written as a bitmap): the input is opened once and no file
// is made but the output's temporary. The kernels are handed a bitmap of
// the input in a spool file, and the bitmap they write is read back.
// Everything that can be refused is refused before the output is touched,
// and the result replaces the output whole, as the library's own output does.
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "entry.h"
#include "filter_table.h"
#include "pixel_grid.h"
#include "host.h"
#include "host_call.h"
#include "picture.h"

namespace quenvale_host {

namespace {

// What one call through pictures holds, released by ReleaseJob.
struct PictureJob {
    FILE* input;    // open from the sniff until the output is committed; null once closed
    Picture source;
    std::vector<PngChunk> chunks;
    std::vector<uint8_t> carried;  // the chunks to carry, as stored
    std::string bitmapIn;   // spool files; empty when not made
    std::string bitmapOut;
    Picture result;
};

void ReleaseJob(PictureJob& job) {
    if (job.input != nullptr) {
        std::fclose(job.input);
    }
    ReleasePicture(&job.source);
    ReleasePicture(&job.result);
    for (const std::string* spool : {&job.bitmapIn, &job.bitmapOut}) {
        if (!spool->empty()) {
            RemoveFile(*spool);
        }
    }
}

// Decodes the input from its open stream.
bool DecodeSource(const Options& options, FileFormat from, const std::string& input, PictureJob& job) {
    PictureError error{};
    uint64_t length = 0;
    if (job.input == nullptr || !quenvale::RegularFileLength(job.input, &length)) {
        ReportFailure(input, "not a regular file");
        return false;
    }
    PictureDecoder decode = RowOf(from).decode;
    bool decoded = decode != nullptr && decode(PictureInput{job.input, nullptr, length}, options.maxPixels,
                                               &job.source, &job.chunks, &job.carried, &error);
    if (decode == nullptr) {
        error.reason = std::string("a ") + FormatName(from) + " file: this build has no decoder for it";
    }
    if (!decoded) {
        ReportFailure(input, error.reason);
    }
    return decoded;
}

// Decodes the input and writes it as a bitmap into a spool file.
bool SpoolSource(const Options& options, FileFormat from, const std::string& input, PictureJob& job) {
    if (!DecodeSource(options, from, input, job)) {
        return false;
    }
    PictureError error{};
    int systemError = 0;
    FILE* spool = CreateSpoolFile("quenvale-picture-", &job.bitmapIn, &systemError);
    if (spool == nullptr) {
        ReportFailure(input, "could not make a temporary file in " + SpoolFolder() + ": " + ErrorText(systemError));
        return false;
    }
    bool written = WriteBitmapOfPicture(job.source, spool, &error);
    if (std::fclose(spool) != 0 && written) {
        error.reason = ErrorText(errno);
        written = false;
    }
    if (!written) {
        ReportFailure(input, error.problem == ProblemUnsupported
                                 ? error.reason
                                 : "could not write a temporary file in " + SpoolFolder() + ": " + error.reason);
    }
    return written;
}

// A bitmap that becomes another format is held in memory whole: an RLE
// stream of a few bytes may declare gigapixels.
bool BitmapWithinBudget(const Options& options, PictureJob& job, const std::string& input) {
    if (job.input == nullptr) {
        return true;  // the call says why
    }
    PictureError error{};
    bool within = BitmapWithinPixelBudget(job.input, options.maxPixels, &error);
    if (!within) {
        ReportFailure(input, error.reason);
    }
    return within;
}

// The output replaced whole by what write(stream) writes, through the
// library's own temporary; the input, still open, tells the output layer
// whether the output is the input itself.
template <typename Write>
bool WriteOutputWhole(const Options& options, PictureJob& job, const std::string& outputFile, Write write,
                      quenvale::Failure* failure) {
    FILE* input = job.input;
    job.input = nullptr;
    if (input == nullptr) {
        *failure = quenvale::FailWithErrno(quenvale::StatusInputOpenFailed);
        return false;
    }
    std::u16string wide = CallPath(outputFile, 0);
    quenvale::OutputFile output{};
    bool written = quenvale::OpenOutput(wide.c_str(), outputFile.c_str(), input, &output, failure);
    if (written && output.inPlace) {
        // A new encoding cannot be written over the input it came from; the
        // folder refused the temporary that would have taken it.
        *failure = quenvale::FailWith(quenvale::StatusOutputWriteFailed, quenvale::ReasonNewLayoutInPlace);
        failure->systemError = output.folderRefusal;
        written = false;
    }
    if (written && !write(output.stream)) {
        *failure = quenvale::FailWithErrno(quenvale::StatusOutputWriteFailed);
        written = false;
    }
    std::fclose(input);  // Windows replaces no file that is open
    written = written && quenvale::CommitOutput(output, options.call.sync, failure);
    quenvale::AbandonOutput(output);
    return written;
}

bool WriteOutputBytes(const Options& options, PictureJob& job, const std::string& outputFile,
                      const std::vector<uint8_t>& bytes, quenvale::Failure* failure) {
    return WriteOutputWhole(
        options, job, outputFile,
        [&bytes](FILE* stream) { return quenvale::WriteBytes(stream, bytes.data(), bytes.size()); }, failure);
}

// Reads back the library's bitmap and makes the PNG.
bool EncodeResult(const Options& options, FileFormat from, PictureJob& job, std::vector<uint8_t>* png,
                  const std::string& output) {
    PictureError error{};
    FILE* file = OpenFile(job.bitmapOut, "rb");
    bool done = file != nullptr && ReadBitmapAsPicture(file, &job.result, &error);
    if (file != nullptr) {
        std::fclose(file);
    }
    bool flatten = options.filter == nullptr;
    if (done && from != FormatBmp) {
        done = MapToSourceEncoding(job.source, flatten, &job.result, &error);
        job.result.iccProfile = job.source.iccProfile;
        job.result.exif = job.source.exif;
        job.result.resolution[0] = job.source.resolution[0];
        job.result.resolution[1] = job.source.resolution[1];
    }
    bool carried = !job.chunks.empty();  // a PNG's, carried into the PNG made of it
    done = done && EncodePng(job.result, job.carried.data(), carried ? &job.chunks : nullptr, carried ? &job.source : nullptr,
                             png, &error);
    if (!done) {
        ReportFailure(output, file == nullptr ? "could not read the filtered bitmap: " + ErrorText(errno)
                                              : error.reason);
    }
    return done;
}

// The kernels, and any filter on a bitmap: the library's call on files.
bool CallThroughSpool(const Options& options, FileFormat from, FileFormat to, PictureJob& job,
                      const std::string& inputFile, const std::string& outputFile, const std::string& input,
                      const std::string& output) {
    bool done = from == FormatBmp ? BitmapWithinBudget(options, job, input) : SpoolSource(options, from, input, job);
    const std::string& bitmap = from == FormatBmp ? inputFile : job.bitmapIn;
    if (job.input != nullptr && (!done || to == FormatBmp)) {
        std::fclose(job.input);  // the call opens its input by name
        job.input = nullptr;
    }
    if (done && to == FormatBmp) {
        return CallOnFiles(options, bitmap, outputFile, input, output);
    }
    int systemError = 0;
    FILE* spool = done ? CreateSpoolFile("quenvale-result-", &job.bitmapOut, &systemError) : nullptr;
    if (done && spool == nullptr) {
        ReportFailure(output, "could not make a temporary file in " + SpoolFolder() + ": " + ErrorText(systemError));
        done = false;
    }
    if (spool != nullptr) {
        std::fclose(spool);  // the call replaces it by name
    }
    std::vector<uint8_t> png;
    done = done && CallOnFiles(options, bitmap, job.bitmapOut, input, output) &&
           EncodeResult(options, from, job, &png, output);
    quenvale::Failure failure{};
    if (done && !WriteOutputBytes(options, job, outputFile, png, &failure)) {
        ReportCall(failure, input, output, false);
        done = false;
    }
    return done;
}

// The flatten of a decoded picture, in place. With -v, the library's
// counter lines for the two grids its call counts, as its call prints them.
bool FlattenDecoded(const Options& options, PictureJob& job, const std::string& input, const std::string& output) {
    Picture& picture = job.source;
    FILE* console = OpenLibraryConsole(options, output);
    if (console != nullptr) {
        quenvale::CountPixelGrid(picture.width, picture.height);
        quenvale::CountPixelGrid(picture.width, picture.height);
    }
    LittleEndianSamples(&picture);
    quenvale::Status status = quenvale::FlattenPicture(ModelOf(picture), options.call.tolerance, nullptr);
    LittleEndianSamples(&picture);
    if (picture.colorType == PngPalette) {
        CoverIndices(&picture);
    }
    if (console != nullptr) {
        quenvale::UncountPixelGrid(picture.width, picture.height);
        quenvale::UncountPixelGrid(picture.width, picture.height);
    }
    CloseLibraryConsole(console);
    if (status != quenvale::StatusOk) {
        ReportCall(quenvale::FailWith(status, quenvale::ReasonNone), input, output, false);
    }
    return status == quenvale::StatusOk;
}

// The flatten of a PNG or JPEG in memory, written as a PNG in the source's
// own encoding or as the bitmap the library would have been handed, which
// the flatten leaves the same whichever comes first.
bool FlattenInMemory(const Options& options, FileFormat from, FileFormat to, PictureJob& job,
                     const std::string& outputFile, const std::string& input, const std::string& output) {
    if (!DecodeSource(options, from, input, job)) {
        return false;
    }
    PictureError error{};
    if (to == FormatBmp && !BitmapOfPictureFits(job.source, &error)) {
        ReportFailure(input, error.reason);
        return false;
    }
    if (!FlattenDecoded(options, job, input, output)) {
        return false;
    }
    quenvale::Failure failure{};
    bool written = false;
    if (to == FormatBmp) {
        written = WriteOutputWhole(
            options, job, outputFile, [&job, &error](FILE* stream) {
                return WriteBitmapOfPicture(job.source, stream, &error);
            }, &failure);
    } else {
        EncodedPng png{};
        bool carried = !job.chunks.empty();  // a PNG's, carried into the PNG made of it
        if (!EncodePngPieces(job.source, job.carried.data(), carried ? &job.chunks : nullptr,
                             carried ? &job.source : nullptr, &png, &error)) {
            ReleaseEncodedPng(&png);
            ReportFailure(output, error.reason);
            return false;
        }
        ReleasePicture(&job.source);  // encoded: only the pieces are written
        written = WriteOutputWhole(
            options, job, outputFile, [&png](FILE* stream) {
                bool all = true;
                for (const EncodedPng::Piece& piece : png.pieces) {
                    all = all && quenvale::WriteBytes(stream, piece.bytes, piece.length);
                }
                return all;
            }, &failure);
        ReleaseEncodedPng(&png);
    }
    if (!written) {
        ReportCall(failure, input, output, false);
    }
    return written;
}

}  // namespace

bool CallThroughPictures(const Options& options, FileFormat from, FileFormat to, FILE* inputStream,
                         const std::string& inputFile, const std::string& outputFile, const std::string& input,
                         const std::string& output) {
    PictureJob job{};
    job.input = inputStream;
    bool flatten = options.filter == nullptr || options.filter == &quenvale::kNamedFilters[0];
    bool done = from != FormatBmp && flatten ? FlattenInMemory(options, from, to, job, outputFile, input, output)
                    : CallThroughSpool(options, from, to, job, inputFile, outputFile, input, output);
    ReleaseJob(job);
    return done;
}

}  // namespace quenvale_host
