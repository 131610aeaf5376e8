// The exported call: the pipeline with the flatten, in place on the pixel data.
#include "flatten.h"
#include "pipeline.h"
#include "quenvale.h"

extern "C" QUENVALE_API int32_t Quenvale(const char16_t* inputPath, const char16_t* outputPath) {
    return quenvale::RunRowPipeline(inputPath, outputPath, quenvale::FlattenBitmap);
}
