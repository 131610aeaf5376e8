#ifndef QUENVALE_BENCH_LITERAL_FLATTEN_H
#define QUENVALE_BENCH_LITERAL_FLATTEN_H

namespace quenvale_bench {

// The unoptimised flatten of an ordinary bottom-up 24-bit BMP; no checks.
int LiteralFlatten(const char* inputPath, const char* outputPath);

}  // namespace quenvale_bench

#endif
