// The bitmap subsystem, for the entry point and the filters: memory and the
// grid counter, console text, file access, the header format, pixel values
// and RLE runs, and the row image. Each unit has a header of its own.
#ifndef QUENVALE_BITMAP_H
#define QUENVALE_BITMAP_H

#include "bitmap_format.h"
#include "console.h"
#include "file_io.h"
#include "memory.h"
#include "pixel_grid.h"
#include "pixel_values.h"
#include "row_image.h"
#include "status.h"

#endif
