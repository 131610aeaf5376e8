// libFuzzer target: the fuzzer's bytes as an input file, through the whole
// call (header checks, row reading, flatten, writing), with the invariants
// that hold for every input checked after each run.
#include <cstring>

#include "bitmap.h"
#include "fuzz_support.h"
#include "quenvale.h"

namespace {

using quenvale_fuzz::Check;

std::string inputPath;
std::string outputPath;
std::u16string wideInput;
std::u16string wideOutput;
const char kUntouched[] = "untouched";

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    quenvale_fuzz::MuteStandardOutput();
    inputPath = quenvale_fuzz::FuzzPath("in.bmp");
    outputPath = quenvale_fuzz::FuzzPath("out.bmp");
    wideInput = quenvale_fuzz::Wide(inputPath);
    wideOutput = quenvale_fuzz::Wide(outputPath);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    quenvale_fuzz::Spill(inputPath, data, size);
    quenvale_fuzz::Spill(outputPath, reinterpret_cast<const uint8_t*>(kUntouched), sizeof kUntouched);
    quenvale::ResetPeakAllocatedBytes();
    int64_t counter = quenvale::AllocationCounter();
    int32_t result = Quenvale(wideInput.c_str(), wideOutput.c_str());
    Check(quenvale::AllocationCounter() == counter, "counter back where it was");
    // The pixel data, the bytes around it and the search's tables: about
    // twice the input plus a constant.
    Check(quenvale::PeakAllocatedBytes() <= 2 * uint64_t{size} + (uint64_t{18} << 20), "allocation bounded by input");
    std::vector<uint8_t> output = quenvale_fuzz::Slurp(outputPath);
    if (result == ResultInputInvalid) {
        Check(output == std::vector<uint8_t>(kUntouched, kUntouched + sizeof kUntouched), "refusal leaves output");
        return 0;
    }
    Check(result == ResultDone, "only done or refused for a readable path");
    // The output is the input with its rows replaced: same bytes before the
    // rows and after them, and as long (a missing last padding is written).
    // A 12-byte header makes files shorter than 54 bytes readable: take
    // the offset alone, which every accepted file holds.
    Check(size >= 18, "accepted files hold a header");
    uint32_t offset = uint32_t{data[10]} | uint32_t{data[11]} << 8 | uint32_t{data[12]} << 16 |
                      uint32_t{data[13]} << 24;
    Check(output.size() >= size && output.size() <= size + 3, "output length");
    Check(std::memcmp(output.data(), data, offset) == 0, "header bytes carried");
    return 0;
}
