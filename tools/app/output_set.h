// The files a run writes, taken as one set and checked before any work:
// each input's image, its palette file and its layers. No file of the set
// may be an input or another file of the set, by name, link or hard link;
// every folder it goes to exists and is reached through no link a shared
// sticky folder's rule refuses.
#ifndef QUENVALE_OUTPUT_SET_H
#define QUENVALE_OUTPUT_SET_H

#include <cstdint>
#include <string>
#include <tuple>
#include <vector>

#include "app/job.h"
#include "app/palette_file.h"

namespace quenvale_host {

// What a name stands for: the device and index of its file where it has
// one, else the name itself (device and index 0).
using NameKey = std::tuple<uint64_t, uint64_t, std::string>;
NameKey Identity(const std::string& path);

// The name of a job's files in a folder: the output's name without its
// extension, or the input's where the output is standard output.
std::string StemOf(const std::string& input, const std::string& output);
// The job's palette file ("-": standard output; "": none asked) and its
// format, from --palette or --palette-dir.
std::string PalettePathOf(const JobOptions& options, const std::string& input, const std::string& output,
                          PaletteFormat* format);
// The name of layer `layer` of `count`, colour 0xAARRGGBB with its alpha
// shown only where the layer is not opaque: STEM.NN-RRGGBB.png or
// STEM.NN-RRGGBBAA.png.
std::string LayerName(const std::string& stem, size_t layer, size_t count, uint32_t argb);
// Whether a file name is one of the stem's layers, as LayerName makes them.
bool IsLayerOf(const std::string& name, const std::string& stem);

// The set checked: "" where every job may go on, else the one-line refusal.
std::string CheckOutputSet(const JobOptions& options, const std::vector<JobPaths>& jobs);

}  // namespace quenvale_host

#endif
