// An animation from a batch's frames: each input decoded in its turn,
// mapped onto the one palette chosen over them all, and handed to the
// output format's frames encoder, which writes through the library's
// temporary; only one frame is held at a time.
#include <cstring>

#include "app/held_filters.h"
#include "app/host.h"
#include "app/host_call.h"
#include "app/shared_palette.h"
#include "base/output_file.h"

namespace quenvale_host {

namespace {

// Frame `frame`'s indices into the palette; false, reported, where it
// cannot be read or is not the first frame's size (*width, *height, or 0
// for the first).
bool MapFrame(const JobOptions& options, const std::string& input, std::vector<uint8_t>* indices, uint32_t* width,
              uint32_t* height) {
    if (StopAsked(input)) {
        return false;
    }
    Picture source{};
    JobError error{};
    std::string warning;
    if (!DecodeInput(input, options.maxPixels, &source, &error, &warning)) {
        ReportFailure(error.status, input, error.reason, error.systemError);
        return false;
    }
    if (!warning.empty()) {
        ReportWarning(input, warning);
    }
    std::string size = std::to_string(source.width) + " x " + std::to_string(source.height);
    bool fits = *width == 0 ? source.width <= 65535 && source.height <= 65535
                            : source.width == *width && source.height == *height;
    if (!fits) {
        ReportFailure(quenvale::StatusUnsupported, input,
                      *width == 0 ? size + " pixels: a GIF holds 1 to 65535 pixels a side"
                                  : size + " pixels, not the first frame's " + std::to_string(*width) + " x " +
                                        std::to_string(*height) + ": an animation's frames are one size");
        ReleasePicture(&source);
        return false;
    }
    Picture mapped{};
    PictureError failed{};
    uint32_t largestError = 0;
    bool remapped = RemapHeld(source, *options.remap, &mapped, &largestError, &failed, true);
    ReleasePicture(&source);
    if (!remapped) {
        ReportFailure(input, failed);
        return false;
    }
    *width = mapped.width, *height = mapped.height;
    indices->resize(size_t{mapped.width} * mapped.height);
    for (uint32_t y = 0; y < mapped.height; ++y) {
        std::memcpy(indices->data() + size_t{y} * mapped.width, mapped.rows + size_t{y} * mapped.stride, mapped.width);
    }
    ReleasePicture(&mapped);
    return true;
}

// The frames written over outputFile (named output in failures).
bool WriteFrames(const JobOptions& options, FramesEncoder animate, const std::vector<std::string>& inputs,
                 const std::string& outputFile, const std::string& output) {
    std::u16string wide = CallPath(outputFile, 0);
    quenvale::OutputFile replaced{};
    quenvale::Failure failure{};
    if (!quenvale::OpenOutput(wide.c_str(), outputFile.c_str(), nullptr, &replaced, &failure)) {
        ReportCall(failure, inputs.front(), output, output == "-");
        return false;
    }
    uint32_t width = 0, height = 0;
    FrameSource frames{options.remap, static_cast<uint16_t>(options.delay), inputs.size(),
                       [&](size_t frame, std::vector<uint8_t>* indices, uint32_t* w, uint32_t* h) {
                           bool mapped = MapFrame(options, inputs[frame], indices, &width, &height);
                           *w = width, *h = height;
                           return mapped;
                       }};
    PictureError error{};
    bool written = animate(frames, replaced.stream, &error);
    if (!written && !error.reason.empty()) {
        ReportFailure(output, error);
    }
    if (written && !StopAsked(inputs.back()) && !quenvale::CommitOutput(replaced, options.call.sync, &failure)) {
        ReportCall(failure, inputs.back(), output, output == "-");
        written = false;
    }
    quenvale::AbandonOutput(replaced);
    return written;
}

}  // namespace

JobOutcome RunAnimation(const JobOptions& options, const std::vector<std::string>& inputs, const std::string& output,
                        FileFormat format) {
    return RunRecorded([&] {
        FramesEncoder animate = RowOf(format).animate;
        if (animate == nullptr || options.remap == nullptr || options.remap->empty() || inputs.empty()) {
            ReportFailure(quenvale::StatusUnsupported, output,
                          std::string("a ") + FormatName(format) + " animation: this build does not write one");
            return false;
        }
        return WriteThroughSpool(output, [&](const std::string& outputFile) {
            return WriteFrames(options, animate, inputs, outputFile, output);
        });
    });
}

}  // namespace quenvale_host
