// libFuzzer target: the fuzzer's bytes as an input file, through the whole
// call (header checks, row reading, flatten, writing), with the invariants
// that hold for every input checked after each run.
#include "bmp/bitmap.h"
#include "fuzz_support.h"
#include "quenvale.h"

namespace {

using quenvale_fuzz::Check;

std::string inputPath;
std::string outputPath;
std::u16string wideInput;
std::u16string wideOutput;

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
    quenvale_fuzz::ResetOutput(outputPath);
    quenvale::ResetPeakAllocatedBytes();
    int64_t counter = quenvale::AllocationCounter();
    int32_t result = Quenvale(wideInput.c_str(), wideOutput.c_str());
    Check(quenvale::AllocationCounter() == counter, "counter back where it was");
    // The pixel data and the search's tables: within twice the input plus
    // a constant.
    Check(quenvale::PeakAllocatedBytes() <= 2 * uint64_t{size} + (uint64_t{18} << 20), "allocation bounded by input");
    quenvale_fuzz::CheckOutcome(result, data, size, outputPath);
    return 0;
}
