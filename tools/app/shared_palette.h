// One palette for a batch (--shared-palette): the chooser over all the
// inputs' pixels as one histogram, then every output mapped onto it.
#ifndef QUENVALE_SHARED_PALETTE_H
#define QUENVALE_SHARED_PALETTE_H

#include <cstdint>
#include <string>
#include <vector>

#include "app/job.h"
#include "codecs/picture.h"

namespace quenvale_host {

// One input decoded by its format's row, as a job decodes it, with what
// the decoder left out (an animation's later frames) where warning is not
// null; false with *error naming the input.
bool DecodeInput(const std::string& input, uint64_t maxPixels, Picture* picture, JobError* error,
                 std::string* warning = nullptr);

// The colours (0xAARRGGBB) of at most options.colors, options.pin's first,
// chosen over the inputs in their order: each decoded as its job would
// decode it (within options.maxPixels, and all of them together within it
// too, since they are held at once). The same whatever the order jobs later
// run in. False with *error naming the input that could not be read.
bool ChooseSharedPalette(const JobOptions& options, const std::vector<std::string>& inputs,
                         std::vector<uint32_t>* colors, JobError* error);

}  // namespace quenvale_host

#endif
