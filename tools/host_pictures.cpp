// The call through pictures: the input decoded and handed to the library as
// a bitmap in a spool file, the bitmap it writes read back and encoded as
// PNG, in the source's own encoding where the source was a PNG. Everything
// that can be refused is refused before the output is touched, and the PNG
// replaces the output whole, as the library's own output does.
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "entry.h"
#include "host.h"
#include "host_call.h"
#include "picture.h"

namespace quenvale_host {

namespace {

// What one call through pictures holds, released by ReleaseJob.
struct PictureJob {
    uint8_t* file;  // the input, whole
    size_t fileLength;
    Picture source;
    std::vector<PngChunk> chunks;
    std::string bitmapIn;   // spool files; empty when not made
    std::string bitmapOut;
    Picture result;
};

void ReleaseJob(PictureJob& job) {
    std::free(job.file);
    ReleasePicture(&job.source);
    ReleasePicture(&job.result);
    for (const std::string* spool : {&job.bitmapIn, &job.bitmapOut}) {
        if (!spool->empty()) {
            RemoveFile(*spool);
        }
    }
}

bool ReadWholeFile(const std::string& path, PictureJob& job, std::string* reason) {
    FILE* file = OpenFile(path, "rb");
    if (file == nullptr) {
        *reason = ErrorText(errno);
        return false;
    }
    uint64_t length = 0;
    bool read = quenvale::RegularFileLength(file, &length);
    if (!read || length > SIZE_MAX / 2 || length > 0xFFFFFFFFu) {
        *reason = read ? "too large to read whole" : "not a regular file";
        std::fclose(file);
        return false;
    }
    job.fileLength = static_cast<size_t>(length);
    job.file = static_cast<uint8_t*>(std::malloc(job.fileLength + 1));
    read = job.file != nullptr && quenvale::SeekFile(file, 0) && quenvale::ReadBytes(file, job.file, job.fileLength);
    *reason = job.file == nullptr ? "not enough memory to read it" : "could not read it";
    std::fclose(file);
    return read;
}

// Decodes the input and writes it as a bitmap into a spool file.
bool SpoolSource(const Options& options, FileFormat from, const std::string& inputFile, const std::string& input,
                 PictureJob& job) {
    PictureError error{};
    if (!ReadWholeFile(inputFile, job, &error.reason)) {
        ReportFailure(input, error.reason);
        return false;
    }
    PictureDecoder decode = RowOf(from).decode;
    bool decoded = decode != nullptr && decode(job.file, job.fileLength, options.maxPixels, &job.source, &job.chunks,
                                               &error);
    if (decode == nullptr) {
        error.reason = std::string("a ") + FormatName(from) + " file: this build has no decoder for it";
    }
    if (!decoded) {
        ReportFailure(input, error.reason);
        return false;
    }
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
bool BitmapWithinBudget(const Options& options, const std::string& inputFile, const std::string& input) {
    FILE* file = OpenFile(inputFile, "rb");
    if (file == nullptr) {
        return true;  // the call says why
    }
    PictureError error{};
    bool within = BitmapWithinPixelBudget(file, options.maxPixels, &error);
    std::fclose(file);
    if (!within) {
        ReportFailure(input, error.reason);
    }
    return within;
}

// The PNG replaces the output whole, through the library's own temporary.
bool WriteOutputBytes(const Options& options, const std::string& inputFile, const std::string& outputFile,
                      const std::vector<uint8_t>& bytes, quenvale::Failure* failure) {
    FILE* input = OpenFile(inputFile, "rb");  // for the output to tell whether it is the input itself
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
    if (written && !quenvale::WriteBytes(output.stream, bytes.data(), bytes.size())) {
        *failure = quenvale::FailWithErrno(quenvale::StatusOutputWriteFailed);
        written = false;
    }
    std::fclose(input);  // Windows replaces no file that is open
    written = written && quenvale::CommitOutput(output, options.call.sync, failure);
    quenvale::AbandonOutput(output);
    return written;
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
    done = done && EncodePng(job.result, job.file, carried ? &job.chunks : nullptr, carried ? &job.source : nullptr,
                             png, &error);
    if (!done) {
        ReportFailure(output, file == nullptr ? "could not read the filtered bitmap: " + ErrorText(errno)
                                              : error.reason);
    }
    return done;
}

}  // namespace

bool CallThroughPictures(const Options& options, FileFormat from, FileFormat to, const std::string& inputFile,
                         const std::string& outputFile, const std::string& input, const std::string& output) {
    PictureJob job{};
    bool done = from == FormatBmp ? BitmapWithinBudget(options, inputFile, input)
                                  : SpoolSource(options, from, inputFile, input, job);
    const std::string& bitmap = from == FormatBmp ? inputFile : job.bitmapIn;
    if (done && to == FormatBmp) {
        done = CallOnFiles(options, bitmap, outputFile, input, output);
        ReleaseJob(job);
        return done;
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
    if (done && !WriteOutputBytes(options, inputFile, outputFile, png, &failure)) {
        ReportCall(failure, input, output, false);
        done = false;
    }
    ReleaseJob(job);
    return done;
}

}  // namespace quenvale_host
