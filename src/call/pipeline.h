// One call: read the input, filter, write the output. The exported call and
// the host both run it.
#ifndef QUENVALE_PIPELINE_H
#define QUENVALE_PIPELINE_H

#include <cstdint>

#include "base/status.h"
#include "ops/filter_table.h"

namespace quenvale {

// What the host may ask of a call beyond the exported call's contract.
struct CallOptions {
    bool sync;      // make the result durable before it replaces the output
    int tolerance;  // the flatten's reach per channel
};

// Reads the input, runs the filter on its pixel data and writes the output,
// as the exported call does with the flatten (kNamedFilters[0]). Returns one
// of the result codes of quenvale.h.
int32_t RunPipeline(const char16_t* inputPath, const char16_t* outputPath, const NamedFilter& filter);
// The host's call: the filter with the options given; *failure (which may
// be null) says what failed, with StatusOk when nothing did.
int32_t RunHostCall(const char16_t* inputPath, const char16_t* outputPath, const NamedFilter& filter,
                    const CallOptions& options, Failure* failure);

// The exported call's console message for a failure, naming the paths as
// the call was given them (either may be null).
void PrintCallFailure(const Failure& failure, const char* inputText, const char* outputText);

// The exported call's result code for a status.
int32_t ResultOf(Status status);

}  // namespace quenvale

#endif
