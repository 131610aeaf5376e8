// libFuzzer target: the job runner, as every face calls it, on the
// fuzzer's bytes as an input file of any format, with the outputs beside
// the image that a job may ask for. The first byte chooses: bit 0 a JSON
// palette, bit 1 the layers, bit 2 a colour count (the second byte, 1 to
// 256) or else a tolerance (the second byte), bit 3 the mean fill, bits 4
// and 5 the output's format (PNG, BMP, WebP or with an odd second byte SVG,
// or the input's own), bit 6 a kernel (the second byte's low bits) in place
// of the flatten, which otherwise removes regions smaller than the second
// byte's top three bits; a colour
// count with the mean fill is instead --remap onto seven inks (with bit 7)
// or --pin of two of them. The bytes are also read as a palette file of
// each format, which gives 1 to 65,536 colours or a reason. Invariants:
// the input is never changed; a job that fails leaves no output and no
// temporary; one that succeeds leaves its output, its palette where asked,
// and masks of its own stem only.
#include <dirent.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "app/job.h"
#include "app/output_set.h"
#include "app/palette_read.h"
#include "fuzz_support.h"
#include "ops/filter_table.h"

namespace {

using quenvale_fuzz::Check;

// A few megapixels at most, as the other targets take.
constexpr uint64_t kFuzzMaxPixels = 4u << 20;

std::string folder;

std::vector<std::string> Names(const std::string& at) {
    std::vector<std::string> names;
    if (DIR* listing = opendir(at.c_str())) {
        while (const dirent* entry = readdir(listing)) {
            if (entry->d_name[0] != '.' || (entry->d_name[1] != 0 && std::string(entry->d_name) != "..")) {
                names.push_back(entry->d_name);
            }
        }
        closedir(listing);
    }
    return names;
}

void Clear(const std::string& at) {
    for (const std::string& name : Names(at)) {
        std::remove((at + "/" + name).c_str());
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    folder = quenvale_fuzz::FuzzPath("job");
    mkdir(folder.c_str(), 0700);
    mkdir((folder + "/layers").c_str(), 0700);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) {
        return 0;
    }
    uint8_t choice = data[0];
    uint8_t value = data[1];
    for (const char* name : {"p.gpl", "p.json", "p.txt", "p.act"}) {
        std::vector<uint32_t> parsed;
        std::string reason;
        bool read = quenvale_host::ParsePalette(name, std::string(data, data + size), &parsed, &reason);
        Check(read ? !parsed.empty() && parsed.size() <= 65536 : !reason.empty() && parsed.empty(),
              "a palette is 1 to 65,536 colours, or refused with a reason");
    }
    static const std::vector<uint32_t> kInks{0xFF000000u, 0xFFFFFFFFu, 0xFFFF0000u, 0xFF00FF00u,
                                             0xFF0000FFu, 0xFFFFFF00u, 0x80FF8000u};
    static const std::vector<uint32_t> kPins{0xFFFF00FFu, 0u};
    std::string input = folder + "/input";
    quenvale_fuzz::Spill(input, data + 2, size - 2);
    static const char* const kOutputs[] = {"/out.png", "/out.bmp", "/out.webp", "/out"};
    std::string output = folder + ((choice >> 4 & 3) == 2 && (value & 1) != 0 ? "/out.svg" : kOutputs[choice >> 4 & 3]);
    std::string palette = folder + "/out.json";
    std::string layers = folder + "/layers";

    quenvale_host::JobOptions options;
    options.maxPixels = kFuzzMaxPixels;
    // The most effort sorts a palette and compresses a profile again.
    options.effort = (value & 0x10) != 0 ? quenvale_host::EffortMax : quenvale_host::EffortDefault;
    if ((choice & 0x40) != 0) {
        options.filter = &quenvale::kNamedFilters[1 + value % (quenvale::kNamedFilterCount - 1)];
        options.filterGiven = true;
    } else {
        options.palette = (choice & 1) != 0 ? palette.c_str() : nullptr;
        options.layersDir = (choice & 2) != 0 ? layers.c_str() : nullptr;
        if ((choice & 4) != 0) {
            options.colors = 1 + value;
            options.firstFit = (choice & 0x80) != 0;  // else the chooser
        } else {
            options.call.tolerance = value;
            options.toleranceGiven = true;
        }
        options.meanFill = (choice & 8) != 0;
        options.minRegion = value >> 5;  // 0 or 1: none
        if ((choice & 0x0C) == 0x0C) {
            options.meanFill = false;
            options.firstFit = false;
            options.remap = (choice & 0x80) != 0 ? &kInks : nullptr;
            options.pin = (choice & 0x80) != 0 ? nullptr : &kPins;
            options.colors = (choice & 0x80) != 0 ? 0 : 2 + value;
        }
    }
    if ((choice >> 4 & 3) == 3) {
        options.format = quenvale_host::FormatNone;  // the input's own, by its content
    }
    quenvale_host::JobPaths paths{input, output};
    Check(quenvale_host::CheckOutputSet(options, {paths}).empty(), "a fuzz job's outputs are a good set");
    quenvale_host::JobOutcome outcome = quenvale_host::RunJob(options, paths);
    bool written = outcome.written;
    Check(written == outcome.errors.empty(), "a failed job says why, and a written one has no failure");

    Check(quenvale_fuzz::Slurp(input) == std::vector<uint8_t>(data + 2, data + size), "the input is unchanged");
    for (const std::string& name : Names(folder)) {
        Check(name.find(".tmp") == std::string::npos && name[0] != '.', "no temporary is left");
    }
    struct stat status;
    Check(written == (stat(output.c_str(), &status) == 0), "an output exactly where the job succeeded");
    if (!written) {
        Check(stat(palette.c_str(), &status) != 0, "no palette where the job failed");
        Check(Names(layers).empty(), "no layers where the job failed");
    }
    for (const std::string& name : Names(layers)) {
        Check(quenvale_host::IsLayerOf(name, quenvale_host::StemOf(input, output)), "layers of the job's stem");
    }
    Clear(layers);
    Clear(folder);
    mkdir(layers.c_str(), 0700);
    return 0;
}
