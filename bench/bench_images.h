// Images for the benchmarks, written as BMP files.
#ifndef QUENVALE_BENCH_IMAGES_H
#define QUENVALE_BENCH_IMAGES_H

#include <cstdint>
#include <string>

namespace quenvale_bench {

// A photo-like picture: ImageMagick's plasma fractal when convert is
// installed, else smooth value noise of our own.
bool WritePhoto(const std::string& path, uint32_t width, uint32_t height);
// Every channel of every pixel uniformly random.
bool WriteNoise(const std::string& path, uint32_t width, uint32_t height);
// Worst case for a linear palette walk: the 2197 colours of the 21-step
// lattice come first in visiting order, then every other pixel holds the
// youngest, so each pixel passes every entry.
bool WriteAdversarial(const std::string& path, uint32_t width, uint32_t height);

// The photo-like picture as an 8-bit palette file (a colour cube), and as
// 16-bit 5-6-5 bit fields.
bool WritePalette8(const std::string& path, uint32_t width, uint32_t height);
bool WriteRgb565(const std::string& path, uint32_t width, uint32_t height);
// The palette picture as RLE8: a run for each stretch of one index, a line
// end after each row.
bool WriteRle8(const std::string& path, uint32_t width, uint32_t height);
// The photo-like picture as 32-bit BGRA bit fields with an opaque alpha in
// a 124-byte header, as ImageMagick writes every picture with alpha.
bool WritePhoto32(const std::string& path, uint32_t width, uint32_t height);

}  // namespace quenvale_bench

#endif
