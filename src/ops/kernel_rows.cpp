// The kernels' row codecs: stored rows of every encoding into the ring of
// colours, and rows of results into the output's encoding.
#include <cstring>

#include "bmp/pixel_values.h"
#include "ops/kernel_parts.h"

namespace quenvale::stream {

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

bool FindByteChannels(const BitmapFormat& format, int* positions) {
    if (format.encoding == EncodingRgb24) {
        positions[0] = 2, positions[1] = 1, positions[2] = 0;
        return true;
    }
    if (format.encoding != EncodingMasked || format.bitsPerPixel != 32) {
        return false;
    }
    for (int channel = 0; channel < 3; ++channel) {
        const ChannelMask& mask = format.channels[channel];
        if (mask.bits != 8 || mask.shift % 8 != 0) {
            return false;
        }
        positions[channel] = static_cast<int>(mask.shift / 8);
    }
    return true;
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


// Decodes a stored row (bytes as stored, or an RLE row of one index a byte)
// into its ring slot: colours, and the values and sums where kept.
void DecodeRow(KernelWork& work, const uint8_t* row, bool indices, uint32_t y) {
    const BitmapFormat& format = *work.format;
    uint32_t width = format.width;
    size_t at = RowAt(work, y);
    uint32_t* colors = work.colors + at;
    uint32_t* values = work.values != nullptr ? work.values + at : work.colors + at;
    if (indices || format.bitsPerPixel == 8) {
        for (uint32_t x = 0; x < width; ++x) {
            values[x] = row[x];
        }
    } else if (format.encoding == EncodingRgb24) {
        for (uint32_t x = 0; x < width; ++x, row += 3) {
            values[x] = uint32_t{row[2]} << 16 | uint32_t{row[1]} << 8 | row[0];
        }
    } else if (format.bitsPerPixel == 16) {
        for (uint32_t x = 0; x < width; ++x, row += 2) {
            values[x] = uint32_t{row[0]} | uint32_t{row[1]} << 8;
        }
    } else {
        for (uint32_t x = 0; x < width; ++x) {
            values[x] = ReadPixelValue(row, x, format.bitsPerPixel);
        }
    }
    if (work.lookup != nullptr) {
        for (uint32_t x = 0; x < width; ++x) {
            colors[x] = work.lookup[values[x]];
        }
    } else if (format.encoding == EncodingMasked) {
        for (uint32_t x = 0; x < width; ++x) {
            colors[x] = ValueColor(format, values[x]);
        }
    } else if (values != colors) {
        std::memcpy(colors, values, size_t{width} * sizeof(uint32_t));  // 24-bit: the value is the colour
    }
    if (work.sums != nullptr) {
        uint16_t* sums = work.sums + at;
        for (uint32_t x = 0; x < width; ++x) {
            sums[x] = static_cast<uint16_t>(ChannelSum(colors[x]));
        }
    }
}

// Writes the row of results into the output row: colours, or for the
// darkest neighbour the chosen pixels' values (ring offsets in results); a
// masked pixel keeps its other bits.
void EncodeRow(KernelWork& work, uint32_t t) {
    const BitmapFormat& format = *work.format;
    uint32_t width = format.width;
    uint8_t* row = work.outRow;
    const uint32_t* results = work.results;
    bool darkest = work.kernel->window == WindowDarkest;
    const uint32_t* centre = work.values != nullptr ? work.values + RowAt(work, t) : nullptr;
    if (work.output == OutputNewRgb24 || format.encoding == EncodingRgb24) {
        for (uint32_t x = 0; x < width; ++x, row += 3) {
            uint32_t color = darkest ? work.colors[results[x]] : results[x];
            row[0] = static_cast<uint8_t>(color), row[1] = static_cast<uint8_t>(color >> 8);
            row[2] = static_cast<uint8_t>(color >> 16);
        }
    } else if (format.encoding != EncodingMasked) {
        uint32_t bits = OutputBits(work);  // an index: the darkest neighbour's
        for (uint32_t x = 0; x < width; ++x) {
            WritePixelValue(row, x, bits, work.values[results[x]]);
        }
    } else {
        uint32_t keep = ~format.colorBits;
        for (uint32_t x = 0; x < width; ++x) {
            uint32_t color = results[x];
            uint32_t stored = darkest ? work.values[color] & format.colorBits
                                      : work.encode[0][color >> 16] | work.encode[1][color >> 8 & 0xFF] |
                                            work.encode[2][color & 0xFF];
            uint32_t value = (centre[x] & keep) | stored;
            for (uint32_t byte = 0; byte < format.bitsPerPixel / 8; ++byte) {
                *row++ = static_cast<uint8_t>(value >> (8 * byte));
            }
        }
    }
}


}  // namespace quenvale::stream
