// The shared palette: every input decoded and held, the chooser run over
// them together, the pictures given back.
#include "app/shared_palette.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "app/held_filters.h"
#include "app/host.h"
#include "base/file_io.h"
#include "codecs/picture.h"
#include "ops/palette_chooser.h"

namespace quenvale_host {

bool DecodeInput(const std::string& input, uint64_t maxPixels, Picture* picture, JobError* error,
                 std::string* warning) {
    FILE* file = OpenFile(input, "rb");
    if (file == nullptr) {
        *error = {quenvale::StatusInputOpenFailed, input, std::strerror(errno), errno};
        return false;
    }
    std::string claim;
    FileFormat format = SniffOpenFormat(file, &claim);
    uint64_t length = 0;
    PictureError failure{};
    SourceCarry carry{};
    bool decoded = false;
    if (!claim.empty()) {
        failure = {claim, quenvale::StatusUnsupported};
    } else if (!quenvale::RegularFileLength(file, &length)) {
        failure = {"not a regular file", quenvale::StatusUnsupported};
    } else if (RowOf(format).decode == nullptr) {
        failure = {std::string("a ") + FormatName(format) + " file: this build has no decoder for it",
                   quenvale::StatusUnsupported};
    } else {
        decoded = RowOf(format).decode(PictureInput{file, nullptr, length}, maxPixels, picture, &carry, &failure);
    }
    std::fclose(file);
    if (!decoded) {
        *error = {failure.status, input, failure.reason, 0};
    } else if (warning != nullptr) {
        *warning = carry.warning;
    }
    return decoded;
}

bool ChooseSharedPalette(const JobOptions& options, const std::vector<std::string>& inputs,
                         std::vector<uint32_t>* colors, JobError* error) {
    std::vector<Picture> pictures;
    uint64_t held = 0;
    bool read = true;
    for (const std::string& input : inputs) {
        Picture picture{};
        // The pictures are held together: what is left of the budget bounds the next.
        if (!DecodeInput(input, options.maxPixels - held, &picture, error)) {
            read = false;
            if (held != 0 && error->reason.find("--max-pixels") != std::string::npos) {
                error->reason += " (--shared-palette holds every input at once, within --max-pixels in all)";
            }
            break;
        }
        held += uint64_t{picture.width} * picture.height;
        LittleEndianSamples(&picture);
        pictures.push_back(std::move(picture));
    }
    quenvale::Status status = quenvale::StatusOk;
    if (read) {
        std::vector<uint32_t> pinned = options.pin != nullptr ? *options.pin : std::vector<uint32_t>();
        colors->assign(options.colors, 0);
        uint32_t chosen = 0;
        status = quenvale::ChooseColorsOf(pictures.data(), pictures.size(), static_cast<uint32_t>(options.colors),
                                          pinned.data(), static_cast<uint32_t>(pinned.size()), colors->data(), &chosen);
        colors->resize(chosen);
        if (status != quenvale::StatusOk) {
            *error = {status, inputs.empty() ? std::string() : inputs.front(),
                      "not enough memory to choose the shared palette", 0};
        }
    }
    for (Picture& picture : pictures) {
        ReleasePicture(&picture);
    }
    return read && status == quenvale::StatusOk;
}

}  // namespace quenvale_host
