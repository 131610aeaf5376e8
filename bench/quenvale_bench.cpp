// Benchmarks of the whole call and the host's filters, as ratios to
// baselines measured in the same run: the I/O floor (the file copied as cp
// copies it), the literal flatten, and
// ImageMagick's nearest operations.
//
//   quenvale_bench [--runs N] [--dir DIR] [--no-imagemagick] [--no-literal] [--no-kernels] [--no-pictures]
//                  [--case NAME] [--large]
#include <sys/resource.h>
#include <sys/wait.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "bench_images.h"
#include "bench_timing.h"
#include "call/entry.h"
#include "literal_flatten.h"
#include "picture_bench.h"
#include "quenvale.h"

namespace {

using quenvale_bench::Measure;
using quenvale_bench::Muted;
using quenvale_bench::Report;
using quenvale_bench::Show;
using quenvale_bench::Timing;

// The I/O floor: the file copied as cp copies it, through one buffer that
// stays mapped from run to run, so that neither side pays page faults a
// copy does not need.
bool CopyWhole(const std::string& input, const std::string& output) {
    static std::vector<char> buffer(size_t{1} << 20);
    int in = open(input.c_str(), O_RDONLY | O_CLOEXEC);
    if (in < 0) return false;
    int out = open(output.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    bool ok = out >= 0;
    ssize_t got = 0;
    while (ok && (got = read(in, buffer.data(), buffer.size())) > 0) {
        ok = write(out, buffer.data(), static_cast<size_t>(got)) == got;
    }
    ok = ok && got == 0;
    close(in);
    return (out < 0 || close(out) == 0) && ok;
}

std::u16string Wide(const std::string& text) { return std::u16string(text.begin(), text.end()); }

bool SameFiles(const std::string& a, const std::string& b) {
    std::string command = "cmp -s '" + a + "' '" + b + "'";
    return std::system(command.c_str()) == 0;
}

// Peak resident memory of one call, in a child process of its own.
double PeakMebibytes(const std::string& input, const std::string& output) {
    std::fflush(stdout);
    pid_t child = fork();
    if (child == 0) {
        Muted muted;
        Quenvale(Wide(input).c_str(), Wide(output).c_str());
        _exit(0);
    }
    int status = 0;
    struct rusage usage {};
    wait4(child, &status, 0, &usage);
    return usage.ru_maxrss / 1024.0;
}

// The output written whole through a temporary and a rename, against a
// plain "wb" write of the same bytes.
void ReportWrites(int runs, const std::string& input, const std::string& output) {
    FILE* in = std::fopen(input.c_str(), "rb");
    std::vector<char> bytes;
    if (in != nullptr) {
        std::fseek(in, 0, SEEK_END);
        bytes.resize(static_cast<size_t>(std::ftell(in)));
        std::fseek(in, 0, SEEK_SET);
        bytes.resize(std::fread(bytes.data(), 1, bytes.size(), in));
        std::fclose(in);
    }
    // Both over an existing output, as a repeated run meets it: emptying it
    // and replacing it both free its blocks.
    CopyWhole(input, output);
    Timing direct = Measure(runs, "", [&] {
        FILE* out = std::fopen(output.c_str(), "wb");
        std::fwrite(bytes.data(), 1, bytes.size(), out);
        std::fclose(out);
    });
    auto replace = [&](bool sync) {
        FILE* source = std::fopen(input.c_str(), "rb");
        quenvale::OutputFile file{};
        quenvale::Failure failure{};
        quenvale::OpenOutput(nullptr, output.c_str(), source, &file, &failure);
        quenvale::WriteBytes(file.stream, bytes.data(), bytes.size());
        quenvale::CommitOutput(file, sync, &failure);
        std::fclose(source);
    };
    Timing renamed = Measure(runs, "", [&] { replace(false); });
    Timing synced = Measure(runs, "", [&] { replace(true); });
    std::printf("photo: writing the %zu-byte result\n  %-34s %s\n", bytes.size(), "fopen wb, fwrite, fclose",
                Show(direct).c_str());
    Report("temporary, then rename", renamed, "the plain write", direct.median, 1.1, true);
    Report("temporary, fsync, rename (--sync)", synced, "the plain write", direct.median, 0, true);
}

// The flatten's speed at other tolerances, against the default 20.
void ReportTolerances(int runs, const std::string& input, const std::string& output) {
    auto at = [&](int tolerance) {
        quenvale::CallOptions options{false, tolerance};
        return Measure(runs, output, [&] {
            quenvale::RunHostCall(Wide(input).c_str(), Wide(output).c_str(), quenvale::kNamedFilters[0], options, nullptr);
        });
    };
    Timing base = at(quenvale::kColorTolerance);
    std::printf("photo: --tolerance N\n  %-34s %s\n", "N = 20", Show(base).c_str());
    for (int tolerance : {0, 1, 2, 3, 4, 5, 6, 8, 12, 16, 24, 32, 48, 64, 84, 85, 100, 128, 200, 255}) {
        std::string label = "N = " + std::to_string(tolerance);
        Report(label.c_str(), at(tolerance), "N = 20", base.median, 2, true);
    }
}

struct Case {
    const char* name;
    std::string path;
    uint32_t width, height;
    bool (*make)(const std::string&, uint32_t, uint32_t);
    double goal;
};

// The host's filters on the photo, the palette and the 5-6-5 pictures,
// against each one's I/O floor; blur and darkest also against ImageMagick's
// nearest operations on the photo.
void ReportKernels(int runs, const std::string& dir, bool imageMagick, const std::vector<Case>& cases) {
    std::string out = dir + "/out.bmp";
    for (const Case& c : cases) {
        if ((c.make != quenvale_bench::WritePhoto && c.make != quenvale_bench::WritePalette8 &&
             c.make != quenvale_bench::WriteRgb565) ||
            c.width != 6000) {
            continue;
        }
        Timing floor = Measure(runs, out, [&] { CopyWhole(c.path, out); });
        std::printf("%s: the host's filters\n  %-34s %s\n", c.name, "I/O floor", Show(floor).c_str());
        for (size_t i = 0; i < quenvale::kNamedFilterCount; ++i) {
            const quenvale::NamedFilter* filter = &quenvale::kNamedFilters[i];
            if (filter->grid == nullptr) {
                continue;  // the flatten, measured above
            }
            Timing t = Measure(runs, out, [&] { quenvale::RunPipeline(Wide(c.path).c_str(), Wide(out).c_str(), *filter); });
            std::string label = std::string("--filter ") + filter->name;
            quenvale::KernelWindow window = filter->kernel.window;
            // The goals are the photo's; a palette's blur writes three times its bytes.
            double goal = c.make != quenvale_bench::WritePhoto ? 0
                          : window == quenvale::WindowBlur     ? 3
                          : window == quenvale::WindowDarkest  ? 4
                                                               : 1.5;
            Report(label.c_str(), t, "the floor", floor.median, goal, true);
            if (window != quenvale::WindowNone && imageMagick && c.make == quenvale_bench::WritePhoto) {
                std::string statistic = window == quenvale::WindowBlur ? "Mean 7x7" : "Minimum 5x5";
                std::string command = "convert '" + c.path + "' -statistic " + statistic + " '" + dir + "/im.bmp'";
                Timing im = Measure(1, dir + "/im.bmp", [&] { std::system(command.c_str()); });
                std::string against = "convert -statistic " + statistic;
                Report("", t, against.c_str(), im.median, 20, false);
            }
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    int runs = 5;
    std::string dir;  // a new private folder of its own unless given
    bool imageMagick = true;
    bool literal = true;
    bool kernels = true;
    bool pictures = true;
    std::string only;  // run the flatten cases whose name starts with this
    bool large = false;  // also the 384 MP photo, 1.1 GB
    for (int i = 1; i < argc; ++i) {
        if (!std::strcmp(argv[i], "--runs") && i + 1 < argc) runs = std::atoi(argv[++i]);
        else if (!std::strcmp(argv[i], "--dir") && i + 1 < argc) dir = argv[++i];
        else if (!std::strcmp(argv[i], "--no-imagemagick")) imageMagick = false;
        else if (!std::strcmp(argv[i], "--no-literal")) literal = false;
        else if (!std::strcmp(argv[i], "--no-kernels")) kernels = false;
        else if (!std::strcmp(argv[i], "--no-pictures")) pictures = false;
        else if (!std::strcmp(argv[i], "--case") && i + 1 < argc) only = argv[++i];
        else if (!std::strcmp(argv[i], "--large")) large = true;
        else {
            std::fprintf(stderr, "usage: quenvale_bench [--runs N] [--dir DIR] [--no-imagemagick] [--no-literal] "
                                 "[--no-kernels] [--no-pictures] [--case NAME] [--large]\n");
            return 2;
        }
    }
    if (dir.empty()) {
        const char* base = std::getenv("TMPDIR");
        std::string pattern = std::string(base != nullptr && base[0] != 0 ? base : "/tmp") + "/quenvale-bench-XXXXXX";
        if (mkdtemp(&pattern[0]) == nullptr) {
            std::perror("mkdtemp");
            return 1;
        }
        dir = pattern;
    } else {
        std::system(("mkdir -p '" + dir + "'").c_str());
    }
    std::printf("images in %s\n", dir.c_str());
    std::vector<Case> cases = {
        {"photo 6000x4000", dir + "/photo.bmp", 6000, 4000, quenvale_bench::WritePhoto, 4},
        {"noise 6000x4000", dir + "/noise.bmp", 6000, 4000, quenvale_bench::WriteNoise, 5},
        {"adversarial 2000x2000", dir + "/adversarial.bmp", 2000, 2000, quenvale_bench::WriteAdversarial, 4},
        {"palette8 6000x4000", dir + "/palette8.bmp", 6000, 4000, quenvale_bench::WritePalette8, 2.5},
        {"rgb565 6000x4000", dir + "/rgb565.bmp", 6000, 4000, quenvale_bench::WriteRgb565, 2.5},
        {"rle8 6000x4000", dir + "/rle8.bmp", 6000, 4000, quenvale_bench::WriteRle8, 2.5},
        {"photo32 6000x4000", dir + "/photo32.bmp", 6000, 4000, quenvale_bench::WritePhoto32, 0},
    };
    if (large) {
        cases.push_back({"photo 24000x16000", dir + "/large.bmp", 24000, 16000, quenvale_bench::WritePhoto, 0});
    }
    std::string out = dir + "/out.bmp";
    std::printf("median of %d runs (range)\n", runs);
#if defined(QUENVALE_HOST_PATH)
    if (only == "pictures") {  // the PNG and JPEG cases alone
        bool made = cases[0].make(cases[0].path, cases[0].width, cases[0].height);
        if (made) {
            quenvale_bench::ReportPictures(runs, dir, cases[0].path, QUENVALE_HOST_PATH, imageMagick);
            quenvale_bench::ReportColors(runs, cases[0].path);
        }
        return made ? 0 : 1;
    }
#endif
    Timing photoCall{};
    double photoRatio = 0;
    for (Case& c : cases) {
        if (std::string(c.name).compare(0, only.size(), only) != 0) {
            continue;
        }
        if (!c.make(c.path, c.width, c.height)) {
            std::fprintf(stderr, "could not write %s\n", c.path.c_str());
            return 1;
        }
        Timing floor = Measure(runs, out, [&] { CopyWhole(c.path, out); });
        Timing call = Measure(runs, out, [&] { Quenvale(Wide(c.path).c_str(), Wide(out).c_str()); });
        std::printf("%s\n  %-34s %s\n", c.name, "I/O floor", Show(floor).c_str());
        Report("flatten (Quenvale)", call, "the floor", floor.median, c.goal, true);
        double grids = 2 * 3.0 * c.width * c.height / (1024.0 * 1024.0);
        double peak = PeakMebibytes(c.path, out);
        std::printf("  %-34s %8.1f MiB (goal <= two grids of %.1f MiB + 40 = %.1f MiB)\n", "peak resident memory",
                    peak, grids, grids + 40);
        if (c.make == quenvale_bench::WritePhoto && c.width == 6000) {
            photoCall = call;
            photoRatio = call.median / floor.median;
        } else if (c.make == quenvale_bench::WritePhoto32 && photoCall.median > 0) {
            Report("against the 24-bit photo's", call, "its time", photoCall.median, 1.3, true);
        } else if (c.make == quenvale_bench::WritePhoto && photoRatio > 0) {
            std::printf("  %-34s %8.2fx the 24 MP photo's ratio to its floor (goal <= 1.3x)\n", "its ratio to its floor",
                        call.median / floor.median / photoRatio);
        }
        std::remove(out.c_str());
        if (c.width > 6000) {
            std::remove(c.path.c_str());
        }
    }
    const Case& photo = cases[0];
    if (!only.empty()) {
        return 0;
    }
    ReportWrites(runs, photo.path, out);
    ReportTolerances(runs, photo.path, out);
    if (literal) {
        std::string literalOut = dir + "/literal.bmp";
        Timing slow = Measure(1, literalOut, [&] { quenvale_bench::LiteralFlatten(photo.path.c_str(), literalOut.c_str()); });
        {
            Muted muted;
            Quenvale(Wide(photo.path).c_str(), Wide(out).c_str());
        }
        std::printf("photo: against the literal flatten (byte-at-a-time stdio, linear walk)\n");
        std::printf("  %-34s %s\n", "literal flatten", Show(slow).c_str());
        Report("flatten (Quenvale)", photoCall, "faster than literal", slow.median, 30, false);
        std::printf("  outputs byte for byte equal: %s\n", SameFiles(out, literalOut) ? "yes" : "NO");
    }
#if defined(QUENVALE_HOST_PATH)
    if (pictures) {
        quenvale_bench::ReportPictures(runs, dir, photo.path, QUENVALE_HOST_PATH, imageMagick);
        quenvale_bench::ReportColors(runs, photo.path);
    }
#else
    (void)pictures;
#endif
    if (kernels) {
        ReportKernels(runs, dir, imageMagick, cases);
    }
    return 0;
}
