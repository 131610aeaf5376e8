// The filters subsystem, for the entry point: the flatten, the per-pixel
// kernels and their whole-grid forms, and the host's table of filters.
#ifndef QUENVALE_FILTERS_H
#define QUENVALE_FILTERS_H

#include "filter_table.h"
#include "flatten.h"
#include "kernels.h"

#endif
