// The call through pictures. A PNG or JPEG is decoded as it is read and
// filtered in memory: the flatten on the picture itself, a kernel on the
// bitmap of it that the library reads, whose result is put back into the
// source's encoding. The input is opened once, and no file is made but the
// output's temporary. A bitmap that becomes a PNG goes through the
// library's call, into a spool file read back. Everything that can be
// refused is refused before the output is touched, and the result replaces
// the output whole, as the library's own output does.
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
    std::string bitmapOut;         // a bitmap's result, spooled; empty when not made
    Picture result;
    BridgeBitmap bridge;           // a kernel's input
    uint8_t* filtered;             // a kernel's output rows
};

void ReleaseJob(PictureJob& job) {
    if (job.input != nullptr) {
        std::fclose(job.input);
    }
    ReleasePicture(&job.source);
    ReleasePicture(&job.result);
    ReleaseBridgeBitmap(&job.bridge);
    std::free(job.filtered);
    if (!job.bitmapOut.empty()) {
        RemoveFile(job.bitmapOut);
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


// The output replaced whole as WriteOutputWhole does; a failure reported.
template <typename Write>
bool ReplaceOutput(const Options& options, PictureJob& job, const std::string& outputFile, Write write,
                   const std::string& input, const std::string& output) {
    quenvale::Failure failure{};
    if (!WriteOutputWhole(options, job, outputFile, write, &failure)) {
        ReportCall(failure, input, output, false);
        return false;
    }
    return true;
}

// The PNG of a picture, in pieces, written over the output.
bool WritePng(const Options& options, PictureJob& job, const Picture& picture, const std::string& outputFile,
              const std::string& input, const std::string& output) {
    EncodedPng png{};
    PictureError error{};
    bool carried = !job.chunks.empty();  // a PNG's, carried into the PNG made of it
    if (!EncodePngPieces(picture, job.carried.data(), carried ? &job.chunks : nullptr, carried ? &job.source : nullptr,
                         &png, &error)) {
        ReleaseEncodedPng(&png);
        ReportFailure(output, error.reason);
        return false;
    }
    ReleasePicture(&job.source);  // encoded: only the pieces are written
    ReleasePicture(&job.result);
    bool written = ReplaceOutput(
        options, job, outputFile, [&png](FILE* stream) {
            bool all = true;
            for (const EncodedPng::Piece& piece : png.pieces) {
                all = all && quenvale::WriteBytes(stream, piece.bytes, piece.length);
            }
            return all;
        }, input, output);
    ReleaseEncodedPng(&png);
    return written;
}

// A bitmap to PNG: the library's call on the input file, into a spool file
// whose bitmap is read back.
bool BitmapToPng(const Options& options, PictureJob& job, const std::string& inputFile, const std::string& outputFile,
                 const std::string& input, const std::string& output) {
    bool done = BitmapWithinBudget(options, job, input);
    if (!done && job.input != nullptr) {
        std::fclose(job.input);
        job.input = nullptr;
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
    done = done && CallOnFiles(options, inputFile, job.bitmapOut, input, output);
    if (!done) {
        return false;
    }
    PictureError error{};
    FILE* file = OpenFile(job.bitmapOut, "rb");
    done = file != nullptr && ReadBitmapAsPicture(file, &job.result, &error);
    if (file != nullptr) {
        std::fclose(file);
    }
    if (!done) {
        ReportFailure(output, file == nullptr ? "could not read the filtered bitmap: " + ErrorText(errno)
                                              : error.reason);
        return false;
    }
    return WritePng(options, job, job.result, outputFile, input, output);
}

bool IsFlatten(const Options& options) {
    return options.filter == nullptr || options.filter == &quenvale::kNamedFilters[0];
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

// A kernel on the bitmap of the decoded picture that the library would
// have been handed, its output rows in memory; *format and *data describe
// the result as the library would have written it.
bool KernelDecoded(const Options& options, PictureJob& job, FILE* console, quenvale::KernelWork* work,
                   quenvale::BitmapFormat* format, const uint8_t** data, const std::string& input,
                   const std::string& output) {
    PictureError error{};
    if (!MakeBridgeBitmap(job.source, &job.bridge, &error)) {
        ReportFailure(input, error.reason);
        return false;
    }
    quenvale::Failure failure{};
    if (!quenvale::PrepareKernel(options.filter->kernel, job.bridge.format, nullptr, work, &failure)) {
        work->format = nullptr;  // nothing counted
        ReportCall(failure, input, output, false);
        return false;
    }
    if (console != nullptr) {  // the library's counter lines, as its call prints them
        quenvale::CountPixelGrid(job.source.width, job.source.height);
        quenvale::CountPixelGrid(job.source.width, job.source.height);
    }
    *format = job.bridge.format;
    *data = job.bridge.rows;
    if (work->output == quenvale::OutputPalette) {
        quenvale::MapKernelPalette(*work, format->palette);
        return true;
    }
    uint64_t stride = quenvale::KernelOutputStride(*work);
    job.filtered = static_cast<uint8_t*>(std::calloc(static_cast<size_t>(stride * format->rowCount) + 4, 1));
    if (job.filtered == nullptr) {
        ReportCall(quenvale::FailWith(quenvale::StatusOutOfMemory, quenvale::ReasonNone), input, output, false);
        return false;
    }
    quenvale::RunKernelOnRows(*work, job.bridge.rows, job.filtered, &failure);
    if (work->output == quenvale::OutputNewRgb24) {
        format->encoding = quenvale::EncodingRgb24;
        format->bitsPerPixel = 24;
        format->paletteCount = 0;
    }
    format->stride = stride;
    *data = job.filtered;
    return true;
}

// A kernel's result as a PNG in the source's encoding where it can hold it,
// or as the bitmap the library would have written.
bool WriteKernelResult(const Options& options, PictureJob& job, const quenvale::KernelWork& work,
                       const quenvale::BitmapFormat& format, const uint8_t* data, FileFormat to,
                       const std::string& outputFile, const std::string& input, const std::string& output) {
    auto size = static_cast<size_t>(format.stride * format.rowCount);
    if (to == FormatBmp) {
        return ReplaceOutput(
            options, job, outputFile, [&](FILE* stream) {
                quenvale::Failure unused{};
                return quenvale::WriteKernelHeaders(work, job.bridge.headers.data(), stream, &unused) &&
                       quenvale::WriteBytes(stream, data, size);
            }, input, output);
    }
    PictureError error{};
    bool mapped = PictureOfBitmapData(format, job.bridge.headers.data(), job.bridge.headers.size(),
                                      const_cast<uint8_t*>(data), size, &job.result, &error) &&
                  MapToSourceEncoding(job.source, false, &job.result, &error);
    if (!mapped) {
        ReportFailure(output, error.reason);
        return false;
    }
    job.result.iccProfile = job.source.iccProfile;
    job.result.exif = job.source.exif;
    job.result.resolution[0] = job.source.resolution[0];
    job.result.resolution[1] = job.source.resolution[1];
    return WritePng(options, job, job.result, outputFile, input, output);
}

// A PNG or JPEG decoded, filtered and written, in memory.
bool FilterInMemory(const Options& options, FileFormat from, FileFormat to, PictureJob& job,
                    const std::string& outputFile, const std::string& input, const std::string& output) {
    if (!DecodeSource(options, from, input, job)) {
        return false;
    }
    PictureError error{};
    if (to == FormatBmp && !BitmapOfPictureFits(job.source, &error)) {
        ReportFailure(input, error.reason);
        return false;
    }
    if (IsFlatten(options)) {
        if (!FlattenDecoded(options, job, input, output)) {
            return false;
        }
        return to == FormatBmp ? ReplaceOutput(
                                     options, job, outputFile, [&job, &error](FILE* stream) {
                                         return WriteBitmapOfPicture(job.source, stream, &error);
                                     }, input, output)
                               : WritePng(options, job, job.source, outputFile, input, output);
    }
    quenvale::KernelWork work{};
    quenvale::BitmapFormat format{};
    const uint8_t* data = nullptr;
    FILE* console = OpenLibraryConsole(options, output);
    bool written = KernelDecoded(options, job, console, &work, &format, &data, input, output) &&
                   WriteKernelResult(options, job, work, format, data, to, outputFile, input, output);
    quenvale::ReleaseKernel(work);
    if (console != nullptr && work.format != nullptr) {
        quenvale::UncountPixelGrid(job.source.width, job.source.height);
        quenvale::UncountPixelGrid(job.source.width, job.source.height);
    }
    CloseLibraryConsole(console);
    return written;
}

}  // namespace

bool CallThroughPictures(const Options& options, FileFormat from, FileFormat to, FILE* inputStream,
                         const std::string& inputFile, const std::string& outputFile, const std::string& input,
                         const std::string& output) {
    PictureJob job{};
    job.input = inputStream;
    bool done = from != FormatBmp ? FilterInMemory(options, from, to, job, outputFile, input, output)
                                  : BitmapToPng(options, job, inputFile, outputFile, input, output);
    ReleaseJob(job);
    return done;
}

}  // namespace quenvale_host
