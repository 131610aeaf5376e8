// libFuzzer target: the host's filters. The first byte chooses the filter
// (and the flatten's tolerance), the rest is the input file, of any
// encoding. Checked: the counter comes back, a refusal leaves the output
// alone, and an output carries the input's bytes around its pixels, or is a
// new bitmap of the same size where the input's encoding cannot hold it.
#include "bmp/bitmap.h"
#include "call/entry.h"
#include "fuzz_support.h"
#include "quenvale.h"

namespace {

using quenvale_fuzz::Check;

std::string inputPath;
std::string outputPath;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    quenvale_fuzz::MuteStandardOutput();
    inputPath = quenvale_fuzz::FuzzPath("filter-in.bmp");
    outputPath = quenvale_fuzz::FuzzPath("filter-out.bmp");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) {
        return 0;
    }
    const quenvale::NamedFilter& filter = quenvale::kNamedFilters[data[0] % quenvale::kNamedFilterCount];
    bool flatten = &filter == &quenvale::kNamedFilters[0];
    quenvale::CallOptions options{false, flatten && data[0] >= 128 ? data[0] - 128 : 20};
    ++data;
    --size;
    quenvale_fuzz::Spill(inputPath, data, size);
    quenvale_fuzz::ResetOutput(outputPath);
    int64_t counter = quenvale::AllocationCounter();
    quenvale::Failure failure{};
    int32_t result = quenvale::RunHostCall(quenvale_fuzz::Wide(inputPath).c_str(),
                                           quenvale_fuzz::Wide(outputPath).c_str(), filter, options, &failure);
    Check(quenvale::AllocationCounter() == counter, "counter back where it was");
    // A kernel whose result the input's encoding cannot hold writes a new
    // bitmap of the same picture size.
    quenvale::BitmapFormat format{};
    quenvale::Failure ignored{};
    quenvale::KernelOutput form = quenvale::OutputPixels;
    if (result == ResultDone && !flatten && quenvale::ParseBitmapFormat(data, size, size, &format, &ignored)) {
        form = quenvale::KernelOutputOf(filter.kernel, format);
    }
    std::vector<uint8_t> output = quenvale_fuzz::Slurp(outputPath);
    if (form == quenvale::OutputNewRgb24 || form == quenvale::OutputNewIndexed) {
        quenvale::BitmapFormat written{};
        Check(quenvale::ParseBitmapFormat(output.data(), output.size(), output.size(), &written, &ignored),
              "a new bitmap reads back");
        Check(written.width == format.width && written.rowCount == format.rowCount, "of the same size");
        return 0;
    }
    if (form == quenvale::OutputPalette) {
        // Only the palette's colour bytes change.
        Check(output.size() == size, "output length");
        size_t start = format.paletteOffset;
        size_t end = start + size_t{format.paletteCount} * format.paletteEntryBytes;
        for (size_t i = 0; i < size; ++i) {
            bool colour = i >= start && i < end && (i - start) % format.paletteEntryBytes < 3;
            Check(colour || output[i] == data[i], "every byte but the palette's colours carried");
        }
        return 0;
    }
    if (!quenvale_fuzz::CheckOutcome(result, data, size, outputPath)) {
        Check(failure.status == quenvale::StatusBadInput || failure.status == quenvale::StatusUnsupported,
              "a refusal is bad or unsupported input");
        Check(failure.reason != quenvale::ReasonNone, "a refusal gives its reason");
    }
    return 0;
}
