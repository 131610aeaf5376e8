// The operations layer, for the exported call: the flatten, the per-pixel
// kernels and their whole-grid forms, and the host's table of filters.
#ifndef QUENVALE_FILTERS_H
#define QUENVALE_FILTERS_H

#include "ops/filter_table.h"
#include "ops/flatten.h"
#include "ops/kernels.h"

#endif
