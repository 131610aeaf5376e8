// The flatten in place on rows of 3-byte pixels (blue, green, red) or
// 4-byte ones: blocks of whole columns are copied out of the rows into the
// search's piece, in the visiting order, and back, so that each row's
// memory is touched once a block rather than once a pixel.
#include <algorithm>
#include <cstring>
#include <utility>

#include "base/memory.h"
#include "ops/flatten.h"

namespace quenvale {

namespace {

// Pixels are worked on in pieces of this many, packed one to a word; a
// block of the rows may take a piece of up to kLargePiecePixels, so that it
// holds at least kBlockColumns whole columns of a tall image.
constexpr size_t kPiecePixels = size_t{1} << 16;
constexpr uint64_t kLargePiecePixels = uint64_t{1} << 22;
constexpr uint64_t kBlockColumns = 16;

#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
#define QUENVALE_BIG_ENDIAN 1
#endif

// A pixel and the byte after it as one little-endian word: rows leave room
// for the byte after the last pixel.
inline uint32_t LoadWord(const uint8_t* bytes) {
    uint32_t word;
    std::memcpy(&word, bytes, sizeof word);
#if defined(QUENVALE_BIG_ENDIAN)
    word = __builtin_bswap32(word);
#endif
    return word;
}

inline void StoreWord(uint32_t word, uint8_t* bytes) {
#if defined(QUENVALE_BIG_ENDIAN)
    word = __builtin_bswap32(word);
#endif
    std::memcpy(bytes, &word, sizeof word);
}

inline void StorePixel(uint32_t color, uint8_t* bgr) {
    bgr[0] = static_cast<uint8_t>(color);
    bgr[1] = static_cast<uint8_t>(color >> 8);
    bgr[2] = static_cast<uint8_t>(color >> 16);
}

// A row's part of a block of columns, into and out of a piece that holds
// the block column by column. Pixels are 3 bytes (blue, green, red) or 4,
// whose fourth byte (alpha, or unused) is kept.
template <int kPixelBytes>
inline void GatherRow(const uint8_t* from, uint32_t* piece, uint32_t rowCount, uint32_t columns) {
    for (uint32_t c = 0; c < columns; ++c, piece += rowCount) {
        *piece = LoadWord(from + kPixelBytes * size_t{c}) & kColorBits;
    }
}

template <int kPixelBytes>
inline void ScatterRow(const uint32_t* piece, uint8_t* to, uint32_t rowCount, uint32_t columns) {
    if (kPixelBytes == 4) {
        for (uint32_t c = 0; c < columns; ++c, piece += rowCount) {
            uint8_t* pixel = to + 4 * size_t{c};
            StoreWord((LoadWord(pixel) & ~kColorBits) | *piece, pixel);
        }
        return;
    }
    // A word's fourth byte is the next pixel's, stored over next; the last
    // pixel's is not the block's.
    for (uint32_t c = 0; c + 1 < columns; ++c, piece += rowCount) {
        StoreWord(*piece, to + 3 * size_t{c});
    }
    StorePixel(*piece, to + 3 * size_t{columns - 1});
}

// Rows lie a stride apart, too far for the hardware to fetch ahead.
inline void FetchAhead(const uint8_t* row, ptrdiff_t stride) {
#if defined(__GNUC__)
    __builtin_prefetch(row + 8 * stride);
#else
    (void)row, (void)stride;
#endif
}

// Every cache line of a row's span of bytes, further ahead: on an image
// larger than the caches every line comes from memory (measured on 384 MP:
// a tenth faster than the first line alone, 8 rows ahead).
inline void FetchSpanAhead(const uint8_t* row, size_t span, ptrdiff_t stride) {
#if defined(__GNUC__)
    const uint8_t* ahead = row + 16 * stride;
    for (size_t at = 0; at < span; at += 64) {
        __builtin_prefetch(ahead + at);
    }
    __builtin_prefetch(ahead + span - 1);
#else
    (void)row, (void)span, (void)stride;
#endif
}

// Flattens a block of columns by rows in place: copied out of the rows into
// the piece column by column, flattened in that order, and copied back.
// Each row's memory is touched once for all of the block's columns rather
// than once per pixel.
template <int kPixelBytes>
void FlattenBlock(CellIndex& index, uint8_t* first, ptrdiff_t stride, uint32_t rowCount, uint32_t columns) {
    uint32_t* piece = CellIndexPiece(&index);
    uint8_t* row = first;
    for (uint32_t r = 0; r < rowCount; ++r, row += stride) {
        FetchAhead(row, stride);
        GatherRow<kPixelBytes>(row, piece + r, rowCount, columns);
    }
    FlattenPiece(index, piece, size_t{columns} * rowCount);
    row = first;
    for (uint32_t r = 0; r < rowCount; ++r, row += stride) {
        ScatterRow<kPixelBytes>(piece + r, row, rowCount, columns);
    }
}

// Flattens a rectangle of the rows, for a full palette, where the order no
// longer matters: a row at a time, so that memory is read in its order, or
// for a narrow rectangle, many rows of it at a time.
template <int kPixelBytes>
void FlattenRectangle(CellIndex& index, uint8_t* rows, ptrdiff_t stride, uint32_t firstColumn, uint32_t endColumn,
                      uint32_t firstRow, uint32_t endRow) {
    if (firstColumn >= endColumn) {
        return;
    }
    uint32_t capacity = CellIndexCapacity(&index);
    uint32_t columns = std::min(endColumn - firstColumn, capacity);
    uint32_t blockRows = columns < 32 ? capacity / columns : 1;
    // Steps by what is left, so no count passes the ends and wraps.
    for (uint32_t y = firstRow, count = 0; y < endRow; y += count) {
        count = std::min(blockRows, endRow - y);
        for (uint32_t x = firstColumn, part = 0; x < endColumn; x += part) {
            part = std::min(columns, endColumn - x);
            FlattenBlock<kPixelBytes>(index, rows + static_cast<ptrdiff_t>(y) * stride + kPixelBytes * static_cast<ptrdiff_t>(x),
                                      stride, count, part);
        }
    }
}

// Flattens the rows block by block, in the visiting order, until the
// palette is full; the rest then goes in row order.
template <int kPixelBytes>
void FlattenColumns(CellIndex& index, uint8_t* rows, ptrdiff_t stride, uint32_t width, uint32_t height,
                    uint32_t pieceColumns, uint32_t pieceRows) {
    for (uint32_t x = 0, columns = 0; x < width; x += columns) {
        columns = std::min(pieceColumns, width - x);
        for (uint32_t y = 0, count = 0; y < height; y += count) {
            count = std::min(pieceRows, height - y);
            FlattenBlock<kPixelBytes>(index, rows + static_cast<ptrdiff_t>(y) * stride + kPixelBytes * static_cast<ptrdiff_t>(x),
                                      stride, count, columns);
            if (CellIndexFull(index)) {
                FlattenRectangle<kPixelBytes>(index, rows, stride, x, x + columns, y + count, height);
                FlattenRectangle<kPixelBytes>(index, rows, stride, x + columns, width, 0, height);
                return;
            }
        }
    }
}

// The same for blocks of whole columns, with a spare piece: between two
// blocks each row is walked once, storing the searched block's part and
// taking the next block's. The two parts share a cache line of the row,
// which is then fetched once rather than twice; on an image larger than
// the caches that is most of the flatten's memory traffic.
template <int kPixelBytes>
void FlattenWholeColumns(CellIndex& index, uint32_t* spare, uint8_t* rows, ptrdiff_t stride, uint32_t width,
                         uint32_t height, uint32_t pieceColumns) {
    uint32_t* current = CellIndexPiece(&index);
    uint32_t* next = spare;
    uint32_t columns = std::min(pieceColumns, width);
    uint8_t* row = rows;
    for (uint32_t r = 0; r < height; ++r, row += stride) {
        FetchSpanAhead(row, kPixelBytes * size_t{columns}, stride);
        GatherRow<kPixelBytes>(row, current + r, height, columns);
    }
    for (uint32_t x = 0;;) {
        FlattenPiece(index, current, size_t{columns} * height);
        uint32_t nextX = x + columns;
        bool full = CellIndexFull(index);
        uint32_t nextColumns = full ? 0 : std::min(pieceColumns, width - nextX);
        row = rows + kPixelBytes * static_cast<ptrdiff_t>(x);
        const size_t span = kPixelBytes * size_t{columns + nextColumns};
        for (uint32_t r = 0; r < height; ++r, row += stride) {
            FetchSpanAhead(row, span, stride);
            ScatterRow<kPixelBytes>(current + r, row, height, columns);
            if (nextColumns != 0) {
                GatherRow<kPixelBytes>(row + kPixelBytes * static_cast<ptrdiff_t>(columns), next + r, height, nextColumns);
            }
        }
        if (nextColumns == 0) {
            if (full) {
                FlattenRectangle<kPixelBytes>(index, rows, stride, nextX, width, 0, height);
            }
            return;
        }
        std::swap(current, next);
        x = nextX;
        columns = nextColumns;
    }
}

}  // namespace

Status FlattenRows(uint8_t* rows, ptrdiff_t stride, uint32_t width, uint32_t height, int tolerance, int pixelBytes) {
    if (width == 0 || height == 0) {
        return StatusOk;
    }
    // A block holds whole columns, as the visiting order requires; only a
    // column longer than a large piece is taken in parts. Memory hands out
    // a row's bytes a cache line at a time, so a block of a single column
    // would use 3 bytes of each: a tall image's blocks take a larger piece
    // (measured on 300 x 200000 noise: half the time of one-column blocks).
    uint64_t pieceWords = std::min(std::max<uint64_t>(kPiecePixels, kBlockColumns * height), kLargePiecePixels);
    auto pieceRows = static_cast<uint32_t>(std::min<uint64_t>(height, pieceWords));
    auto pieceColumns = static_cast<uint32_t>(std::min<uint64_t>(width, pieceWords / pieceRows));
    CellIndex* index = NewCellIndex(pieceColumns * pieceRows, tolerance, uint64_t{width} * height);
    if (index == nullptr) {
        return StatusOutOfMemory;
    }
    // A spare piece pays where blocks of whole columns follow one another;
    // without one the blocks go one at a time.
    uint32_t* spare = pieceRows == height && pieceColumns < width
                          ? AllocateArrayOf<uint32_t>(uint64_t{pieceColumns} * pieceRows)
                          : nullptr;
    if (spare != nullptr && pixelBytes == 4) {
        FlattenWholeColumns<4>(*index, spare, rows, stride, width, height, pieceColumns);
    } else if (spare != nullptr) {
        FlattenWholeColumns<3>(*index, spare, rows, stride, width, height, pieceColumns);
    } else if (pixelBytes == 4) {
        FlattenColumns<4>(*index, rows, stride, width, height, pieceColumns, pieceRows);
    } else {
        FlattenColumns<3>(*index, rows, stride, width, height, pieceColumns, pieceRows);
    }
    ReleaseBytes(spare);
    FreeCellIndex(index);
    return StatusOk;
}

}  // namespace quenvale
