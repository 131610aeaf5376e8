// The kernels streamed over stored rows. Rows go through a ring of decoded
// colours as they are read (uncompressed) or decoded (RLE); each output row
// is made once the rows of its window are in the ring, and written at once.
// The colour maps on 24-bit rows, and on 32-bit rows with a byte to each
// channel, go from bytes to bytes without the ring. The row codecs and the
// window operations are kernel_parts.h's.
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <type_traits>

#include "base/file_io.h"
#include "base/memory.h"
#include "bmp/pixel_values.h"
#include "bmp/row_image.h"
#include "ops/kernel_parts.h"
#include "ops/kernel_stream.h"

namespace quenvale {

namespace {

using namespace stream;

// Rows on their way through a kernel: how many were pushed and written,
// and the first failure to write.
struct Pump {
    KernelWork* work;
    FILE* output;
    uint8_t* outRows;  // in memory: where the output's rows go instead
    Failure* failure;
    bool failed;
    uint32_t pushed;
    uint32_t emitted;
    BlurSums blur;
    uint32_t rleRow;      // RLE: the stored row being filled in inRow
};


void WriteRow(KernelWork& work, Pump& pump) {
    auto stride = static_cast<size_t>(OutputStride(work));
    if (pump.outRows != nullptr) {
        std::memcpy(pump.outRows + size_t{pump.emitted} * stride, work.outRow, stride);
        return;
    }
    if (!pump.failed && !WriteBytes(pump.output, work.outRow, stride)) {
        *pump.failure = FailWithErrno(StatusOutputWriteFailed);
        pump.failed = true;
    }
}

// Makes and writes output row t.
void Emit(KernelWork& work, Pump& pump, uint32_t t) {
    std::memset(work.outRow, 0, static_cast<size_t>(OutputStride(work)));  // what follows the pixels is zero
    MakeRowResults(work, pump.blur, t);
    EncodeRow(work, t);
    WriteRow(work, pump);
    pump.emitted = t + 1;
}

// A colour map from a row's channel bytes to the output row's, the other
// bytes of each pixel kept.
void MapRowBytes(KernelWork& work, Pump& pump, const uint8_t* row) {
    std::memset(work.outRow, 0, static_cast<size_t>(OutputStride(work)));
    const BitmapFormat& format = *work.format;
    size_t pixelBytes = format.bitsPerPixel / 8;
    std::memcpy(work.outRow, row, pixelBytes * format.width);
    work.kernel->mapBytes(work.outRow, pixelBytes, format.width, work.byteChannels);
    WriteRow(work, pump);
    pump.emitted = ++pump.pushed;
}

// Whether a colour map goes from stored value to stored value through one
// table: masked pixels of up to 16 bits.
bool MapsValues(const KernelWork& work) {
    return IsPointMap(*work.kernel) && work.format->encoding == EncodingMasked && work.format->bitsPerPixel <= 16;
}

void MapRowValues(KernelWork& work, Pump& pump, const uint8_t* row) {
    std::memset(work.outRow, 0, static_cast<size_t>(OutputStride(work)));
    const uint8_t* in = row;
    uint8_t* out = work.outRow;
    for (uint32_t x = 0; x < work.format->width; ++x, in += 2, out += 2) {
        uint32_t value = work.lookup[uint32_t{in[0]} | uint32_t{in[1]} << 8];
        out[0] = static_cast<uint8_t>(value), out[1] = static_cast<uint8_t>(value >> 8);
    }
    WriteRow(work, pump);
    pump.emitted = ++pump.pushed;
}

void PushRow(KernelWork& work, Pump& pump, const uint8_t* row, bool indices) {
    if (IsPointMap(*work.kernel) && HasByteChannels(work)) {
        MapRowBytes(work, pump, row);
        return;
    }
    if (MapsValues(work)) {
        MapRowValues(work, pump, row);
        return;
    }
    uint32_t y = pump.pushed++;
    DecodeRow(work, row, indices, y);
    if (y >= work.radius) {
        Emit(work, pump, y - work.radius);
    }
}

void FinishRows(KernelWork& work, Pump& pump) {
    while (pump.emitted < work.format->rowCount && !pump.failed) {
        Emit(work, pump, pump.emitted);
    }
}

// An RLE stream's runs, gathered into rows of one index a byte; the rows
// it never sets hold entry 0.
void GatherRun(const RleRun& run, Pump& pump) {
    KernelWork& work = *pump.work;
    while (pump.rleRow < run.y) {
        PushRow(work, pump, work.inRow, true);
        std::memset(work.inRow, 0, work.format->width);
        ++pump.rleRow;
    }
    bool four = work.format->encoding == EncodingRle4;
    for (uint32_t i = 0; i < run.count; ++i) {
        work.inRow[run.x + i] = static_cast<uint8_t>(RleRunIndex(run, four, i));
    }
}

bool PumpRle(KernelWork& work, Pump& pump) {
    const BitmapFormat& format = *work.format;
    std::memset(work.inRow, 0, format.width);
    pump.rleRow = 0;
    WalkRleStream(format, work.stream, static_cast<size_t>(format.rowsEnd - format.pixelOffset),
                  [&pump](const RleRun& run) { GatherRun(run, pump); });
    while (pump.rleRow < format.rowCount) {
        PushRow(work, pump, work.inRow, true);
        std::memset(work.inRow, 0, format.width);
        ++pump.rleRow;
    }
    return !pump.failed;
}

bool PumpRows(KernelWork& work, Pump& pump, FILE* input, uint64_t fileLength) {
    const BitmapFormat& format = *work.format;
    auto stride = static_cast<size_t>(format.stride);
    if (!SeekFile(input, format.pixelOffset)) {
        *pump.failure = FailWith(StatusInputReadFailed, ReasonReadError);
        return false;
    }
    uint64_t position = format.pixelOffset;
    for (uint32_t y = 0; y < format.rowCount && !pump.failed; ++y, position += stride) {
        // The last row's padding may be missing from the file.
        size_t held = static_cast<size_t>(std::min<uint64_t>(stride, fileLength - position));
        std::memset(work.inRow + held, 0, stride - held);
        if (!ReadBytes(input, work.inRow, held)) {
            *pump.failure = FailWith(StatusInputReadFailed, ReasonReadError);
            return false;
        }
        PushRow(work, pump, work.inRow, false);
    }
    return !pump.failed;
}

// A palette's entries mapped, every other byte of them kept.
// The palette's stored entries, as many bytes each as the format gives
// them, mapped in place: blue, green and red set, any fourth byte kept.
void MapEntryBytes(const KernelWork& work, uint8_t* entries) {
    const BitmapFormat& format = *work.format;
    for (uint32_t i = 0; i < format.paletteCount; ++i) {
        uint8_t* entry = entries + size_t{i} * format.paletteEntryBytes;
        uint32_t color = work.kernel->mapColor(format.palette[i]);
        entry[0] = static_cast<uint8_t>(color), entry[1] = static_cast<uint8_t>(color >> 8);
        entry[2] = static_cast<uint8_t>(color >> 16);
    }
}

bool WriteMappedPalette(const KernelWork& work, FILE* input, FILE* output, Failure* failure) {
    const BitmapFormat& format = *work.format;
    uint8_t entries[256 * 4];
    size_t length = size_t{format.paletteCount} * format.paletteEntryBytes;
    if (!SeekFile(input, format.paletteOffset) || !ReadBytes(input, entries, length)) {
        *failure = FailWith(StatusInputReadFailed, ReasonReadError);
        return false;
    }
    MapEntryBytes(work, entries);
    if (!WriteBytes(output, entries, length)) {
        *failure = FailWithErrno(StatusOutputWriteFailed);
        return false;
    }
    return true;
}

bool WritePaletteOutput(const KernelWork& work, FILE* input, uint64_t fileLength, FILE* output, bool inPlace,
                        Failure* failure) {
    const BitmapFormat& format = *work.format;
    uint64_t paletteEnd = format.paletteOffset + uint64_t{format.paletteCount} * format.paletteEntryBytes;
    if (inPlace) {
        if (!SeekFile(output, format.paletteOffset)) {
            *failure = FailWithErrno(StatusOutputWriteFailed);
            return false;
        }
        return WriteMappedPalette(work, input, output, failure);
    }
    return CopyFileBytes(input, 0, format.paletteOffset, output, failure) &&
           WriteMappedPalette(work, input, output, failure) &&
           CopyFileBytes(input, paletteEnd, fileLength - paletteEnd, output, failure);
}

// The header of a new uncompressed bitmap: the input's width, row order and
// resolution, and for an indexed one the input's palette.
bool WriteNewHeader(const KernelWork& work, FILE* output, Failure* failure) {
    const BitmapFormat& format = *work.format;
    uint32_t bits = OutputBits(work);
    bool indexed = work.output == OutputNewIndexed;
    uint32_t paletteBytes = indexed ? 4 * format.paletteCount : 0;
    uint64_t imageSize = OutputStride(work) * format.rowCount;
    uint8_t header[kHeaderBytes + 256 * 4] = {};
    auto put = [&](size_t at, uint64_t value, int count) {
        for (int i = 0; i < count; ++i) {
            header[at + i] = static_cast<uint8_t>(value >> (8 * i));
        }
    };
    header[0] = 'B';
    header[1] = 'M';
    put(2, kHeaderBytes + paletteBytes + imageSize, 4);
    put(10, kHeaderBytes + paletteBytes, 4);
    put(14, kInfoHeaderBytes, 4);
    put(18, format.width, 4);
    put(22, format.topDown ? 0u - format.rowCount : format.rowCount, 4);
    put(26, 1, 2);
    put(28, bits, 2);
    put(34, imageSize, 4);
    put(38, static_cast<uint32_t>(format.resolution[0]), 4);
    put(42, static_cast<uint32_t>(format.resolution[1]), 4);
    put(46, indexed && format.paletteCount < (1u << bits) ? format.paletteCount : 0, 4);
    for (uint32_t i = 0; indexed && i < format.paletteCount; ++i) {
        put(kHeaderBytes + 4 * size_t{i}, format.palette[i], 3);
    }
    if (!WriteBytes(output, header, kHeaderBytes + paletteBytes)) {
        *failure = FailWithErrno(StatusOutputWriteFailed);
        return false;
    }
    return true;
}

// Refusals that keep the work in proportion to the file: an RLE stream
// decoded into more pixels than it can describe, or a new bitmap larger
// than a bitmap holds.
bool CheckSizes(const KernelWork& work, Failure* failure) {
    const BitmapFormat& format = *work.format;
    uint64_t stream = format.rowsEnd - format.pixelOffset;
    if (IsRle(format) && work.output != OutputPalette) {
        uint64_t pixels = uint64_t{std::max<uint32_t>(format.width, 1)} * format.rowCount;
        if (pixels > 256 * stream + (uint64_t{1} << 20)) {
            *failure = FailWith(StatusUnsupported, ReasonRleTooSparse, static_cast<int64_t>(stream), format.width,
                                format.rowCount);
            return false;
        }
    }
    uint64_t outputBytes = OutputStride(work) * format.rowCount;
    if ((work.output == OutputNewRgb24 || work.output == OutputNewIndexed) && outputBytes > UINT32_MAX) {
        *failure = FailWith(StatusUnsupported, ReasonResultTooLarge, static_cast<int64_t>(outputBytes));
        return false;
    }
    return true;
}

// The ring and the rows, for every form but the palette's.
bool TakeRows(KernelWork& work, FILE* input, Failure* failure) {
    const BitmapFormat& format = *work.format;
    uint64_t ring = uint64_t{work.ringRows} * format.width;
    bool complete = true;
    auto take = [&](auto** block, uint64_t count) {
        using Element = std::remove_pointer_t<std::remove_reference_t<decltype(*block)>>;
        *block = AllocateArrayOf<Element>(count);
        complete = complete && *block != nullptr;
    };
    take(&work.inRow, (IsRle(format) ? format.width : format.stride) + 4);
    take(&work.outRow, OutputStride(work) + 4);
    if (MapsValues(work)) {
        // Each 16-bit value straight to its result's, the other bits kept.
        take(&work.lookup, 1u << 16);
        for (uint32_t value = 0; complete && value < (1u << 16); ++value) {
            uint32_t color = work.kernel->mapColor(ValueColor(format, value));
            work.lookup[value] = (value & ~format.colorBits) | work.encode[0][color >> 16] |
                                 work.encode[1][color >> 8 & 0xFF] | work.encode[2][color & 0xFF];
        }
    } else if (!(IsPointMap(*work.kernel) && HasByteChannels(work))) {
        take(&work.colors, ring);
        take(&work.results, format.width);
        bool darkest = work.kernel->window == WindowDarkest;
        if (darkest || format.encoding == EncodingMasked) {
            take(&work.values, ring);
        }
        if (darkest) {
            take(&work.sums, ring);
        }
        if (work.kernel->window != WindowNone) {
            take(&work.columns, uint64_t{format.width} * 3);
        }
        bool small = format.encoding != EncodingMasked || format.bitsPerPixel <= 16;
        if (format.encoding != EncodingRgb24 && small) {
            uint32_t count = IsRle(format) || format.bitsPerPixel <= 8 ? 256 : 1u << format.bitsPerPixel;
            take(&work.lookup, count);
            for (uint32_t value = 0; complete && value < count; ++value) {
                work.lookup[value] = ValueColor(format, value);
            }
        }
    }
    if (complete && work.columns != nullptr) {
        std::memset(work.columns, 0, size_t{format.width} * 3 * sizeof(uint32_t));
    }
    if (complete && IsRle(format)) {
        uint64_t stream = format.rowsEnd - format.pixelOffset;
        take(&work.stream, stream);
        if (complete && (!SeekFile(input, format.pixelOffset) ||
                         !ReadBytes(input, work.stream, static_cast<size_t>(stream)))) {
            *failure = FailWith(StatusInputReadFailed, ReasonReadError);
            return false;
        }
    }
    if (!complete) {
        *failure = FailWith(StatusOutOfMemory, ReasonNone);
    }
    return complete;
}

}  // namespace

KernelOutput KernelOutputOf(const Kernel& kernel, const BitmapFormat& format) {
    bool indexed = format.encoding == EncodingIndexed || IsRle(format);
    if (!indexed) {
        return OutputPixels;
    }
    switch (kernel.window) {
        case WindowNone:
            return OutputPalette;
        case WindowBlur:
            return OutputNewRgb24;
        case WindowDarkest:
            return IsRle(format) ? OutputNewIndexed : OutputPixels;
    }
    return OutputPixels;
}

bool PrepareKernel(const Kernel& kernel, const BitmapFormat& format, FILE* input, KernelWork* work,
                   Failure* failure) {
    *work = KernelWork{};
    work->kernel = &kernel;
    work->format = &format;
    work->width = format.width;
    work->height = format.rowCount;
    work->output = KernelOutputOf(kernel, format);
    work->radius = WindowRadius(kernel.window);
    // One row more than the window, so that the row leaving the blur's sums
    // is still there when the row that takes its slot arrives.
    work->ringRows = std::min<uint32_t>(2 * work->radius + 2, format.rowCount);
    if (!FindByteChannels(format, work->byteChannels)) {
        work->byteChannels[0] = work->byteChannels[1] = work->byteChannels[2] = -1;
    }
    if (format.encoding == EncodingMasked) {
        BuildEncoding(format, work->encode);
    }
    if (!CheckSizes(*work, failure)) {
        return false;
    }
    if (work->output == OutputPalette || PaddingOnly(format) || TakeRows(*work, input, failure)) {
        return true;
    }
    ReleaseKernel(*work);
    return false;
}

bool WriteKernelOutput(KernelWork& work, FILE* input, uint64_t fileLength, FILE* output, bool inPlace,
                       Failure* failure) {
    const BitmapFormat& format = *work.format;
    if (work.output == OutputPalette) {
        return WritePaletteOutput(work, input, fileLength, output, inPlace, failure);
    }
    bool newBitmap = work.output != OutputPixels;
    if (newBitmap && inPlace) {
        // A new layout cannot be written over the input it is read from;
        // the folder refused the temporary that would have taken it (the
        // pipeline adds the system's error for that).
        *failure = FailWith(StatusOutputWriteFailed, ReasonNewLayoutInPlace);
        return false;
    }
    bool started = inPlace ? SeekFile(output, format.pixelOffset)
                           : newBitmap ? WriteNewHeader(work, output, failure)
                                       : CopyHeaderBytes(input, output, format.pixelOffset, failure);
    if (!started) {
        if (inPlace) {
            *failure = FailWithErrno(StatusOutputWriteFailed);
        }
        return false;
    }
    if (PaddingOnly(format)) {
        if (!WriteZeros(output, uint64_t{format.rowCount} * OutputStride(work))) {
            *failure = FailWithErrno(StatusOutputWriteFailed);
            return false;
        }
    } else {
        Pump pump{&work, output, nullptr, failure, false, 0, 0, {0, 0}, 0};
        bool read = IsRle(format) ? PumpRle(work, pump) : PumpRows(work, pump, input, fileLength);
        if (!read) {
            return false;
        }
        FinishRows(work, pump);
        if (pump.failed) {
            return false;
        }
    }
    return newBitmap || inPlace || format.rowsEnd >= fileLength ||
           CopyFileBytes(input, format.rowsEnd, fileLength - format.rowsEnd, output, failure);
}

uint64_t KernelOutputStride(const KernelWork& work) { return OutputStride(work); }

bool RunKernelOnRows(KernelWork& work, const uint8_t* rows, uint8_t* out, Failure* failure) {
    const BitmapFormat& format = *work.format;
    if (work.output == OutputPalette || PaddingOnly(format)) {
        return true;
    }
    Pump pump{&work, nullptr, out, failure, false, 0, 0, {0, 0}, 0};
    if (IsRle(format)) {
        PumpRle(work, pump);
    } else {
        for (uint32_t y = 0; y < format.rowCount; ++y) {
            PushRow(work, pump, rows + y * static_cast<size_t>(format.stride), false);
        }
    }
    FinishRows(work, pump);
    return true;
}

bool WriteKernelHeaders(const KernelWork& work, const uint8_t* headers, FILE* output, Failure* failure) {
    const BitmapFormat& format = *work.format;
    if (work.output == OutputNewRgb24 || work.output == OutputNewIndexed) {
        return WriteNewHeader(work, output, failure);
    }
    bool written = true;
    if (work.output == OutputPalette) {
        // The input's headers with the palette's entries mapped, their other bytes kept.
        uint8_t entries[256 * 4];
        size_t length = size_t{format.paletteCount} * format.paletteEntryBytes;
        std::memcpy(entries, headers + format.paletteOffset, length);
        MapEntryBytes(work, entries);
        size_t entriesEnd = format.paletteOffset + length;
        written = WriteBytes(output, headers, format.paletteOffset) && WriteBytes(output, entries, length) &&
                  WriteBytes(output, headers + entriesEnd, format.pixelOffset - entriesEnd);
    } else {
        written = WriteBytes(output, headers, format.pixelOffset);
    }
    if (!written) {
        *failure = FailWithErrno(StatusOutputWriteFailed);
    }
    return written;
}

void MapKernelPalette(const KernelWork& work, uint32_t* palette) {
    for (uint32_t i = 0; i < work.format->paletteCount; ++i) {
        palette[i] = work.kernel->mapColor(work.format->palette[i]);
    }
}

void ReleaseKernel(KernelWork& work) {
    ReleaseBytes(work.colors);
    ReleaseBytes(work.values);
    ReleaseBytes(work.sums);
    ReleaseBytes(work.columns);
    ReleaseBytes(work.results);
    ReleaseBytes(work.lookup);
    ReleaseBytes(work.inRow);
    ReleaseBytes(work.outRow);
    ReleaseBytes(work.stream);
    work.colors = work.values = work.columns = work.results = work.lookup = nullptr;
    work.sums = nullptr;
    work.inRow = work.outRow = work.stream = nullptr;
}

}  // namespace quenvale

