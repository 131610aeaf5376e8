// One call: read the whole input, filter, then write. Everything that can be
// refused is refused before the output is opened, and nothing is read from
// the input after it is opened, so input and output may name the same file.
//
// The pixel data is read as the file stores it. A row filter works on it in
// place, and the call counts the two grids it stands in for; a grid filter
// gets the pixels copied into a source grid and its destination grid's
// copied back.
#include <algorithm>
#include <cstring>

#include "entry.h"

namespace quenvale {

namespace {

// Everything one call holds; released by ReleaseCall in a fixed order.
struct Call {
    char* inputText;
    char* nameText;
    char* outputText;
    FILE* input;
    BitmapFormat* format;
    const NamedFilter* gridFilter;  // exactly one of the two filters is set
    RowFilter rowFilter;
    PixelGrid source;
    PixelGrid destination;
    RowImage image;        // the pixel data; once taken, a row filter's call counts the two grids
    uint8_t* headerBytes;  // the input's bytes before the pixel data
    uint8_t* tailBytes;    // the input's bytes after it
    size_t tailLength;
};

void ReleaseCall(Call& call) {
    ReleaseBytes(call.inputText);
    ReleaseBytes(call.nameText);
    ReleaseBytes(call.headerBytes);
    ReleaseBytes(call.tailBytes);
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
    return Finish(call, ResultOutOfMemory);
}

int32_t Refuse(Call& call, const char* reason) {
    PrintText("Could not read ");
    PrintText(call.inputText);
    PrintText(": ");
    PrintText(reason);
    return Finish(call, ResultInputInvalid);
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

// Reads the header bytes, the pixel data and the tail; the format has passed its checks.
int32_t ReadInput(Call& call, uint64_t fileLength) {
    const BitmapFormat& format = *call.format;
    uint32_t offset = format.pixelOffset;
    uint64_t tailStart = format.rowsEnd < fileLength ? format.rowsEnd : fileLength;
    call.tailLength = static_cast<size_t>(fileLength - tailStart);  // at most the file's length
    call.headerBytes = static_cast<uint8_t*>(AllocateBytes(offset));
    call.tailBytes = static_cast<uint8_t*>(AllocateBytes(call.tailLength));
    if (call.headerBytes == nullptr || call.tailBytes == nullptr) {
        return ResultOutOfMemory;
    }
    if (!SeekFile(call.input, 0) || !ReadBytes(call.input, call.headerBytes, offset)) {
        return ResultInputInvalid;
    }
    int32_t result = ReadRowImage(call.input, call.image, format);
    if (result != ResultDone) {
        return result;
    }
    if (!SeekFile(call.input, tailStart) || !ReadBytes(call.input, call.tailBytes, call.tailLength)) {
        return ResultInputInvalid;
    }
    return ResultDone;
}

int32_t WriteOutput(Call& call, FILE* output) {
    int32_t result = CopyHeaderBytes(call.headerBytes, call.format->pixelOffset, output);
    if (result == ResultDone) {
        result = WriteRowImage(output, call.image, *call.format);
    }
    if (result == ResultDone && !WriteBytes(output, call.tailBytes, call.tailLength)) {
        result = ResultOutputWriteFailed;
    }
    // A full disk often shows only when the buffered bytes are flushed.
    if (std::fclose(output) != 0 && result == ResultDone) {
        result = ResultOutputWriteFailed;
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
        return call.rowFilter(format, call.image.bytes);
    }
    RowsToGrid(format, call.image.bytes, call.source);
    int32_t result = call.gridFilter->filter(call.source, call.destination, format.width, format.rowCount);
    if (result == ResultDone) {
        GridToRows(format, call.destination, call.image.bytes);
    }
    return result;
}

int32_t Run(const char16_t* inputPath, const char16_t* outputPath, const NamedFilter* gridFilter,
            RowFilter rowFilter) {
    Call call{};
    call.gridFilter = gridFilter;
    call.rowFilter = rowFilter;
    bool outOfMemory = false;
    call.inputText = ConvertPath(inputPath == nullptr ? u"" : inputPath, &outOfMemory);
    if (outOfMemory) {
        return OutOfMemory(call);
    }
    if (std::strlen(call.inputText) < 10) {
        return Finish(call, ResultPathTooShort);
    }
    call.input = OpenPath(inputPath, call.inputText, "rb");
    if (call.input == nullptr) {
        PrintText("Oof, the file failed to open, please try again");
        return Finish(call, ResultInputOpenFailed);
    }
    call.format = static_cast<BitmapFormat*>(AllocateBytes(sizeof(BitmapFormat)));
    if (call.format == nullptr) {
        return OutOfMemory(call);
    }
    uint64_t fileLength = 0;
    if (!RegularFileLength(call.input, &fileLength)) {
        return Refuse(call, "not a regular file");
    }
    char reason[160];
    if (!ReadFormat(call, fileLength, reason, sizeof reason)) {
        return Refuse(call, reason);
    }
    if (AllocPixels(call) != ResultDone) {
        return OutOfMemory(call);
    }
    int32_t result = ReadInput(call, fileLength);
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
        call.nameText = outOfMemory ? nullptr : ComposeNameText(call.outputText);
        if (call.nameText == nullptr) {
            result = ResultOutOfMemory;
        }
    }
    if (result == ResultOutOfMemory) {
        return OutOfMemory(call);
    }
    FILE* output = OpenPath(outputPath, call.outputText, "wb");
    if (output == nullptr) {
        PrintText("Could not open ");
        PrintText(call.nameText);
        PrintText(" for writing");
        return Finish(call, ResultOutputOpenFailed);
    }
    result = WriteOutput(call, output);
    if (result != ResultDone) {
        PrintText("Could not write ");
        PrintText(call.outputText);
        return Finish(call, ResultOutputWriteFailed);
    }
    return Finish(call, ResultDone);
}

}  // namespace

int32_t RunPipeline(const char16_t* inputPath, const char16_t* outputPath, const NamedFilter& filter) {
    return Run(inputPath, outputPath, &filter, nullptr);
}

int32_t RunRowPipeline(const char16_t* inputPath, const char16_t* outputPath, RowFilter filter) {
    return Run(inputPath, outputPath, nullptr, filter);
}

}  // namespace quenvale
