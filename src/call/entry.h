// The entry subsystem, for the exported call, the host and the tests: path
// texts, the output file and the pipeline of one call.
#ifndef QUENVALE_ENTRY_H
#define QUENVALE_ENTRY_H

#include "base/output_file.h"
#include "base/path_text.h"
#include "bmp/bitmap.h"
#include "call/pipeline.h"
#include "ops/filters.h"
#include "quenvale.h"

#endif
