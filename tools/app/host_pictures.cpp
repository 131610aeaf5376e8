// The call through pictures. A PNG, JPEG or WebP is decoded as it is read
// and filtered in memory: the flatten or a kernel on the picture itself,
// a kernel's result put back into the source's encoding. A bitmap that becomes a PNG is read and filtered as
// the library's call does it, in memory. The input is opened once, and no
// file is made but the output's temporary. Everything that can be refused
// is refused before the output is touched, and the result replaces the
// output whole, as the library's own output does.
#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <new>
#include <utility>
#include <vector>

#include "app/held_filters.h"
#include "app/host.h"
#include "app/host_call.h"
#include "base/path_text.h"
#include "bmp/pixel_grid.h"
#include "call/entry.h"
#include "call/pipeline.h"
#include "codecs/picture.h"
#include "ops/color_count.h"
#include "ops/filter_table.h"

namespace quenvale_host {

namespace {

// What one call through pictures holds, released by ReleaseJob.
struct PictureJob {
    FILE* input;    // open from the sniff until the output is committed; null once closed
    Picture source;
    Picture sourceEncoding;        // the source's encoding, no rows, where a remap replaced source
    bool remapped;
    SourceCarry carry;             // what the source carries into an output of its format
    Picture result;
    uint8_t* filtered;             // a kernel's output rows
    bool counted;                  // the library's counter lines printed for the two grids
    PaletteOrigin origin;          // how the flatten made its palette: at a tolerance, or chosen
    FlattenExtras extras;          // written once the output is
};

void ReleaseJob(PictureJob& job) {
    if (job.input != nullptr) {
        std::fclose(job.input);
    }
    ReleasePicture(&job.source);
    ReleasePicture(&job.result);
    std::free(job.filtered);
    AbandonExtras(job.extras);
}

// Decodes the input from its open stream.
bool DecodeSource(const JobOptions& options, FileFormat from, const std::string& input, PictureJob& job) {
    PictureError error{};
    uint64_t length = 0;
    if (job.input == nullptr || !quenvale::RegularFileLength(job.input, &length)) {
        ReportFailure(quenvale::StatusUnsupported, input, "not a regular file");
        return false;
    }
    PictureDecoder decode = RowOf(from).decode;
    bool decoded = decode != nullptr && decode(PictureInput{job.input, nullptr, length}, options.maxPixels,
                                               &job.source, &job.carry, &error);
    if (decode == nullptr) {
        error.reason = std::string("a ") + FormatName(from) + " file: this build has no decoder for it";
    }
    if (!decoded) {
        ReportFailure(input, error);
    } else if (!job.carry.warning.empty()) {
        ReportWarning(input, job.carry.warning);
    }
    return decoded;
}

// The output replaced whole by what write(stream) writes, through the
// library's own temporary; a failure reported. The input, still open,
// tells the output layer whether the output is the input itself.
template <typename Write>
bool ReplaceOutput(const JobOptions& options, PictureJob& job, const std::string& outputFile, Write write,
                   const std::string& input, const std::string& output) {
    FILE* stream = job.input;
    job.input = nullptr;
    quenvale::Failure failure{};
    if (stream == nullptr) {
        failure = quenvale::FailWithErrno(quenvale::StatusInputOpenFailed);
        ReportCall(failure, input, output, false);
        return false;
    }
    std::u16string wide = CallPath(outputFile, 0);
    quenvale::OutputFile replaced{};
    bool written = quenvale::OpenOutput(wide.c_str(), outputFile.c_str(), stream, &replaced, &failure);
    if (written && replaced.inPlace) {
        // A new encoding cannot be written over the input it came from; the
        // folder refused the temporary that would have taken it.
        failure = quenvale::FailWith(quenvale::StatusOutputWriteFailed, quenvale::ReasonNewLayoutInPlace);
        failure.systemError = replaced.folderRefusal;
        written = false;
    }
    if (written && !write(replaced.stream)) {
        failure = quenvale::FailWithErrno(quenvale::StatusOutputWriteFailed);
        written = false;
    }
    std::fclose(stream);  // Windows replaces no file that is open
    if (written && StopAsked(input)) {
        quenvale::AbandonOutput(replaced);
        return false;
    }
    // The palette and layers go in place first: the output, which may be
    // the input itself, is replaced last, once nothing else can fail.
    bool extras = !written || CommitExtras(options, job.extras, input, output);
    written = written && extras && quenvale::CommitOutput(replaced, options.call.sync, &failure);
    quenvale::AbandonOutput(replaced);
    if (!written && extras) {
        ReportCall(failure, input, output, false);
    }
    return written;
}

// The picture encoded by the output format's row, in pieces, written over
// the output.
bool WriteEncoded(const JobOptions& options, FileFormat to, PictureJob& job, const Picture& picture,
                  const std::string& outputFile, const std::string& input, const std::string& output) {
    if (StopAsked(input)) {
        return false;
    }
    EncodedFile png{};
    PictureError error{};
    bool carried = !job.carry.chunks.empty();  // a PNG's, carried into the PNG made of it
    PictureEncoder encode = RowOf(to).encode;
    if (encode == nullptr) {
        ReportFailure(quenvale::StatusUnsupported, output, std::string("a ") + FormatName(to) + " file: this build has no encoder for it");
        return false;
    }
    const Picture* encoding = job.remapped ? &job.sourceEncoding : &job.source;  // the carried chunks describe it
    // A remap's palette picture is written as it is: its indices are the file's.
    bool keep = options.keepEncoding || (job.remapped && picture.storage == quenvale::StorageIndexed);
    EncodeRequest request{carried ? &job.carry : nullptr, carried ? encoding : nullptr, keep, job.remapped,
                          options.effort};
    if (!encode(picture, request, &png, &error)) {
        ReleaseEncodedFile(&png);
        ReportFailure(output, error);
        return false;
    }
    ReleasePicture(&job.source);  // encoded: only the pieces are written
    ReleasePicture(&job.result);
    bool written = ReplaceOutput(
        options, job, outputFile, [&png](FILE* stream) {
            bool all = true;
            for (const EncodedFile::Piece& piece : png.pieces) {
                all = all && quenvale::WriteBytes(stream, piece.bytes, piece.length);
            }
            return all;
        }, input, output);
    ReleaseEncodedFile(&png);
    return written;
}

bool IsFlatten(const JobOptions& options) {
    return options.filter == nullptr || options.filter == &quenvale::kNamedFilters[0];
}

// With -v, the library's counter lines for the two grids its call counts,
// as its call prints them: when the filter has taken its storage, and when
// it gives it back.
void ShowGridsTaken(FILE* console, PictureJob& job, uint32_t width, uint32_t height) {
    if (console != nullptr) {
        quenvale::CountCallGrids(width, height);
        job.counted = true;
    }
}

void ShowGridsReleased(PictureJob& job, uint32_t width, uint32_t height) {
    if (job.counted) {
        quenvale::UncountCallGrids(width, height);
        job.counted = false;
    }
}

// How a kernel's result on a bitmap is stored: its input's format with the
// palette mapped or the pixel values replaced, or a new bitmap of 24-bit
// pixels or of the indices of an RLE stream.
quenvale::BitmapFormat KernelResultFormat(const quenvale::KernelWork& work) {
    quenvale::BitmapFormat format = *work.format;
    if (work.output == quenvale::OutputPalette) {
        quenvale::MapKernelPalette(work, format.palette);
        return format;
    }
    if (work.output == quenvale::OutputNewRgb24) {
        format.encoding = quenvale::EncodingRgb24;
        format.bitsPerPixel = 24;
        format.paletteCount = 0;
    } else if (work.output == quenvale::OutputNewIndexed) {
        format.bitsPerPixel = format.encoding == quenvale::EncodingRle4 ? 4 : 8;
        format.encoding = quenvale::EncodingIndexed;
    }
    format.stride = quenvale::KernelOutputStride(work);
    return format;
}

// A kernel's output rows in memory, for its result's format; false when
// memory runs out.
bool RunKernelIntoJob(quenvale::KernelWork& work, const uint8_t* rows, const quenvale::BitmapFormat& format,
                      PictureJob& job, const uint8_t** data) {
    job.filtered = static_cast<uint8_t*>(std::calloc(static_cast<size_t>(format.stride * format.rowCount) + 4, 1));
    if (job.filtered == nullptr) {
        return false;
    }
    quenvale::Failure unused{};  // rows in memory: nothing to read or write fails
    quenvale::RunKernelOnRows(work, rows, job.filtered, &unused);
    *data = job.filtered;
    return true;
}

}  // namespace

bool ToleranceForColors(const JobOptions& options, const quenvale::Picture& picture, FILE* console,
                        const std::string& input, int* tolerance) {
    quenvale::ToleranceChoice choice{};
    quenvale::Status status = quenvale::ChooseToleranceFor(picture, options.colors, &choice);
    if (status != quenvale::StatusOk) {
        ReportFailure(status, input, status == quenvale::StatusOutOfMemory ? "not enough memory to count its colours"
                                                                   : "too many pixels to count its colours");
        return false;
    }
    *tolerance = choice.tolerance;
    auto colours = [](uint64_t count) { return std::to_string(count) + (count == 1 ? " colour" : " colours"); };
    if (console != nullptr && choice.reached) {
        std::fprintf(console, "%s: tolerance %d gives %s (--colors %llu)\n", Printable(input).c_str(),
                     choice.tolerance, colours(choice.entries).c_str(), static_cast<unsigned long long>(options.colors));
    } else if (console != nullptr) {
        std::fprintf(console, "%s: no tolerance gives %s or fewer; tolerance 255 gives %llu\n",
                     Printable(input).c_str(), colours(options.colors).c_str(),
                     static_cast<unsigned long long>(choice.entries));
    }
    return true;
}

bool ToleranceForBitmap(const JobOptions& options, FILE* stream, const std::string& input, const std::string& output,
                        int* tolerance) {
    *tolerance = options.call.tolerance;
    if (stream == nullptr) {
        return true;  // the call says why it does not open
    }
    PictureError error{};
    if (!BitmapWithinPixelBudget(stream, options.maxPixels, &error)) {
        ReportFailure(input, error);  // its colours are counted in memory
        return false;
    }
    Picture picture{};
    bool counted = true;
    if (quenvale::SeekFile(stream, 0) && ReadBitmapAsPicture(stream, &picture, &error)) {
        LittleEndianSamples(&picture);
        FILE* console = OpenLibraryConsole(options, output);
        counted = ToleranceForColors(options, picture, console, input, tolerance);
        CloseLibraryConsole(console);
    }  // else the call says what is wrong with the bitmap
    ReleasePicture(&picture);
    return counted && quenvale::SeekFile(stream, 0);
}

namespace {

// The chooser's palette of at most --colors entries, the picture mapped to
// it in place; with -v, what it chose.
bool ChooseDecoded(const JobOptions& options, PictureJob& job, FILE* console, const std::string& input,
                   const std::string& output) {
    quenvale::ChosenPalette chosen{};
    quenvale::Status status = ChooseHeld(&job.source, options.colors, &chosen);
    if (status != quenvale::StatusOk) {
        ReportCall(quenvale::FailWith(status, quenvale::ReasonNone), input, output, false);
        return false;
    }
    job.origin = {true, 0, chosen.largestError, nullptr};
    if (console != nullptr) {
        std::fprintf(console, "%s: %u %s chosen (--colors %llu), the largest error %u on a channel\n",
                     Printable(input).c_str(), chosen.count, chosen.count == 1 ? "colour" : "colours",
                     static_cast<unsigned long long>(options.colors), chosen.largestError);
    }
    return true;
}

// The picture mapped onto --remap's colours, or onto --pin's and those the
// chooser adds for --colors, in place.
bool RemapDecoded(const JobOptions& options, PictureJob& job, FILE* console, const std::string& input) {
    uint32_t largestError = 0;
    PictureError error{};
    std::vector<uint32_t> colors;
    if (options.pin != nullptr) {
        quenvale::Status status = ChoosePinnedHeld(&job.source, options.colors, *options.pin, &colors);
        if (status != quenvale::StatusOk) {
            ReportFailure(status, input, "not enough memory to choose its colours", 0);
            return false;
        }
    }
    const std::vector<uint32_t>& to = options.pin != nullptr ? colors : *options.remap;
    job.sourceEncoding = job.source;
    job.sourceEncoding.rows = nullptr;
    job.sourceEncoding.iccProfile.clear();
    job.sourceEncoding.exif.clear();
    job.remapped = true;
    Picture remapped{};
    if (!RemapHeld(job.source, to, &remapped, &largestError, &error)) {
        ReportFailure(input, error);
        return false;
    }
    ReleasePicture(&job.source);
    job.source = std::move(remapped);
    job.origin = {true, 0, largestError, options.pin != nullptr ? nullptr : options.remapName};
    if (console != nullptr && options.pin != nullptr) {
        std::fprintf(console, "%s: %zu colours chosen (--colors %llu, %zu pinned), the largest error %u on a channel\n",
                     Printable(input).c_str(), to.size(), static_cast<unsigned long long>(options.colors),
                     options.pin->size(), largestError);
    } else if (console != nullptr) {
        std::fprintf(console, "%s: mapped to the %zu colours of %s, the largest error %u on a channel\n",
                     Printable(input).c_str(), to.size(), Printable(options.remapName).c_str(), largestError);
    }
    return true;
}

bool FlattenOnly(const JobOptions& options, PictureJob& job, const std::string& input, const std::string& output);

// --min-region on the flattened picture, in place; with -v, what changed.
bool RemoveSpecks(const JobOptions& options, Picture& picture, FILE* console, const std::string& input) {
    quenvale::RegionMerge merge{};
    quenvale::Status status = RemoveSmallRegionsHeld(&picture, options.minRegion, &merge);
    if (status != quenvale::StatusOk) {
        ReportFailure(status, input,
                      status == quenvale::StatusUnsupported ? "too many pixels for --min-region, which labels each"
                                                            : "not enough memory for --min-region's labels");
        return false;
    }
    if (console != nullptr) {
        std::fprintf(console, "%s: %u %s and %llu %s changed (--min-region %llu), the largest change %u on a channel\n",
                     Printable(input).c_str(), merge.regions, merge.regions == 1 ? "region" : "regions",
                     static_cast<unsigned long long>(merge.pixels), merge.pixels == 1 ? "pixel" : "pixels",
                     static_cast<unsigned long long>(options.minRegion), merge.largestChange);
    }
    return true;
}

// The flatten of a decoded picture, in place, at the tolerance given or
// the one --colors chose, or the chooser's palette for --colors; then
// --min-region's speck removal.
bool FlattenDecoded(const JobOptions& options, PictureJob& job, const std::string& input, const std::string& output) {
    if (!FlattenOnly(options, job, input, output)) {
        return false;
    }
    if (options.minRegion <= 1) {
        return true;
    }
    FILE* console = OpenLibraryConsole(options, output);
    bool removed = RemoveSpecks(options, job.source, console, input);
    CloseLibraryConsole(console);
    return removed;
}

// The flatten, the chooser or the remap alone.
bool FlattenOnly(const JobOptions& options, PictureJob& job, const std::string& input, const std::string& output) {
    Picture& picture = job.source;
    FILE* console = OpenLibraryConsole(options, output);
    ShowGridsTaken(console, job, picture.width, picture.height);
    if (ChoosesPalette(options) || options.remap != nullptr) {
        bool done = options.remap != nullptr || options.pin != nullptr ? RemapDecoded(options, job, console, input)
                                             : ChooseDecoded(options, job, console, input, output);
        ShowGridsReleased(job, picture.width, picture.height);
        CloseLibraryConsole(console);
        return done;
    }
    LittleEndianSamples(&picture);
    int tolerance = options.call.tolerance;
    bool chosen = options.colors == 0 || ToleranceForColors(options, picture, console, input, &tolerance);
    LittleEndianSamples(&picture);
    if (!chosen) {
        ShowGridsReleased(job, picture.width, picture.height);
        CloseLibraryConsole(console);
        return false;
    }
    job.origin = {false, tolerance, 0, nullptr};
    quenvale::Status status = FlattenHeld(&picture, tolerance, options.meanFill, nullptr);
    ShowGridsReleased(job, picture.width, picture.height);
    CloseLibraryConsole(console);
    if (status != quenvale::StatusOk) {
        ReportCall(quenvale::FailWith(status, quenvale::ReasonNone), input, output, false);
    }
    return status == quenvale::StatusOk;
}

// A kernel on the decoded picture itself, its result (job.result) in the
// source's encoding where it can hold it, with the source's metadata.
bool KernelDecoded(const JobOptions& options, PictureJob& job, FILE* console, const std::string& input) {
    ShowGridsTaken(console, job, job.source.width, job.source.height);
    PictureError error{};
    if (!KernelOnHeld(options.filter->kernel, job.source, &job.result, &error)) {
        ReportFailure(input, error);
        return false;
    }
    job.result.iccProfile = job.source.iccProfile;
    job.result.exif = job.source.exif;
    job.result.resolution[0] = job.source.resolution[0];
    job.result.resolution[1] = job.source.resolution[1];
    return true;
}

// A PNG or JPEG decoded, filtered and written, in memory.
bool FilterInMemory(const JobOptions& options, FileFormat from, FileFormat to, PictureJob& job,
                    const std::string& outputFile, const std::string& input, const std::string& output) {
    if (!DecodeSource(options, from, input, job)) {
        return false;
    }
    PictureError error{};
    if (to == FormatBmp && !BitmapOfPictureFits(job.source, &error)) {
        ReportFailure(input, error);
        return false;
    }
    if (IsFlatten(options)) {
        if (!FlattenDecoded(options, job, input, output) ||
            !StageExtras(options, job.source, job.origin, input, output, &job.extras)) {
            return false;
        }
        return to == FormatBmp ? ReplaceOutput(
                                     options, job, outputFile, [&job, &error](FILE* stream) {
                                         return WriteBitmapOfPicture(job.source, stream, &error);
                                     }, input, output)
                               : WriteEncoded(options, to, job, job.source, outputFile, input, output);
    }
    FILE* console = OpenLibraryConsole(options, output);
    bool filtered = KernelDecoded(options, job, console, input);
    ShowGridsReleased(job, job.source.width, job.source.height);
    CloseLibraryConsole(console);
    if (filtered && to == FormatBmp && !BitmapOfPictureFits(job.result, &error)) {
        ReportFailure(input, error);
        return false;
    }
    return filtered && (to == FormatBmp ? ReplaceOutput(
                                              options, job, outputFile, [&job, &error](FILE* stream) {
                                                  return WriteBitmapOfPicture(job.result, stream, &error);
                                              }, input, output)
                                        : WriteEncoded(options, to, job, job.result, outputFile, input, output));
}

// With -v, the library's own message for a refusal of a bitmap, naming the
// path as its call would have been given it.
void PrintBitmapFailure(FILE* console, const quenvale::Failure& failure, const std::string& inputFile) {
    if (console != nullptr) {
        std::u16string wide = CallPath(inputFile, 10);
        bool outOfMemory = false;
        char* text = quenvale::ConvertPath(wide.c_str(), &outOfMemory);
        quenvale::PrintCallFailure(failure, text != nullptr ? text : inputFile.c_str(), nullptr);
        quenvale::ReleaseBytes(text);
    }
}

// A bitmap's filter run as the library's call runs it, on its pixel data in
// memory: the flatten in place, a kernel into rows of its output. *format
// and *data are the result as the call would have written it.
bool FilterBitmap(const JobOptions& options, FILE* console, PictureJob& job, const quenvale::BitmapFormat& source,
                  quenvale::RowImage* image, quenvale::KernelWork* work, quenvale::BitmapFormat* format,
                  const uint8_t** data, quenvale::Failure* failure) {
    *format = source;
    bool flatten = IsFlatten(options);
    // An RLE stream that a window kernel decodes whole is read by PrepareKernel.
    if (!flatten && !quenvale::PrepareKernel(options.filter->kernel, source, job.input, work, failure)) {
        return false;
    }
    bool rows = flatten || work->output == quenvale::OutputPalette || !quenvale::IsRle(source);
    *image = rows ? quenvale::AllocRowImage(source) : quenvale::RowImage{nullptr};
    size_t size = 0;
    bool sized = quenvale::RowImageSize(source, &size);
    if (rows && image->bytes == nullptr && (!sized || size != 0)) {
        *failure = quenvale::FailWith(quenvale::StatusOutOfMemory, quenvale::ReasonNone);
        return false;
    }
    ShowGridsTaken(console, job, source.width, source.rowCount);
    if (rows && size != 0 && !quenvale::ReadRowImage(job.input, *image, source, failure)) {
        return false;
    }
    *data = image->bytes;
    if (flatten) {
        quenvale::Picture picture{};
        quenvale::Status status = quenvale::PictureOfBitmap(source, image->bytes, &picture)
                                      ? quenvale::FlattenPicture(picture, options.call.tolerance)
                                      : quenvale::FlattenBitmap(source, image->bytes, options.call.tolerance);
        *failure = quenvale::FailWith(status, quenvale::ReasonNone);
        return status == quenvale::StatusOk;
    }
    *format = KernelResultFormat(*work);
    if (work->output != quenvale::OutputPalette && !RunKernelIntoJob(*work, image->bytes, *format, job, data)) {
        *failure = quenvale::FailWith(quenvale::StatusOutOfMemory, quenvale::ReasonNone);
        return false;
    }
    return true;
}

// A bitmap read and filtered as the library's call does it, in memory, and
// its result taken as a picture (job.result); with a console, the call's
// own text is printed there.
bool FilterBitmapToResult(const JobOptions& options, FileFormat to, PictureJob& job, FILE* console,
                          const std::string& inputFile, const std::string& input, const std::string& output) {
    quenvale::Failure failure{};
    uint8_t prefix[quenvale::kFormatPrefixBytes];
    size_t length = 0;
    quenvale::BitmapFormat source{};
    if (job.input == nullptr) {
        job.input = OpenFile(inputFile, "rb");  // for the system's reason: the sniff could not open it
        failure = quenvale::FailWithErrno(quenvale::StatusInputOpenFailed);
    }
    if (job.input == nullptr || !ReadBitmapPrefix(job.input, prefix, &length, &source, &failure)) {
        PrintBitmapFailure(console, failure, inputFile);
        CloseLibraryConsole(console);
        ReportCall(failure, input, output, false);
        return false;
    }
    PictureError error{};
    if (!WithinPixelBudget(source.width, source.rowCount, options.maxPixels, &error)) {
        CloseLibraryConsole(console);
        ReportFailure(input, error);
        return false;
    }
    if (to != FormatBmp && (source.width == 0 || source.rowCount == 0)) {
        // Refused before a walk over rows of nothing (a header may claim
        // two billion of them).
        CloseLibraryConsole(console);
        ReportFailure(quenvale::StatusUnsupported, output, "a PNG cannot hold a picture with no pixels");
        return false;
    }
    quenvale::RowImage image{nullptr};
    quenvale::KernelWork work{};
    quenvale::BitmapFormat format{};
    const uint8_t* data = nullptr;
    bool filtered = FilterBitmap(options, console, job, source, &image, &work, &format, &data, &failure);
    size_t size = 0;
    if (filtered && !quenvale::IsRle(format)) {
        size = static_cast<size_t>(format.stride * format.rowCount);
    } else if (filtered) {
        quenvale::RowImageSize(format, &size);
    }
    bool taken = filtered && PictureOfBitmapData(format, prefix, length, const_cast<uint8_t*>(data), size,
                                                 &job.result, &error);
    if (!filtered) {
        PrintBitmapFailure(console, failure, inputFile);
    }
    quenvale::ReleaseKernel(work);
    quenvale::FreeRowImage(image);
    std::free(job.filtered);
    job.filtered = nullptr;
    ShowGridsReleased(job, source.width, source.rowCount);
    CloseLibraryConsole(console);
    if (!filtered) {
        ReportCall(failure, input, output, false);
    } else if (!taken) {
        ReportFailure(output, error);
    }
    return taken;
}

// A bitmap to another format, through its result in memory.
bool BitmapToPicture(const JobOptions& options, FileFormat to, PictureJob& job, const std::string& inputFile,
                     const std::string& outputFile, const std::string& input, const std::string& output) {
    FILE* console = OpenLibraryConsole(options, output);
    return FilterBitmapToResult(options, to, job, console, inputFile, input, output) &&
           (!IsFlatten(options) || StageExtras(options, job.result, {false, options.call.tolerance, 0, nullptr}, input, output, &job.extras)) &&
           WriteEncoded(options, to, job, job.result, outputFile, input, output);
}

}  // namespace

bool BitmapExtras(const JobOptions& options, FILE* stream, const std::string& inputFile, const std::string& input,
                  const std::string& output, FlattenExtras* extras) {
    PictureJob job{};
    job.input = stream;
    // The call prints its own text; this flatten, quiet, only feeds the extras.
    quenvale::SetConsoleStream(nullptr);
    bool made = false;
    try {
        made = FilterBitmapToResult(options, FormatBmp, job, nullptr, inputFile, input, output) &&
               StageExtras(options, job.result, {false, options.call.tolerance, 0, nullptr}, input, output, &job.extras);
    } catch (const std::bad_alloc&) {
        ReportFailure(quenvale::StatusOutOfMemory, input, "not enough memory for its palette");
    }
    if (made) {
        std::swap(*extras, job.extras);  // staged: the caller's, to commit or abandon
    }  // else what was staged goes with the job
    job.input = nullptr;  // the caller's, to seek back and close
    ReleaseJob(job);
    return made;
}

bool CallThroughPictures(const JobOptions& options, FileFormat from, FileFormat to, FILE* inputStream,
                         const std::string& inputFile, const std::string& outputFile, const std::string& input,
                         const std::string& output) {
    PictureJob job{};
    job.input = inputStream;
    // A bitmap is filtered as the library's call does it, but for the mean
    // fill, the chooser and the remap, which the call does not do: then it
    // is read as a picture.
    bool done = false;
    try {
        done = from != FormatBmp || HeldOnly(options)
                   ? FilterInMemory(options, from, to, job, outputFile, input, output)
                   : BitmapToPicture(options, to, job, inputFile, outputFile, input, output);
    } catch (const std::bad_alloc&) {
        // A codec's or a palette's buffers: this file is refused, its
        // temporaries removed, and a batch goes on.
        ReportFailure(quenvale::StatusOutOfMemory, input, "not enough memory for it");
    }
    ReleaseJob(job);
    return done;
}

}  // namespace quenvale_host
