// The bitmap layer with the base it stands on, for the exported call and
// the operations: memory and the grid counter, console text, file access,
// the header format, pixel values and RLE runs, and the row image. Each
// unit has a header of its own.
#ifndef QUENVALE_BITMAP_H
#define QUENVALE_BITMAP_H

#include "base/console.h"
#include "base/file_io.h"
#include "base/memory.h"
#include "base/status.h"
#include "bmp/bitmap_format.h"
#include "bmp/pixel_grid.h"
#include "bmp/pixel_values.h"
#include "bmp/row_image.h"

#endif
