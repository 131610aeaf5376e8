// The flatten on every bitmap encoding, in place on the pixel data.
//
// Every encoding gives a pixel a value (bytes, an index, a masked word)
// and the value a colour. A visited pixel takes its founder's value: the
// value of the pixel that founded its entry (founder_table.h).
//
// Indexed, 16-bit and RLE pixels have at most 65,536 values, and pixels of
// one value share an entry. Which entry a value joins depends only on the
// order in which values first appear in the visiting order (a value keeps
// the entry it found: every later entry is younger). So one pass records
// each value's first position, a search of the values in that order maps
// them all, and a second pass rewrites the pixels.
#include <algorithm>
#include <cstring>

#include "base/memory.h"
#include "bmp/pixel_values.h"
#include "ops/flatten.h"
#include "ops/founder_table.h"

namespace quenvale {

namespace {

// A value's first pixel in the visiting order: columns outer, so the
// smallest x, then the smallest visited row.
struct FirstPositions {
    uint32_t* x;  // UINT32_MAX while the value has not appeared
    uint32_t* y;
};

// Everything the value passes hold; released together.
struct ValueWork {
    uint32_t valueCount;
    FirstPositions first;
    uint32_t* order;   // the values seen, by first position
    uint32_t* colors;  // their colours, in that order
    uint32_t* map;     // value to the value it is written as
    CellIndex* index;
    FounderTable founders;
};

void FreeValueWork(ValueWork& work) {
    ReleaseBytes(work.first.x);
    ReleaseBytes(work.first.y);
    ReleaseBytes(work.order);
    ReleaseBytes(work.colors);
    ReleaseBytes(work.map);
    FreeCellIndex(work.index);
    FreeFounderTable(work.founders);
}

bool AllocValueWork(ValueWork& work, uint32_t valueCount, int tolerance) {
    work = ValueWork{};
    work.valueCount = valueCount;
    uint32_t** arrays[] = {&work.first.x, &work.first.y, &work.order, &work.colors, &work.map};
    bool complete = true;
    for (uint32_t** array : arrays) {
        *array = AllocateArrayOf<uint32_t>(valueCount);
        complete = complete && *array != nullptr;
    }
    work.index = complete ? NewCellIndex(valueCount, tolerance, valueCount) : nullptr;
    if (!complete || work.index == nullptr ||
        !AllocFounderTable(work.founders, std::min<uint64_t>(valueCount, MaxPaletteEntries(tolerance)))) {
        FreeValueWork(work);
        return false;
    }
    std::memset(work.first.x, 0xFF, valueCount * sizeof(uint32_t));
    return true;
}

// Searches the values in the order of their first pixels and fills the
// map; false when every value that appears is written as itself, so that
// the pixels need no rewriting (a palette whose colours lie apart).
bool MapValues(const BitmapFormat& format, ValueWork& work) {
    size_t seen = 0;
    for (uint32_t value = 0; value < work.valueCount; ++value) {
        if (work.first.x[value] != UINT32_MAX) {
            work.order[seen++] = value;
        }
    }
    const FirstPositions& first = work.first;
    std::sort(work.order, work.order + seen, [&first](uint32_t a, uint32_t b) {
        return first.x[a] != first.x[b] ? first.x[a] < first.x[b] : first.y[a] < first.y[b];
    });
    uint32_t* piece = CellIndexPiece(work.index);
    for (size_t i = 0; i < seen; ++i) {
        work.colors[i] = piece[i] = ValueColor(format, work.order[i]);
    }
    FlattenPiece(*work.index, piece, seen);
    RecordFounders(work.founders, work.colors, piece, work.order, seen);
    // Masked values keep their bits outside the three channels.
    uint32_t keep = format.encoding == EncodingMasked ? ~format.colorBits : 0;
    bool changes = false;
    for (size_t i = 0; i < seen; ++i) {
        uint32_t value = work.order[i];
        work.map[value] = (FounderValue(work.founders, piece[i]) & ~keep) | (value & keep);
        changes = changes || work.map[value] != value;
    }
    return changes;
}

void SeeRows(const BitmapFormat& format, uint8_t* rows, FirstPositions& first) {
    // Locals: the stores through first would otherwise make the compiler
    // reload the format on every pixel.
    const uint32_t width = format.width;
    const uint32_t bits = format.bitsPerPixel;
    uint32_t* firstX = first.x;
    uint32_t* firstY = first.y;
    for (uint32_t y = 0; y < format.rowCount; ++y) {
        const uint8_t* row = VisitRow(format, rows, y);
        for (uint32_t x = 0; x < width; ++x) {
            uint32_t value = bits == 8    ? row[x]
                             : bits == 16 ? uint32_t{row[2 * size_t{x}]} | uint32_t{row[2 * size_t{x} + 1]} << 8
                                          : ReadPixelValue(row, x, bits);
            if (x < firstX[value]) {
                firstX[value] = x;
                firstY[value] = y;
            }
        }
    }
}

void RewriteRows(const BitmapFormat& format, uint8_t* rows, const uint32_t* map) {
    const uint32_t width = format.width;
    const uint32_t bits = format.bitsPerPixel;
    auto stride = static_cast<size_t>(format.stride);
    uint8_t bytes[256];  // the 8-bit map a byte wide: a quarter of the cache lines
    for (uint32_t value = 0; bits == 8 && value < 256; ++value) {
        bytes[value] = static_cast<uint8_t>(map[value]);
    }
    for (uint32_t y = 0; y < format.rowCount; ++y, rows += stride) {
        uint8_t* row = rows;
        if (bits == 8) {
            for (uint32_t x = 0; x < width; ++x) {
                row[x] = bytes[row[x]];
            }
        } else if (bits == 16) {
            for (uint8_t* at = row; at < row + 2 * size_t{width}; at += 2) {
                uint32_t value = map[uint32_t{at[0]} | uint32_t{at[1]} << 8];
                at[0] = static_cast<uint8_t>(value);
                at[1] = static_cast<uint8_t>(value >> 8);
            }
        } else {
            for (uint32_t x = 0; x < width; ++x) {
                WritePixelValue(row, x, bits, map[ReadPixelValue(row, x, bits)]);
            }
        }
    }
}

template <bool kFour>
inline uint32_t DistinctPixels(const RleRun& run) {
    return run.absolute ? run.count : std::min<uint32_t>(run.count, kFour ? 2 : 1);
}

inline void See(uint32_t* firstX, uint32_t* firstY, uint32_t value, uint32_t x, uint32_t y) {
    // Nearly every run comes after its value's first: keep that path straight.
    if (QUENVALE_UNLIKELY(x < firstX[value])) {
        firstX[value] = x;
        firstY[value] = y;
    }
}

template <bool kFour>
inline void SeeRun(const RleRun& run, uint32_t* firstX, uint32_t* firstY) {
    if (!run.absolute) {
        // Of an encoded run only the first pixel of each index can come first.
        See(firstX, firstY, kFour ? run.indices[0] >> 4 : run.indices[0], run.x, run.y);
        if (kFour && run.count > 1) {
            See(firstX, firstY, run.indices[0] & 0xF, run.x + 1, run.y);
        }
        return;
    }
    for (uint32_t i = 0; i < run.count; ++i) {
        See(firstX, firstY, RleRunIndex(run, kFour, i), run.x + i, run.y);
    }
}

template <bool kFour>
inline void RewriteRun(const RleRun& run, const uint32_t* map) {
    for (uint32_t i = 0, distinct = DistinctPixels<kFour>(run); i < distinct; ++i) {
        uint32_t value = map[RleRunIndex(run, kFour, i)];
        uint8_t& byte = run.indices[run.absolute ? (kFour ? i / 2 : i) : 0];
        if (!kFour) {
            byte = static_cast<uint8_t>(value);
        } else if (i % 2 == 0) {
            byte = static_cast<uint8_t>((byte & 0x0F) | value << 4);
        } else {
            byte = static_cast<uint8_t>((byte & 0xF0) | value);
        }
    }
}

template <bool kFour>
void FlattenRleStream(const BitmapFormat& format, uint8_t* stream, ValueWork& work) {
    auto length = static_cast<size_t>(format.rowsEnd - format.pixelOffset);
    uint32_t* firstX = work.first.x;
    uint32_t* firstY = work.first.y;
    WalkRleRuns<kFour>(format.width, format.rowCount, stream, length,
                       [firstX, firstY](const RleRun& run) { SeeRun<kFour>(run, firstX, firstY); });
    if (MapValues(format, work)) {
        const uint32_t* map = work.map;
        WalkRleRuns<kFour>(format.width, format.rowCount, stream, length,
                           [map](const RleRun& run) { RewriteRun<kFour>(run, map); });
    }
}

// The values of one alpha class, in the order of their first pixels, mapped
// among themselves: through the search where there are many, by the plain
// walk where few (a palette's entries of one alpha), which spares a search
// per class its storage.
bool MapClass(const BitmapFormat& format, const uint32_t* values, size_t count, int tolerance, uint32_t* map) {
    uint32_t keep = format.encoding == EncodingMasked ? ~format.colorBits : 0;
    if (count <= 1024) {
        uint32_t entries[1024];
        uint32_t founders[1024];
        size_t entryCount = 0;
        for (size_t i = 0; i < count; ++i) {
            uint32_t color = ValueColor(format, values[i]);
            size_t e = 0;
            while (e < entryCount && !WithinReach(entries[e], color, tolerance)) {
                ++e;
            }
            if (e == entryCount) {
                entries[entryCount] = color;
                founders[entryCount++] = values[i];
            }
            map[values[i]] = (founders[e] & ~keep) | (values[i] & keep);
        }
        return true;
    }
    ValueWork work{};
    if (!AllocValueWork(work, static_cast<uint32_t>(count), tolerance)) {
        return false;
    }
    uint32_t* piece = CellIndexPiece(work.index);
    for (size_t i = 0; i < count; ++i) {
        work.colors[i] = piece[i] = ValueColor(format, values[i]);
    }
    FlattenPiece(*work.index, piece, count);
    RecordFounders(work.founders, work.colors, piece, values, count);
    for (size_t i = 0; i < count; ++i) {
        map[values[i]] = (FounderValue(work.founders, piece[i]) & ~keep) | (values[i] & keep);
    }
    FreeValueWork(work);
    return true;
}

Status FlattenByValues(const BitmapFormat& format, uint8_t* pixels, int tolerance) {
    uint32_t bits = format.encoding == EncodingRle4 ? 4 : format.encoding == EncodingRle8 ? 8 : format.bitsPerPixel;
    ValueWork work;
    if (!AllocValueWork(work, uint32_t{1} << bits, tolerance)) {
        return StatusOutOfMemory;
    }
    if (format.encoding == EncodingRle4) {
        FlattenRleStream<true>(format, pixels, work);
    } else if (format.encoding == EncodingRle8) {
        FlattenRleStream<false>(format, pixels, work);
    } else {
        SeeRows(format, pixels, work.first);
        if (MapValues(format, work)) {
            RewriteRows(format, pixels, work.map);
        }
    }
    FreeValueWork(work);
    return StatusOk;
}

// 32-bit pixels have too many values for the passes above: they go through
// the search a block of whole columns at a time, in the visiting order.
Status FlattenWords(const BitmapFormat& format, uint8_t* pixels, int tolerance) {
    auto read = [&format, pixels](uint32_t x, uint32_t y, uint32_t* color, uint32_t* value) {
        *value = ReadPixelValue(VisitRow(format, pixels, y), x, 32);
        *color = ValueColor(format, *value);
        return true;
    };
    auto write = [&format, pixels](uint32_t x, uint32_t y, uint32_t founder, uint32_t own) {
        WritePixelValue(VisitRow(format, pixels, y), x, 32, (founder & format.colorBits) | (own & ~format.colorBits));
    };
    return FlattenByFounders(format.width, format.rowCount, tolerance, read, write);
}

}  // namespace

Status FlattenValuesInClasses(const BitmapFormat& format, uint8_t* pixels, int tolerance, const uint8_t* classOf) {
    ValueWork work;
    if (!AllocValueWork(work, uint32_t{1} << format.bitsPerPixel, tolerance)) {
        return StatusOutOfMemory;
    }
    SeeRows(format, pixels, work.first);
    size_t seen = 0;
    for (uint32_t value = 0; value < work.valueCount; ++value) {
        if (work.first.x[value] != UINT32_MAX) {
            work.order[seen++] = value;
        }
    }
    const FirstPositions& first = work.first;
    // By class, and within a class by first pixel.
    std::sort(work.order, work.order + seen, [&first, classOf](uint32_t a, uint32_t b) {
        if (classOf[a] != classOf[b]) {
            return classOf[a] < classOf[b];
        }
        return first.x[a] != first.x[b] ? first.x[a] < first.x[b] : first.y[a] < first.y[b];
    });
    bool mapped = true;
    for (size_t start = 0, end = 0; mapped && start < seen; start = end) {
        while (end < seen && classOf[work.order[end]] == classOf[work.order[start]]) {
            ++end;
        }
        mapped = MapClass(format, work.order + start, end - start, tolerance, work.map);
    }
    if (mapped) {
        RewriteRows(format, pixels, work.map);
    }
    FreeValueWork(work);
    return mapped ? StatusOk : StatusOutOfMemory;
}

Status FlattenBitmap(const BitmapFormat& format, uint8_t* pixels, int tolerance) {
    if (PaddingOnly(format)) {
        return StatusOk;
    }
    // 32-bit pixels holding blue, green and red in their first three bytes
    // (as ImageMagick and ffmpeg write them) go the 24-bit way, their fourth
    // byte kept: the founder's colour bits are its colour.
    bool bgrx = format.encoding == EncodingMasked && format.bitsPerPixel == 32 &&
                format.channels[0].mask == 0xFF0000 && format.channels[1].mask == 0xFF00 &&
                format.channels[2].mask == 0xFF;
    if (format.encoding == EncodingRgb24 || bgrx) {
        // The visiting order starts at the picture's bottom row.
        auto stride = static_cast<ptrdiff_t>(format.stride);
        return FlattenRows(VisitRow(format, pixels, 0), format.topDown ? -stride : stride, format.width,
                           format.rowCount, tolerance, bgrx ? 4 : 3);
    }
    return format.bitsPerPixel == 32 ? FlattenWords(format, pixels, tolerance)
                                     : FlattenByValues(format, pixels, tolerance);
}

}  // namespace quenvale
