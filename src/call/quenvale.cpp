// The exported call: the pipeline with the flatten, the filter table's first entry.
#include "call/pipeline.h"
#include "ops/filter_table.h"
#include "quenvale.h"

extern "C" QUENVALE_API int32_t Quenvale(const char16_t* inputPath, const char16_t* outputPath) {
    return quenvale::RunPipeline(inputPath, outputPath, quenvale::kFlattenFilter);
}
