// The per-pixel kernels on a picture in memory, whatever its storage: the
// colours its pixels have (ReadPictureColor) go through the same rules and
// window operations as a bitmap's stored rows, with no bitmap between.
#ifndef QUENVALE_KERNEL_PICTURE_H
#define QUENVALE_KERNEL_PICTURE_H

#include <cstdint>

#include "base/status.h"
#include "ops/kernel_stream.h"
#include "picture/picture_model.h"

namespace quenvale {

// The form of a kernel's result on a picture: a palette picture's indices
// (a colour rule maps the entries, the darkest neighbour picks a
// neighbour's index), or 8-bit RGB, with alpha where the picture has an
// alpha sample (each pixel keeping its own, at 8 bits).
enum KernelResultForm : uint8_t { ResultIndices, ResultRgb, ResultRgba };
KernelResultForm KernelResultFormOf(const Kernel& kernel, const Picture& source);

// The kernel's result written into result, which the caller gives with its
// rows taken in the form KernelResultFormOf names: indices at the source's
// depth (the palette mapped here, for a colour rule), or 8-bit samples.
// Rows are taken in the source's stored order, as a bitmap's are. Fails
// only when memory runs out.
Status RunKernelOnPicture(const Kernel& kernel, const Picture& source, Picture* result);

}  // namespace quenvale

#endif
