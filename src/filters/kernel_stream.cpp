// The kernels streamed over stored rows. Rows go through a ring of decoded
// colours as they are read (uncompressed) or decoded (RLE); each output row
// is made once the rows of its window are in the ring, and written at once.
//
// The blur keeps three running sums a column over the rows of its window and
// slides a horizontal sum along them. The darkest neighbour keeps, for each
// column, the two darkest pixels of the window's rows, first visited first;
// the window's two darkest are among the five columns' pairs, and the one
// that is not the centre is the candidate.
#include <algorithm>
#include <cerrno>
#include <cstring>

#include "file_io.h"
#include "kernel_stream.h"
#include "memory.h"
#include "pixel_values.h"
#include "row_image.h"

namespace quenvale {

namespace {

constexpr uint32_t kNoSum = 0xFFFFFFFFu;

uint32_t ChannelSum(uint32_t color) { return (color >> 16) + (color >> 8 & 0xFF) + (color & 0xFF); }

uint32_t MapColor(KernelId kernel, uint32_t color) {
    switch (kernel) {
        case KernelRed:
            return color & 0xFF0000;
        case KernelGreen:
            return color & 0x00FF00;
        case KernelBlue:
            return color & 0x0000FF;
        case KernelGray:
            return ChannelSum(color) / 3 * 0x010101u;
        default:
            return ChannelSum(color) / 3 > 127 ? 0xFFFFFFu : 0;
    }
}

bool IsPointMap(KernelId kernel) { return kernel <= KernelThreshold; }

uint32_t OutputBits(const KernelWork& work) {
    if (work.output == OutputNewRgb24) {
        return 24;
    }
    const BitmapFormat& format = *work.format;
    return format.encoding == EncodingRle8 ? 8 : format.encoding == EncodingRle4 ? 4 : format.bitsPerPixel;
}

uint64_t OutputStride(const KernelWork& work) {
    if (work.output == OutputPixels) {
        return work.format->stride;
    }
    return (uint64_t{work.format->width} * OutputBits(work) + 31) / 32 * 4;
}

// The stored bits nearest to an 8-bit result, for each channel: fewer bits
// take the value whose widened colour is nearest (ties to the lower), more
// bits the value whose top 8 bits are the result.
void BuildEncoding(const BitmapFormat& format, uint32_t encode[3][256]) {
    for (int channel = 0; channel < 3; ++channel) {
        const ChannelMask& mask = format.channels[channel];
        for (uint32_t target = 0; target < 256; ++target) {
            uint32_t best = 0;
            if (mask.bits >= 8) {
                best = target << (mask.bits - 8);
            } else if (mask.bits > 0) {
                uint32_t distance = 256;
                for (uint32_t v = 0; v < (1u << mask.bits); ++v) {
                    uint32_t wide = ValueColor(format, v << mask.shift) >> (16 - 8 * channel) & 0xFF;
                    uint32_t gap = wide > target ? wide - target : target - wide;
                    if (gap < distance) {
                        distance = gap;
                        best = v;
                    }
                }
            }
            encode[channel][target] = mask.bits == 0 ? 0 : best << mask.shift;
        }
    }
}

// Rows on their way through a kernel: how many were pushed and written,
// and the first failure to write.
struct Pump {
    KernelWork* work;
    FILE* output;
    Failure* failure;
    bool failed;
    uint32_t pushed;
    uint32_t emitted;
    uint32_t summedLow;   // blur: the rows [summedLow, summedHigh) are in the column sums
    uint32_t summedHigh;
    uint32_t rleRow;      // RLE: the stored row being filled in inRow
};

uint32_t Slot(const KernelWork& work, uint32_t y) { return y % work.ringRows; }

// Decodes a stored row (bytes as stored, or an RLE row of one index a byte)
// into its ring slot.
void DecodeRow(KernelWork& work, const uint8_t* row, bool indices, uint32_t y) {
    const BitmapFormat& format = *work.format;
    size_t at = size_t{Slot(work, y)} * format.width;
    uint32_t* colors = work.colors + at;
    uint32_t* values = work.values != nullptr ? work.values + at : nullptr;
    for (uint32_t x = 0; x < format.width; ++x) {
        uint32_t value = 0;
        uint32_t color = 0;
        if (indices) {
            value = row[x];
            color = ValueColor(format, value);
        } else if (format.encoding == EncodingRgb24) {
            const uint8_t* pixel = row + 3 * size_t{x};
            value = color = uint32_t{pixel[2]} << 16 | uint32_t{pixel[1]} << 8 | pixel[0];
        } else {
            value = ReadPixelValue(row, x, format.bitsPerPixel);
            color = ValueColor(format, value);
        }
        colors[x] = color;
        if (values != nullptr) {
            values[x] = value;
        }
        if (work.sums != nullptr) {
            work.sums[at + x] = static_cast<uint16_t>(ChannelSum(color));
        }
    }
}

// A pixel's stored value where its other bits are kept (masked pixels).
uint32_t CentreValue(const KernelWork& work, uint32_t x, uint32_t t) {
    return work.values != nullptr ? work.values[size_t{Slot(work, t)} * work.format->width + x] : 0;
}

// Stores one result in the output row: its colour, or for the darkest
// neighbour the chosen pixel's value; a masked pixel keeps its other bits.
void StoreResult(const KernelWork& work, uint32_t x, uint32_t color, uint32_t centreValue, uint32_t chosenValue) {
    const BitmapFormat& format = *work.format;
    uint8_t* row = work.outRow;
    if (work.output == OutputNewRgb24 || format.encoding == EncodingRgb24) {
        uint8_t* pixel = row + 3 * size_t{x};
        pixel[0] = static_cast<uint8_t>(color);
        pixel[1] = static_cast<uint8_t>(color >> 8);
        pixel[2] = static_cast<uint8_t>(color >> 16);
        return;
    }
    uint32_t bits = OutputBits(work);
    if (format.encoding != EncodingMasked) {
        WritePixelValue(row, x, bits, chosenValue);  // an index: the darkest neighbour's
        return;
    }
    uint32_t stored = work.kernel == KernelDarkest
                          ? chosenValue & format.colorBits
                          : work.encode[0][color >> 16] | work.encode[1][color >> 8 & 0xFF] |
                                work.encode[2][color & 0xFF];
    WritePixelValue(row, x, bits, (centreValue & ~format.colorBits) | stored);
}

void Blur(KernelWork& work, Pump& pump, uint32_t t) {
    const BitmapFormat& format = *work.format;
    uint32_t width = format.width;
    uint32_t low = t >= 3 ? t - 3 : 0;
    uint32_t high = std::min<uint64_t>(uint64_t{t} + 4, format.rowCount);  // exclusive
    for (; pump.summedHigh < high; ++pump.summedHigh) {
        const uint32_t* colors = work.colors + size_t{Slot(work, pump.summedHigh)} * width;
        for (uint32_t x = 0, *sums = work.columns; x < width; ++x, sums += 3) {
            sums[0] += colors[x] >> 16, sums[1] += colors[x] >> 8 & 0xFF, sums[2] += colors[x] & 0xFF;
        }
    }
    for (; pump.summedLow < low; ++pump.summedLow) {
        const uint32_t* colors = work.colors + size_t{Slot(work, pump.summedLow)} * width;
        for (uint32_t x = 0, *sums = work.columns; x < width; ++x, sums += 3) {
            sums[0] -= colors[x] >> 16, sums[1] -= colors[x] >> 8 & 0xFF, sums[2] -= colors[x] & 0xFF;
        }
    }
    // Exact truncating division by a window of at most 49 pixels as a
    // multiply: the error stays below 1 / 49 for sums under 2^26.
    static const auto kReciprocal = [] {
        struct Table {
            uint64_t of[50];
        } table{};
        for (uint32_t d = 1; d < 50; ++d) {
            table.of[d] = ((uint64_t{1} << 32) + d - 1) / d;
        }
        return table;
    }();
    uint32_t rows = high - low;
    const uint32_t* sums = work.columns;
    uint32_t total[3] = {0, 0, 0};
    for (uint32_t x = 0; x < width && x <= 3; ++x) {
        for (int c = 0; c < 3; ++c) {
            total[c] += sums[3 * size_t{x} + c];
        }
    }
    for (uint32_t x = 0; x < width; ++x) {
        uint32_t left = x >= 3 ? x - 3 : 0;
        uint32_t right = std::min<uint64_t>(uint64_t{x} + 3, width - 1);
        uint64_t scale = kReciprocal.of[(right - left + 1) * rows];
        uint32_t color = static_cast<uint32_t>(total[0] * scale >> 32) << 16 |
                         static_cast<uint32_t>(total[1] * scale >> 32) << 8 |
                         static_cast<uint32_t>(total[2] * scale >> 32);
        StoreResult(work, x, color, CentreValue(work, x, t), 0);
        if (uint64_t{x} + 4 < width) {
            for (int c = 0; c < 3; ++c) {
                total[c] += sums[3 * (size_t{x} + 4) + c];
            }
        }
        if (x >= 3) {
            for (int c = 0; c < 3; ++c) {
                total[c] -= sums[3 * (size_t{x} - 3) + c];
            }
        }
    }
}

// A candidate of the darkest neighbour: its channel sum, column and row.
struct Candidate {
    uint32_t sum;
    uint32_t x;
    uint32_t y;
};

void Darkest(KernelWork& work, uint32_t t) {
    const BitmapFormat& format = *work.format;
    uint32_t width = format.width;
    uint32_t top = t >= 2 ? t - 2 : 0;
    uint32_t bottom = std::min<uint64_t>(uint64_t{t} + 2, format.rowCount - 1);
    // Each column's two darkest in the window's rows, the first visited
    // (the upper row) first on a tie: sum and row of each, four words.
    uint32_t* best = work.columns;
    for (uint32_t x = 0; x < width; ++x) {
        uint32_t s1 = kNoSum, y1 = 0, s2 = kNoSum, y2 = 0;
        for (uint32_t y = top; y <= bottom; ++y) {
            uint32_t s = work.sums[size_t{Slot(work, y)} * width + x];
            if (s < s1) {
                s2 = s1, y2 = y1, s1 = s, y1 = y;
            } else if (s < s2) {
                s2 = s, y2 = y;
            }
        }
        uint32_t* column = best + 4 * size_t{x};
        column[0] = s1, column[1] = y1, column[2] = s2, column[3] = y2;
    }
    size_t centreRow = size_t{Slot(work, t)} * width;
    for (uint32_t x = 0; x < width; ++x) {
        uint32_t left = x >= 2 ? x - 2 : 0;
        uint32_t right = std::min<uint64_t>(uint64_t{x} + 2, width - 1);
        // Columns in visiting order: strictly darker wins, so a tie keeps
        // the column visited first.
        Candidate first{kNoSum, 0, 0};
        Candidate second{kNoSum, 0, 0};
        for (uint32_t column = left; column <= right; ++column) {
            const uint32_t* pair = best + 4 * size_t{column};
            for (int k = 0; k < 2; ++k) {
                Candidate c{pair[2 * k], column, pair[2 * k + 1]};
                if (c.sum < first.sum) {
                    second = first;
                    first = c;
                } else if (c.sum < second.sum) {
                    second = c;
                }
            }
        }
        Candidate chosen = first.x == x && first.y == t ? second : first;
        uint32_t centreSum = work.sums[centreRow + x];
        uint32_t centreValue = work.values[centreRow + x];
        // Eligible: a sum below the centre's plus 255; else the pixel stays.
        bool eligible = chosen.sum != kNoSum && chosen.sum < centreSum + 255;
        size_t at = eligible ? size_t{Slot(work, chosen.y)} * width + chosen.x : centreRow + x;
        StoreResult(work, x, work.colors[at], centreValue, work.values[at]);
    }
}

// Makes and writes output row t.
void Emit(KernelWork& work, Pump& pump, uint32_t t) {
    const BitmapFormat& format = *work.format;
    auto stride = static_cast<size_t>(OutputStride(work));
    std::memset(work.outRow, 0, stride);  // what follows a row's last pixel is written as zeros
    if (work.kernel == KernelBlur) {
        Blur(work, pump, t);
    } else if (work.kernel == KernelDarkest) {
        Darkest(work, t);
    } else {
        const uint32_t* colors = work.colors + size_t{Slot(work, t)} * format.width;
        for (uint32_t x = 0; x < format.width; ++x) {
            StoreResult(work, x, MapColor(work.kernel, colors[x]), CentreValue(work, x, t), 0);
        }
    }
    if (!pump.failed && !WriteBytes(pump.output, work.outRow, stride)) {
        *pump.failure = FailWithErrno(StatusOutputWriteFailed);
        pump.failed = true;
    }
    pump.emitted = t + 1;
}

void PushRow(KernelWork& work, Pump& pump, const uint8_t* row, bool indices) {
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
void GatherRun(const RleRun& run, void* context) {
    auto& pump = *static_cast<Pump*>(context);
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
    WalkRleStream(format, work.stream, static_cast<size_t>(format.rowsEnd - format.pixelOffset), GatherRun, &pump);
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
bool WriteMappedPalette(const KernelWork& work, FILE* input, FILE* output, Failure* failure) {
    const BitmapFormat& format = *work.format;
    uint8_t entries[256 * 4];
    size_t length = size_t{format.paletteCount} * format.paletteEntryBytes;
    if (!SeekFile(input, format.paletteOffset) || !ReadBytes(input, entries, length)) {
        *failure = FailWith(StatusInputReadFailed, ReasonReadError);
        return false;
    }
    for (uint32_t i = 0; i < format.paletteCount; ++i) {
        uint8_t* entry = entries + size_t{i} * format.paletteEntryBytes;
        uint32_t color = MapColor(work.kernel, format.palette[i]);
        entry[0] = static_cast<uint8_t>(color), entry[1] = static_cast<uint8_t>(color >> 8);
        entry[2] = static_cast<uint8_t>(color >> 16);
    }
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

}  // namespace

KernelOutput KernelOutputOf(KernelId kernel, const BitmapFormat& format) {
    bool indexed = format.encoding == EncodingIndexed || IsRle(format);
    if (!indexed) {
        return OutputPixels;
    }
    if (IsPointMap(kernel)) {
        return OutputPalette;
    }
    if (kernel == KernelBlur) {
        return OutputNewRgb24;
    }
    return IsRle(format) ? OutputNewIndexed : OutputPixels;
}

bool PrepareKernel(KernelId kernel, const BitmapFormat& format, FILE* input, KernelWork* work, Failure* failure) {
    *work = KernelWork{};
    work->kernel = kernel;
    work->format = &format;
    work->output = KernelOutputOf(kernel, format);
    work->radius = kernel == KernelBlur ? 3 : kernel == KernelDarkest ? 2 : 0;
    // One row more than the window, so that the row leaving the blur's sums
    // is still there when the row that takes its slot arrives.
    work->ringRows = std::min<uint32_t>(2 * work->radius + 2, format.rowCount);
    if (format.encoding == EncodingMasked) {
        BuildEncoding(format, work->encode);
    }
    uint64_t stream = format.rowsEnd - format.pixelOffset;
    if (IsRle(format) && work->output != OutputPalette) {
        // The decoded rows cost work and memory in proportion to the
        // picture: it must stay within what the stream can describe.
        uint64_t pixels = uint64_t{std::max<uint32_t>(format.width, 1)} * format.rowCount;
        if (pixels > 256 * stream + (uint64_t{1} << 20)) {
            *failure = FailWith(StatusUnsupported, ReasonRleTooSparse, static_cast<int64_t>(stream), format.width,
                                format.rowCount);
            return false;
        }
    }
    uint64_t outputBytes = OutputStride(*work) * format.rowCount;
    if (work->output != OutputPixels && work->output != OutputPalette && outputBytes > UINT32_MAX) {
        *failure = FailWith(StatusUnsupported, ReasonResultTooLarge, static_cast<int64_t>(outputBytes));
        return false;
    }
    bool complete = true;
    if (work->output != OutputPalette && !PaddingOnly(format)) {
        uint64_t ring = uint64_t{work->ringRows} * format.width;
        uint64_t rowBytes = IsRle(format) ? format.width : format.stride;
        work->colors = AllocateArrayOf<uint32_t>(ring);
        work->inRow = AllocateArrayOf<uint8_t>(rowBytes + 4);
        work->outRow = AllocateArrayOf<uint8_t>(OutputStride(*work) + 4);
        complete = work->colors != nullptr && work->inRow != nullptr && work->outRow != nullptr;
        if (kernel == KernelDarkest || format.encoding == EncodingMasked) {
            work->values = AllocateArrayOf<uint32_t>(ring);
            complete = complete && work->values != nullptr;
        }
        if (kernel == KernelDarkest) {
            work->sums = AllocateArrayOf<uint16_t>(ring);
            complete = complete && work->sums != nullptr;
        }
        if (kernel == KernelBlur || kernel == KernelDarkest) {
            work->columns = AllocateArrayOf<uint32_t>(uint64_t{format.width} * 4);
            complete = complete && work->columns != nullptr;
            if (complete) {
                std::memset(work->columns, 0, size_t{format.width} * 4 * sizeof(uint32_t));
            }
        }
        if (complete && IsRle(format)) {
            work->stream = AllocateArrayOf<uint8_t>(stream);
            complete = work->stream != nullptr;
            if (complete && (!SeekFile(input, format.pixelOffset) ||
                             !ReadBytes(input, work->stream, static_cast<size_t>(stream)))) {
                ReleaseKernel(*work);
                *failure = FailWith(StatusInputReadFailed, ReasonReadError);
                return false;
            }
        }
    }
    if (!complete) {
        ReleaseKernel(*work);
        *failure = FailWith(StatusOutOfMemory, ReasonNone);
        return false;
    }
    return true;
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
        // the folder refused the temporary that would have taken it.
        *failure = FailWith(StatusOutputWriteFailed, ReasonNone);
        failure->systemError = EACCES;
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
        Pump pump{&work, output, failure, false, 0, 0, 0, 0, 0};
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

void ReleaseKernel(KernelWork& work) {
    ReleaseBytes(work.colors);
    ReleaseBytes(work.values);
    ReleaseBytes(work.sums);
    ReleaseBytes(work.columns);
    ReleaseBytes(work.inRow);
    ReleaseBytes(work.outRow);
    ReleaseBytes(work.stream);
    work.colors = work.values = work.columns = nullptr;
    work.sums = nullptr;
    work.inRow = work.outRow = work.stream = nullptr;
}

}  // namespace quenvale
