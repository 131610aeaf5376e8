// What the fuzz targets share: temporary files of their own, whole reads
// and writes, and a check that aborts so libFuzzer keeps the input.
#ifndef QUENVALE_FUZZ_SUPPORT_H
#define QUENVALE_FUZZ_SUPPORT_H

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

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

inline std::vector<uint8_t> Slurp(const std::string& path) {
    std::vector<uint8_t> bytes;
    FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) {
        return bytes;
    }
    uint8_t buffer[65536];
    size_t got;
    while ((got = std::fread(buffer, 1, sizeof buffer, file)) > 0) {
        bytes.insert(bytes.end(), buffer, buffer + got);
    }
    std::fclose(file);
    return bytes;
}

inline void Spill(const std::string& path, const uint8_t* data, size_t size) {
    FILE* file = std::fopen(path.c_str(), "wb");
    Check(file != nullptr && std::fwrite(data, 1, size, file) == size && std::fclose(file) == 0, "temp file");
}

// The library's counter lines would drown the fuzzer's own output.
inline void MuteStandardOutput() {
    if (std::freopen("/dev/null", "w", stdout) == nullptr) {
        std::abort();
    }
}

}  // namespace quenvale_fuzz

#endif
