// What the fuzz targets share: temporary files of their own, whole reads
// and writes, and a check that aborts so libFuzzer keeps the input.
#ifndef QUENVALE_FUZZ_SUPPORT_H
#define QUENVALE_FUZZ_SUPPORT_H

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "quenvale.h"
#include "sample/bitmap_writer.h"

namespace quenvale_fuzz {

inline void Check(bool condition, const char* what) {
    if (!condition) {
        std::fprintf(stderr, "invariant broken: %s\n", what);
        std::abort();
    }
}

inline std::u16string Wide(const std::string& text) { return std::u16string(text.begin(), text.end()); }

// A path of this process's own in /tmp.
inline std::string FuzzPath(const char* name) {
    return "/tmp/quenvale-fuzz-" + std::to_string(getpid()) + "-" + name;
}

inline std::vector<uint8_t> Slurp(const std::string& path) { return quenvale_writer::ReadWholeFile(path); }

inline void Spill(const std::string& path, const uint8_t* data, size_t size) {
    Check(quenvale_writer::WriteWholeFile(path, std::vector<uint8_t>(data, data + size)), "temp file");
}

// What an output holds before a call, to tell that a refusal left it alone.
constexpr char kUntouched[] = "untouched";

inline void ResetOutput(const std::string& path) {
    Spill(path, reinterpret_cast<const uint8_t*>(kUntouched), sizeof kUntouched);
}

// What a call on the fuzzer's file must leave: after a refusal, the output
// as it was; after success, the input with its pixel data replaced: the
// same bytes before it, and as long (a missing last padding is written).
// True when the call succeeded.
inline bool CheckOutcome(int32_t result, const uint8_t* data, size_t size, const std::string& outputPath) {
    std::vector<uint8_t> output = Slurp(outputPath);
    if (result == ResultInputInvalid) {
        Check(output == std::vector<uint8_t>(kUntouched, kUntouched + sizeof kUntouched), "refusal leaves output");
        return false;
    }
    Check(result == ResultDone, "only done or refused for a readable path");
    // A 12-byte header makes files shorter than 54 bytes readable: take
    // the offset alone, which every accepted file holds.
    Check(size >= 18, "accepted files hold a header");
    uint32_t offset = uint32_t{data[10]} | uint32_t{data[11]} << 8 | uint32_t{data[12]} << 16 |
                      uint32_t{data[13]} << 24;
    Check(output.size() >= size && output.size() <= size + 3, "output length");
    Check(std::memcmp(output.data(), data, offset) == 0, "header bytes carried");
    return true;
}

// The library's counter lines would drown the fuzzer's own output.
inline void MuteStandardOutput() {
    if (std::freopen("/dev/null", "w", stdout) == nullptr) {
        std::abort();
    }
}

}  // namespace quenvale_fuzz

#endif
