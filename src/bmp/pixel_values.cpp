// Pixel values of uncompressed rows and the colours they stand for: palette
// indices of 1 to 8 bits, and 16- or 32-bit words under channel masks.
#include "bmp/pixel_values.h"

namespace quenvale {

uint32_t ReadPixelValue(const uint8_t* row, uint32_t x, uint32_t bitsPerPixel) {
    switch (bitsPerPixel) {
        case 8:
            return row[x];
        case 16:
            return uint32_t{row[2 * size_t{x}]} | uint32_t{row[2 * size_t{x} + 1]} << 8;
        case 32: {
            const uint8_t* at = row + 4 * size_t{x};
            return uint32_t{at[0]} | uint32_t{at[1]} << 8 | uint32_t{at[2]} << 16 | uint32_t{at[3]} << 24;
        }
        default: {
            // Packed indices: the first pixel in a byte's high bits.
            uint64_t bit = uint64_t{x} * bitsPerPixel;
            uint32_t shift = 8 - bitsPerPixel - static_cast<uint32_t>(bit % 8);
            return row[bit / 8] >> shift & ((1u << bitsPerPixel) - 1);
        }
    }
}

void WritePixelValue(uint8_t* row, uint32_t x, uint32_t bitsPerPixel, uint32_t value) {
    switch (bitsPerPixel) {
        case 8:
            row[x] = static_cast<uint8_t>(value);
            return;
        case 16:
            row[2 * size_t{x}] = static_cast<uint8_t>(value);
            row[2 * size_t{x} + 1] = static_cast<uint8_t>(value >> 8);
            return;
        case 32: {
            uint8_t* at = row + 4 * size_t{x};
            for (int i = 0; i < 4; ++i) {
                at[i] = static_cast<uint8_t>(value >> (8 * i));
            }
            return;
        }
        default: {
            uint64_t bit = uint64_t{x} * bitsPerPixel;
            uint32_t shift = 8 - bitsPerPixel - static_cast<uint32_t>(bit % 8);
            uint32_t mask = ((1u << bitsPerPixel) - 1) << shift;
            uint8_t& byte = row[bit / 8];
            byte = static_cast<uint8_t>((byte & ~mask) | (value << shift & mask));
        }
    }
}

uint32_t WidenChannel(uint32_t value, const ChannelMask& channel) {
    if (channel.bits == 0) {
        return 0;
    }
    uint32_t v = (value & channel.mask) >> channel.shift;
    if (channel.bits >= 8) {
        return v >> (channel.bits - 8);
    }
    uint32_t wide = 0;
    for (int filled = 0; filled < 8; filled += static_cast<int>(channel.bits)) {
        wide = wide << channel.bits | v;
    }
    // The repeats fill 8 bits or more; keep the top 8 of them.
    uint32_t total = ((8 + channel.bits - 1) / channel.bits) * channel.bits;
    return wide >> (total - 8) & 0xFF;
}

uint32_t ValueColor(const BitmapFormat& format, uint32_t value) {
    if (format.encoding != EncodingMasked) {
        return value < format.paletteCount ? format.palette[value] : 0;
    }
    return WidenChannel(value, format.channels[0]) << 16 | WidenChannel(value, format.channels[1]) << 8 |
           WidenChannel(value, format.channels[2]);
}

uint8_t* VisitRow(const BitmapFormat& format, uint8_t* rows, uint32_t y) {
    uint32_t stored = format.topDown ? format.rowCount - 1 - y : y;
    return rows + static_cast<size_t>(stored * format.stride);
}

}  // namespace quenvale
