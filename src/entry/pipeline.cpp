// One call: read the pixel data, filter, then write. Everything that can be
// refused is refused before the output is opened, and the output replaces
// its path only once complete, so input and output may name the same file.
//
// The pixel data is read as the file stores it. A row filter works on it in
// place, and the call counts the two grids it stands in for; a grid filter
// gets the pixels copied into a source grid and its destination grid's
// copied back.
#include <algorithm>
#include <cerrno>
#include <cstring>

#include "entry.h"

namespace quenvale {

namespace {

// Everything one call holds; released by ReleaseCall in a fixed order.
struct Call {
    char* inputText;
    char* outputText;
    FILE* input;
    BitmapFormat* format;
    const NamedFilter* gridFilter;  // exactly one of the two filters is set
    RowFilter rowFilter;
    PixelGrid source;
    PixelGrid destination;
    RowImage image;  // the pixel data; once taken, a row filter's call counts the two grids
    uint64_t fileLength;
    OutputFile output;
    const CallOptions* options;
    CallReport* report;
};

void ReleaseCall(Call& call) {
    AbandonOutput(call.output);
    ReleaseBytes(call.inputText);
    FreeRowImage(call.image);
    if (call.format != nullptr) {
        FreePixelGrid(call.source, call.format->width, call.format->rowCount);
        FreePixelGrid(call.destination, call.format->width, call.format->rowCount);
        if (call.rowFilter != nullptr && call.image.bytes != nullptr) {
            UncountPixelGrid(call.format->width, call.format->rowCount);
            UncountPixelGrid(call.format->width, call.format->rowCount);
        }
    }
    ReleaseBytes(call.format);
    if (call.input != nullptr) {
        std::fclose(call.input);
    }
    ReleaseBytes(call.outputText);
}

int32_t Finish(Call& call, int32_t result) {
    ReleaseCall(call);
    return result;
}

int32_t OutOfMemory(Call& call) {
    PrintText("Not enough memory for ");
    PrintText(call.inputText == nullptr ? "" : call.inputText);
    if (call.report != nullptr) {
        std::snprintf(call.report->reason, sizeof call.report->reason, "not enough memory");
    }
    return Finish(call, ResultOutOfMemory);
}

int32_t Refuse(Call& call, const char* reason) {
    PrintText("Could not read ");
    PrintText(call.inputText);
    PrintText(": ");
    PrintText(reason);
    if (call.report != nullptr) {
        std::snprintf(call.report->reason, sizeof call.report->reason, "%s", reason);
    }
    return Finish(call, ResultInputInvalid);
}

int32_t WriteFailed(Call& call, int systemError) {
    PrintText("Could not write ");
    PrintText(call.outputText);
    if (call.report != nullptr) {
        call.report->systemError = systemError;
    }
    return Finish(call, ResultOutputWriteFailed);
}

// Reads the file's first bytes and decides whether the pixels can be read.
bool ReadFormat(Call& call, uint64_t fileLength, char* reason, size_t reasonSize) {
    uint8_t prefix[kFormatPrefixBytes];
    size_t length = static_cast<size_t>(std::min<uint64_t>(fileLength, sizeof prefix));
    if (!SeekFile(call.input, 0) || !ReadBytes(call.input, prefix, length)) {
        std::snprintf(reason, reasonSize, "read error");
        return false;
    }
    if (!ParseBitmapFormat(prefix, length, fileLength, call.format, reason, reasonSize)) {
        return false;
    }
    if (call.gridFilter != nullptr && !GridFilterAccepts(*call.format)) {
        const BitmapFormat& format = *call.format;
        std::snprintf(reason, reasonSize,
                      "the %s filter takes 24-bit bitmaps and 32-bit ones with 8-bit channels, not %u bits per "
                      "pixel%s",
                      call.gridFilter->name, static_cast<unsigned>(format.bitsPerPixel),
                      IsRle(format) ? " RLE-compressed" : format.bitsPerPixel == 32 ? " with these masks" : "");
        return false;
    }
    return true;
}

// The input's bytes with the pixel data replaced: those before it and
// after it are copied in pieces, never held whole.
int32_t WriteOutput(Call& call) {
    const BitmapFormat& format = *call.format;
    FILE* output = call.output.stream;
    if (call.output.inPlace) {
        return SeekFile(output, format.pixelOffset) ? WriteRowImage(output, call.image, format)
                                                     : ResultOutputWriteFailed;
    }
    int32_t result = CopyHeaderBytes(call.input, output, format.pixelOffset);
    if (result == ResultDone) {
        result = WriteRowImage(output, call.image, format);
    }
    if (result == ResultDone && format.rowsEnd < call.fileLength) {
        result = CopyFileBytes(call.input, format.rowsEnd, call.fileLength - format.rowsEnd, output);
    }
    return result;
}

// Takes the pixels' storage: the pixel data, and two grids or their count.
int32_t AllocPixels(Call& call) {
    const BitmapFormat& format = *call.format;
    call.image = AllocRowImage(format);
    if (call.image.bytes == nullptr) {
        return ResultOutOfMemory;
    }
    if (call.gridFilter != nullptr) {
        call.source = AllocPixelGrid(format.width, format.rowCount);
        if (call.source.pixels == nullptr) {
            return ResultOutOfMemory;
        }
        call.destination = AllocPixelGrid(format.width, format.rowCount);
        return call.destination.pixels == nullptr ? ResultOutOfMemory : ResultDone;
    }
    CountPixelGrid(format.width, format.rowCount);
    CountPixelGrid(format.width, format.rowCount);
    return ResultDone;
}

int32_t Filter(Call& call) {
    const BitmapFormat& format = *call.format;
    if (call.gridFilter == nullptr) {
        return call.rowFilter(format, call.image.bytes, call.options->tolerance);
    }
    RowsToGrid(format, call.image.bytes, call.source);
    int32_t result = call.gridFilter->filter(call.source, call.destination, format.width, format.rowCount);
    if (result == ResultDone) {
        GridToRows(format, call.destination, call.image.bytes);
    }
    return result;
}

int32_t Run(const char16_t* inputPath, const char16_t* outputPath, const NamedFilter* gridFilter,
            RowFilter rowFilter, const CallOptions& options, CallReport* report) {
    Call call{};
    call.gridFilter = gridFilter;
    call.rowFilter = rowFilter;
    call.options = &options;
    call.report = report;
    if (report != nullptr) {
        *report = CallReport{};
    }
    bool outOfMemory = false;
    call.inputText = ConvertPath(inputPath == nullptr ? u"" : inputPath, &outOfMemory);
    if (outOfMemory) {
        return OutOfMemory(call);
    }
    if (std::strlen(call.inputText) < 10) {
        return Finish(call, ResultPathTooShort);
    }
    call.input = OpenInputPath(inputPath, call.inputText);
    if (call.input == nullptr) {
        if (report != nullptr) {
            report->systemError = errno;
        }
        PrintText("Oof, the file failed to open, please try again");
        return Finish(call, ResultInputOpenFailed);
    }
    call.format = static_cast<BitmapFormat*>(AllocateBytes(sizeof(BitmapFormat)));
    if (call.format == nullptr) {
        return OutOfMemory(call);
    }
    if (!RegularFileLength(call.input, &call.fileLength)) {
        return Refuse(call, "not a regular file");
    }
    char reason[160];
    if (!ReadFormat(call, call.fileLength, reason, sizeof reason)) {
        return Refuse(call, reason);
    }
    if (AllocPixels(call) != ResultDone) {
        return OutOfMemory(call);
    }
    int32_t result = ReadRowImage(call.input, call.image, *call.format);
    if (result == ResultInputInvalid) {
        return Refuse(call, "read error");
    }
    // Filtering before the output is opened means a filter that runs out of
    // memory leaves the output as it was.
    if (result == ResultDone) {
        result = Filter(call);
    }
    if (result == ResultDone) {
        call.outputText = ConvertPath(outputPath, &outOfMemory);
        result = outOfMemory ? ResultOutOfMemory : ResultDone;
    }
    int systemError = 0;
    if (result == ResultDone) {
        result = OpenOutput(outputPath, call.outputText, call.input, &call.output, &systemError);
    }
    if (result == ResultOutOfMemory) {
        return OutOfMemory(call);
    }
    if (result == ResultOutputOpenFailed) {
        PrintText("Could not open ");
        PrintText(call.outputText == nullptr ? "" : call.outputText);
        PrintText(" for writing");
        if (report != nullptr) {
            report->systemError = systemError;
        }
        return Finish(call, ResultOutputOpenFailed);
    }
    if (result == ResultOutputWriteFailed) {
        return WriteFailed(call, systemError);  // no temporary could be made: the output is untouched
    }
    result = WriteOutput(call);
    if (result == ResultInputInvalid) {
        return Refuse(call, "read error");
    }
    if (result != ResultDone) {
        return WriteFailed(call, errno);
    }
    // The input is closed first: Windows replaces no file that is open.
    std::fclose(call.input);
    call.input = nullptr;
    if (!CommitOutput(call.output, options.sync, &systemError)) {
        return WriteFailed(call, systemError);
    }
    return Finish(call, ResultDone);
}

const CallOptions kExportedOptions = {false, kColorTolerance};

}  // namespace

int32_t RunPipeline(const char16_t* inputPath, const char16_t* outputPath, const NamedFilter& filter) {
    return Run(inputPath, outputPath, &filter, nullptr, kExportedOptions, nullptr);
}

int32_t RunRowPipeline(const char16_t* inputPath, const char16_t* outputPath, RowFilter filter) {
    return Run(inputPath, outputPath, nullptr, filter, kExportedOptions, nullptr);
}

int32_t RunHostCall(const char16_t* inputPath, const char16_t* outputPath, const NamedFilter* filter,
                    const CallOptions& options, CallReport* report) {
    return filter == nullptr ? Run(inputPath, outputPath, nullptr, FlattenBitmap, options, report)
                             : Run(inputPath, outputPath, filter, nullptr, options, report);
}

}  // namespace quenvale
