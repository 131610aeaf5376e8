// One call: read the whole input, filter, then write. Everything that can be
// refused is refused before the output is opened, and nothing is read from
// the input after it is opened, so input and output may name the same file.
//
// A grid filter reads a source grid and fills a destination grid; a row
// filter works in place on the rows as the file stores them, and the call
// then counts the two grids it stands in for.
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
    BitmapHeader* header;
    RowLayout rows;
    GridFilter gridFilter;  // exactly one of the two filters is set
    RowFilter rowFilter;
    PixelGrid source;
    PixelGrid destination;
    RowImage image;  // once taken, the two grids it stands in for are counted
    uint8_t* headerBytes;  // the input's bytes before the rows
    uint8_t* tailBytes;    // the input's bytes after the rows
    size_t tailLength;
    RowBlock rowBlock;
};

void ReleaseCall(Call& call) {
    ReleaseBytes(call.inputText);
    ReleaseBytes(call.nameText);
    ReleaseBytes(call.headerBytes);
    ReleaseBytes(call.tailBytes);
    FreeRowBlock(call.rowBlock);
    FreePixelGrid(call.source, call.rows.width, call.rows.rowCount);
    FreePixelGrid(call.destination, call.rows.width, call.rows.rowCount);
    if (call.image.bytes != nullptr) {
        FreeRowImage(call.image);
        UncountPixelGrid(call.rows.width, call.rows.rowCount);
        UncountPixelGrid(call.rows.width, call.rows.rowCount);
    }
    ReleaseBytes(call.header);
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

// Reads the header bytes, the rows and the tail; the header has passed its checks.
int32_t ReadInput(Call& call, uint64_t fileLength) {
    const RowLayout& rows = call.rows;
    uint32_t offset = call.header->pixelOffset;
    uint64_t tailStart = rows.rowsEnd < fileLength ? rows.rowsEnd : fileLength;
    call.tailLength = static_cast<size_t>(fileLength - tailStart);  // at most the file's length
    call.headerBytes = static_cast<uint8_t*>(AllocateBytes(offset));
    call.tailBytes = static_cast<uint8_t*>(AllocateBytes(call.tailLength));
    if (call.gridFilter != nullptr) {
        call.rowBlock = AllocRowBlock(rows.width, rows.rowCount, rows.padding);
    }
    if (call.headerBytes == nullptr || call.tailBytes == nullptr ||
        (call.gridFilter != nullptr && call.rowBlock.bytes == nullptr)) {
        return ResultOutOfMemory;
    }
    if (!SeekFile(call.input, 0) || !ReadBytes(call.input, call.headerBytes, offset)) {
        return ResultInputInvalid;
    }
    int32_t result = call.gridFilter != nullptr
                         ? ReadPixelRows(call.input, call.source, rows.width, rows.rowCount, offset, rows.padding,
                                         call.rowBlock)
                         : ReadRowImage(call.input, call.image, rows.width, rows.rowCount, offset, rows.padding);
    if (result != ResultDone) {
        return result;
    }
    if (!SeekFile(call.input, tailStart) || !ReadBytes(call.input, call.tailBytes, call.tailLength)) {
        return ResultInputInvalid;
    }
    return ResultDone;
}

int32_t WriteOutput(Call& call, FILE* output) {
    int32_t result = CopyHeaderBytes(call.headerBytes, call.header->pixelOffset, output);
    const RowLayout& rows = call.rows;
    if (result == ResultDone) {
        result = call.gridFilter != nullptr
                     ? WritePixelRows(output, call.destination, rows.width, rows.rowCount, rows.padding, call.rowBlock)
                     : WriteRowImage(output, call.image, rows.width, rows.rowCount, rows.padding);
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

// Takes the pixels' storage: two grids, or the row image and its count.
int32_t AllocPixels(Call& call) {
    const RowLayout& rows = call.rows;
    if (call.gridFilter != nullptr) {
        call.source = AllocPixelGrid(rows.width, rows.rowCount);
        if (call.source.pixels == nullptr) {
            return ResultOutOfMemory;
        }
        call.destination = AllocPixelGrid(rows.width, rows.rowCount);
        return call.destination.pixels == nullptr ? ResultOutOfMemory : ResultDone;
    }
    call.image = AllocRowImage(rows.width, rows.rowCount, rows.padding);
    if (call.image.bytes == nullptr) {
        return ResultOutOfMemory;
    }
    CountPixelGrid(rows.width, rows.rowCount);
    CountPixelGrid(rows.width, rows.rowCount);
    return ResultDone;
}

int32_t Filter(Call& call) {
    const RowLayout& rows = call.rows;
    if (call.gridFilter != nullptr) {
        return call.gridFilter(call.source, call.destination, rows.width, rows.rowCount);
    }
    return call.rowFilter(call.image.bytes, static_cast<size_t>(rows.stride), rows.width, rows.rowCount);
}

int32_t Run(const char16_t* inputPath, const char16_t* outputPath, GridFilter gridFilter, RowFilter rowFilter) {
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
    call.header = static_cast<BitmapHeader*>(AllocateBytes(sizeof(BitmapHeader)));
    if (call.header == nullptr) {
        return OutOfMemory(call);
    }
    uint64_t fileLength = 0;
    if (!RegularFileLength(call.input, &fileLength)) {
        return Refuse(call, "not a regular file");
    }
    char reason[96];
    ReadBitmapHeader(call.input, call.header);
    if (!CheckBitmapHeader(*call.header, fileLength, &call.rows, reason, sizeof reason)) {
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

int32_t RunPipeline(const char16_t* inputPath, const char16_t* outputPath, GridFilter filter) {
    return Run(inputPath, outputPath, filter, nullptr);
}

int32_t RunRowPipeline(const char16_t* inputPath, const char16_t* outputPath, RowFilter filter) {
    return Run(inputPath, outputPath, nullptr, filter);
}

}  // namespace quenvale
