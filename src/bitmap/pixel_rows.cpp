// Pixel rows between the file (row by row, blue-green-red, padded) and the
// column-major grid. Rows move in blocks of up to 16 MiB, so that each
// column receives a long run of pixels per block rather than one: the runs,
// not the block, decide the speed of the copy (measured: 1 MiB blocks move
// rows at half the speed of 16 MiB blocks on a 6000-pixel-wide image).
#include <algorithm>
#include <cstring>

#include "bitmap.h"

namespace quenvale {

namespace {

constexpr size_t kBlockBytes = size_t{16} << 20;

// Rows per block, or 0 when a single row exceeds the block and has to move
// in pieces.
uint32_t RowsPerBlock(size_t stride, uint32_t height) {
    if (stride > kBlockBytes) {
        return 0;
    }
    return static_cast<uint32_t>(std::min<size_t>(height, kBlockBytes / stride));
}

void ScatterRows(const uint8_t* block, size_t stride, PixelGrid grid, uint32_t width, uint32_t height,
                 uint32_t firstRow, uint32_t rowCount) {
    for (uint32_t x = 0; x < width; ++x) {
        Rgb* column = GridColumn(grid, x, height) + firstRow;
        const uint8_t* source = block + 3 * size_t{x};
        for (uint32_t r = 0; r < rowCount; ++r, source += stride) {
            column[r] = Rgb{source[2], source[1], source[0]};
        }
    }
}

void GatherRows(uint8_t* block, size_t stride, PixelGrid grid, uint32_t width, uint32_t height,
                uint32_t firstRow, uint32_t rowCount) {
    for (uint32_t x = 0; x < width; ++x) {
        const Rgb* column = GridColumn(grid, x, height) + firstRow;
        uint8_t* target = block + 3 * size_t{x};
        for (uint32_t r = 0; r < rowCount; ++r, target += stride) {
            target[0] = column[r].blue;
            target[1] = column[r].green;
            target[2] = column[r].red;
        }
    }
}

}  // namespace

RowBlock AllocRowBlock(uint32_t width, uint32_t height, int32_t padding) {
    size_t stride = 3 * size_t{width} + static_cast<size_t>(padding);
    if (width == 0 || height == 0) {
        return RowBlock{static_cast<uint8_t*>(AllocateBytes(0))};  // rows of padding are never read
    }
    uint32_t rowsPerBlock = RowsPerBlock(stride, height);
    size_t size = rowsPerBlock == 0 ? kBlockBytes : rowsPerBlock * stride;
    return RowBlock{static_cast<uint8_t*>(AllocateBytes(size))};
}

void FreeRowBlock(RowBlock block) { ReleaseBytes(block.bytes); }

int32_t ReadPixelRows(FILE* input, PixelGrid grid, uint32_t width, uint32_t height, uint64_t offset,
                      int32_t padding, RowBlock rowBlock) {
    // Rows of a width-0 image are padding alone: nothing to store, and no
    // reason to walk a height of billions.
    if (width == 0 || height == 0) {
        return ResultDone;
    }
    if (!SeekFile(input, offset)) {
        return ResultInputInvalid;
    }
    size_t rowBytes = 3 * size_t{width};  // fits: the grid holds as many bytes
    size_t stride = rowBytes + static_cast<size_t>(padding);
    uint32_t rowsPerBlock = RowsPerBlock(stride, height);
    uint8_t* block = rowBlock.bytes;
    int32_t result = ResultDone;
    if (rowsPerBlock > 0) {
        for (uint32_t y = 0; y < height && result == ResultDone; y += rowsPerBlock) {
            uint32_t rows = std::min(rowsPerBlock, height - y);
            // The last row's padding may be missing from the file.
            size_t wanted = (rows - 1) * stride + rowBytes;
            size_t got = std::fread(block, 1, rows * stride, input);
            if (got < wanted) {
                result = ResultInputInvalid;
            } else {
                ScatterRows(block, stride, grid, width, height, y, rows);
            }
        }
    } else {
        uint32_t piecePixels = static_cast<uint32_t>(kBlockBytes / 3);
        for (uint32_t y = 0; y < height && result == ResultDone; ++y) {
            for (uint32_t x = 0; x < width && result == ResultDone; x += piecePixels) {
                uint32_t pixels = std::min(piecePixels, width - x);
                if (!ReadBytes(input, block, 3 * size_t{pixels})) {
                    result = ResultInputInvalid;
                    break;
                }
                for (uint32_t i = 0; i < pixels; ++i) {
                    const uint8_t* source = block + 3 * size_t{i};
                    GridColumn(grid, x + i, height)[y] = Rgb{source[2], source[1], source[0]};
                }
            }
            uint8_t skipped[4];
            if (std::fread(skipped, 1, static_cast<size_t>(padding), input) < static_cast<size_t>(padding) &&
                y + 1 < height) {
                result = ResultInputInvalid;
            }
        }
    }
    return result;
}

int32_t CopyHeaderBytes(const uint8_t* headerBytes, uint32_t count, FILE* output) {
    return WriteBytes(output, headerBytes, count) ? ResultDone : ResultOutputWriteFailed;
}

int32_t WritePixelRows(FILE* output, PixelGrid grid, uint32_t width, uint32_t height, int32_t padding,
                       RowBlock rowBlock) {
    size_t rowBytes = 3 * size_t{width};
    size_t stride = rowBytes + static_cast<size_t>(padding);
    if (height == 0 || stride == 0) {
        return ResultDone;
    }
    if (width == 0) {
        // Rows of padding alone: the file held them, so their bytes are bounded by its length.
        return WriteZeros(output, uint64_t{height} * stride) ? ResultDone : ResultOutputWriteFailed;
    }
    uint32_t rowsPerBlock = RowsPerBlock(stride, height);
    uint8_t* block = rowBlock.bytes;
    int32_t result = ResultDone;
    if (rowsPerBlock > 0) {
        // Padding bytes stay zero from here on; the pixels overwrite the rest.
        for (uint32_t r = 0; r < rowsPerBlock && padding > 0; ++r) {
            std::memset(block + r * stride + rowBytes, 0, static_cast<size_t>(padding));
        }
        for (uint32_t y = 0; y < height && result == ResultDone; y += rowsPerBlock) {
            uint32_t rows = std::min(rowsPerBlock, height - y);
            GatherRows(block, stride, grid, width, height, y, rows);
            if (!WriteBytes(output, block, rows * stride)) {
                result = ResultOutputWriteFailed;
            }
        }
    } else {
        uint32_t piecePixels = static_cast<uint32_t>(kBlockBytes / 3);
        for (uint32_t y = 0; y < height && result == ResultDone; ++y) {
            for (uint32_t x = 0; x < width && result == ResultDone; x += piecePixels) {
                uint32_t pixels = std::min(piecePixels, width - x);
                for (uint32_t i = 0; i < pixels; ++i) {
                    const Rgb& pixel = GridColumn(grid, x + i, height)[y];
                    uint8_t* target = block + 3 * size_t{i};
                    target[0] = pixel.blue;
                    target[1] = pixel.green;
                    target[2] = pixel.red;
                }
                if (!WriteBytes(output, block, 3 * size_t{pixels})) {
                    result = ResultOutputWriteFailed;
                }
            }
            if (result == ResultDone && !WriteZeros(output, static_cast<uint64_t>(padding))) {
                result = ResultOutputWriteFailed;
            }
        }
    }
    return result;
}

}  // namespace quenvale
