// The entry subsystem, for the exported call, the host and the tests: path
// texts, the output file and the pipeline of one call.
#ifndef QUENVALE_ENTRY_H
#define QUENVALE_ENTRY_H

#include "bitmap.h"
#include "filters.h"
#include "output_file.h"
#include "path_text.h"
#include "pipeline.h"
#include "quenvale.h"

#endif
