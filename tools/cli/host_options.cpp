// The host's options, as the tools people know take them: long options with
// "=" or a separate value, short ones that bundle (-qv, -oOUT or -o OUT), and
// "--" to end them.
#include "cli/host_options.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "app/host.h"
#include "app/host_formats.h"
#include "app/palette_file.h"
#include "app/palette_read.h"
#include "ops/pixel_regions.h"
#include "quenvale_version.h"

namespace quenvale_host {

namespace {

const char kVersion[] = "quenvale " QUENVALE_VERSION;

enum OptionId { OptionFilter, OptionTolerance, OptionColors, OptionFirstFit, OptionRemap, OptionPin, OptionSharedPalette, OptionDelay, OptionMinRegion, OptionEffort, OptionFill, OptionLayers, OptionPalette, OptionPaletteDir, OptionPaletteFormat, OptionFormat, OptionOutputDir, OptionOutput, OptionInPlace,
                OptionKeepEncoding, OptionSync, OptionMaxPixels, OptionJobs, OptionQuiet, OptionVerbose, OptionHelp, OptionVersion };

struct OptionEntry {
    const char* name;
    char letter;  // 0: no short form
    bool takesValue;
    OptionId id;
};

const OptionEntry kOptions[] = {
    {"--filter", 0, true, OptionFilter},       {"--tolerance", 0, true, OptionTolerance},
    {"--colors", 0, true, OptionColors},       {"--fill", 0, true, OptionFill},
    {"--first-fit", 0, false, OptionFirstFit}, {"--remap", 0, true, OptionRemap},
    {"--pin", 0, true, OptionPin},             {"--shared-palette", 0, false, OptionSharedPalette},
    {"--delay", 0, true, OptionDelay},        {"--min-region", 0, true, OptionMinRegion},
    {"--effort", 0, true, OptionEffort},
    {"--layers", 0, true, OptionLayers},       {"--palette", 0, true, OptionPalette},
    {"--palette-dir", 0, true, OptionPaletteDir}, {"--palette-format", 0, true, OptionPaletteFormat},
    {"--format", 0, true, OptionFormat},
    {"--output-dir", 0, true, OptionOutputDir}, {"--output", 'o', true, OptionOutput},
    {"--in-place", 0, false, OptionInPlace},    {"--sync", 0, false, OptionSync},
    {"--keep-encoding", 0, false, OptionKeepEncoding},
    {"--max-pixels", 0, true, OptionMaxPixels}, {"--jobs", 'j', true, OptionJobs},
    {"--quiet", 'q', false, OptionQuiet},       {"--verbose", 'v', false, OptionVerbose},
    {"--help", 'h', false, OptionHelp},         {"--version", 0, false, OptionVersion},
};

// The known long option nearest to a mistyped one (--colours, --pallete),
// by edit distance, or null where none is within a third of its length.
const OptionEntry* NearestOption(const std::string& name) {
    const OptionEntry* nearest = nullptr;
    size_t best = name.size() / 3 + 1;
    for (const OptionEntry& entry : kOptions) {
        std::string known = entry.name;
        std::vector<size_t> row(known.size() + 1);
        for (size_t j = 0; j <= known.size(); ++j) {
            row[j] = j;
        }
        for (size_t i = 1; i <= name.size(); ++i) {
            size_t diagonal = row[0];
            row[0] = i;
            for (size_t j = 1; j <= known.size(); ++j) {
                size_t above = row[j];
                row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (name[i - 1] == known[j - 1] ? 0 : 1)});
                diagonal = above;
            }
        }
        if (row[known.size()] < best) {
            best = row[known.size()];
            nearest = &entry;
        }
    }
    return nearest;
}

const OptionEntry* FindOption(const std::string& name, char letter) {
    for (const OptionEntry& entry : kOptions) {
        if ((letter != 0 && entry.letter == letter) || (letter == 0 && name == entry.name)) {
            return &entry;
        }
    }
    return nullptr;
}

void PrintUsage() {
    std::printf(
        "usage: quenvale [options] INPUT OUTPUT\n"
        "       quenvale [options] INPUT -o OUTPUT\n"
        "       quenvale [options] --output-dir DIR INPUT...\n"
        "       quenvale [options] --in-place INPUT...\n"
        "       quenvale -h | --help | --version\n"
        "\n"
        "Reads the picture INPUT, filters it and writes the result to OUTPUT,\n"
        "carrying every byte of INPUT but its pixel values unchanged. An INPUT or\n"
        "OUTPUT of - is standard input or output; a file named - is ./-. Nothing is\n"
        "printed on success; each failure is one line on standard error.\n"
        "\n");
    // The formats from their table, so that a build without the codecs says so.
    std::printf("INPUT is %s, told by its content.\nOUTPUT is %s or --format;\n",
                FormatsReadText().c_str(), FormatsWrittenText().c_str());
    std::printf(
        "else it keeps INPUT's format, and a JPEG gives PNG. A PNG is written in\n"
        "the smallest encoding that holds its pixels (a palette for 256 colours or\n"
        "fewer, grey for grey), keeping every chunk but the image data and those\n"
        "that described the old encoding.\n"
        "\n"
        "options:\n"
        "  --filter NAME       the filter to run (below)\n"
        "  --tolerance N       the flatten's reach per channel, 0 to 255 [20]\n"
        "  --colors N          at most N colours (1 to 65536), each one the picture's\n"
        "                      own, chosen to keep the error small; -v tells it\n"
        "  --first-fit         with --colors: the flatten at the smallest tolerance\n"
        "                      found to give at most N colours, as before\n"
        "  --min-region A      then every region of one colour (4-connected) smaller\n"
        "                      than A pixels joins the neighbour nearest its colour\n"
        "  --fill founder|mean each group's colour: its founder's, as the flatten\n"
        "                      defines it, or the mean of its pixels [founder]\n"
        "  --layers DIR        write one 1-bit PNG mask per colour to DIR, named\n"
        "                      NAME.NN-RRGGBB.png: black where the output has that\n"
        "                      colour (at most 256 colours)\n"
        "  --remap FILE        map every pixel to the nearest colour of FILE (.gpl,\n"
        "                      .json, .txt or .act), in FILE's order\n"
        "  --pin FILE          with --colors N: FILE's colours are the first of the N\n"
        "  --shared-palette    with --colors N: one palette chosen over every INPUT,\n"
        "                      each output mapped onto it (the same PNG palette);\n"
        "                      with -o FILE.gif, the INPUTs become FILE's frames\n"
        "  --delay N           an animated GIF's frames each show N hundredths of a\n"
        "                      second [10]\n"
        "  --palette FILE      write the flatten's palette to FILE (.gpl, .json, .txt;\n"
        "                      - for standard output): every colour in the order it\n"
        "                      was founded, with its pixel count and founder\n"
        "  --palette-dir DIR   write each INPUT's palette to DIR, named as its output\n"
        "  --palette-format F  gpl, json or txt, for - or --palette-dir [gpl]\n"
        "  --format NAME       the output's format (bmp, png, webp, gif, svg),\n"
        "                      whatever its name\n"
        "  --effort LEVEL      a PNG's compression: fast, default or max (smallest,\n"
        "                      and slowest)\n"
        "  --keep-encoding     write a PNG in its source PNG's colour type and depth,\n"
        "                      every chunk kept\n"
        "  -o, --output FILE   write the result of the one INPUT to FILE\n"
        "  --output-dir DIR    write each INPUT's result to DIR under its own name\n"
        "  --in-place          replace each INPUT with its result\n"
        "  --sync              make each result durable on disk before it replaces\n"
        "                      the output\n"
        "  --max-pixels N      refuse a picture of more than N pixels held in memory\n"
        "                      (PNG, JPEG, BMP to PNG) [178956970]\n"
        "  -j, --jobs N        a batch's files N at a time [the number of cores; 1\n"
        "                      with -v, so that the library's text keeps its order]\n"
        "  -v, --verbose       show the library's own text: its messages and the\n"
        "                      counter lines of its pixel grids\n"
        "  -q, --quiet         show no progress either; failures are still named\n"
        "  -h, --help          show this text\n"
        "  --version           show the version and the formats read and written\n"
        "  --                  end the options: what follows are paths\n"
        "\n"
        "Short options bundle: -qv is -q -v.\n"
        "\n"
        "filters:\n");
    for (size_t i = 0; i < quenvale::kNamedFilterCount; ++i) {
        std::printf("  %-10s %s%s\n", quenvale::kNamedFilters[i].name, quenvale::kNamedFilters[i].summary,
                    i == 0 ? " [default]" : "");
    }
    std::printf(
        "\n"
        "Exit status: 0 when every output was written, 1 when any file failed, 2 for\n"
        "a usage error or a batch refused before any work.\n");
}

bool ParseTolerance(const char* text, int* tolerance) {
    char* end = nullptr;
    long value = std::strtol(text, &end, 10);
    if (text[0] < '0' || text[0] > '9' || *end != 0 || value > 255) {
        return false;
    }
    *tolerance = static_cast<int>(value);
    return true;
}

bool ParseCount(const char* text, uint64_t* count, bool zeroAllowed = false) {
    char* end = nullptr;
    errno = 0;
    unsigned long long value = std::strtoull(text, &end, 10);
    if (text[0] < '0' || text[0] > '9' || *end != 0 || errno == ERANGE || (value == 0 && !zeroAllowed)) {
        return false;
    }
    *count = value;
    return true;
}

int ApplyFilter(const char* value, Options* options) {
    if (options->filterGiven) {
        return UsageError("--filter given twice");
    }
    options->filterGiven = true;
    options->filter = quenvale::FindNamedFilter(value);
    if (options->filter == nullptr) {
        return UsageError(std::string("unknown filter '") + value + "'");
    }
    if (options->filter == &quenvale::kNamedFilters[0]) {
        options->filter = nullptr;
    }
    return -1;
}

// Applies one option; returns -1 to go on, or the exit status.
int ApplyOption(const OptionEntry& entry, const char* value, Options* options) {
    switch (entry.id) {
        case OptionHelp:
            PrintUsage();
            return 0;
        case OptionVersion:
            std::printf("%s\nreads: %s\nwrites: %s\n", kVersion, FormatsRead().c_str(), FormatsWritten().c_str());
            return 0;
        case OptionFilter:
            return ApplyFilter(value, options);
        case OptionTolerance:
            if (!ParseTolerance(value, &options->call.tolerance)) {
                return UsageError(std::string("--tolerance takes a whole number from 0 to 255, not '") + value + "'");
            }
            options->toleranceGiven = true;
            return -1;
        case OptionColors:
            if (!ParseCount(value, &options->colors) || options->colors > kMaxColors) {
                return UsageError(std::string("--colors takes a whole number from 1 to ") +
                                  std::to_string(kMaxColors) + ", not '" + value + "'");
            }
            return -1;
        case OptionFirstFit:
            options->firstFit = true;
            return -1;
        case OptionRemap:
            options->remapName = value;
            return -1;
        case OptionPin:
            options->pinName = value;
            return -1;
        case OptionSharedPalette:
            options->sharedPalette = true;
            return -1;
        case OptionDelay: {
            uint64_t delay = 0;
            if (!ParseCount(value, &delay, true) || delay > 65535) {
                return UsageError(std::string("--delay takes hundredths of a second, 0 to 65535, not '") + value + "'");
            }
            options->delay = static_cast<uint32_t>(delay);
            options->delayGiven = true;
            return -1;
        }
        case OptionEffort: {
            const char* names[] = {"default", "fast", "max"};
            auto found = std::find_if(std::begin(names), std::end(names),
                                      [value](const char* name) { return std::strcmp(name, value) == 0; });
            if (found == std::end(names)) {
                return UsageError(std::string("--effort takes fast, default or max, not '") + value + "'");
            }
            options->effort = static_cast<PngEffort>(found - std::begin(names));
            return -1;
        }
        case OptionMinRegion:
            if (!ParseCount(value, &options->minRegion) || options->minRegion > quenvale::kMostLabelledPixels) {
                return UsageError(std::string("--min-region takes a number of pixels from 1 to ") +
                                  std::to_string(quenvale::kMostLabelledPixels) + ", not '" + value + "'");
            }
            return -1;
        case OptionFill:
            if (std::strcmp(value, "founder") != 0 && std::strcmp(value, "mean") != 0) {
                return UsageError(std::string("--fill takes founder or mean, not '") + value + "'");
            }
            options->meanFill = std::strcmp(value, "mean") == 0;
            return -1;
        case OptionLayers:
            options->layersDir = value;
            return -1;
        case OptionPalette:
            options->palette = value;
            return -1;
        case OptionPaletteDir:
            options->paletteDir = value;
            return -1;
        case OptionPaletteFormat: {
            PaletteFormat unused{};
            if (!PaletteFormatOf(value, &unused)) {
                return UsageError(std::string("--palette-format takes gpl, json or txt, not '") + value + "'");
            }
            options->paletteFormat = value;
            return -1;
        }
        case OptionFormat: {
            std::string refusal;
            options->format = ParseFormat(value, &refusal);
            return options->format == FormatNone ? UsageError(refusal) : -1;
        }
        case OptionOutputDir:
            options->outputDir = value;
            return -1;
        case OptionOutput:
            if (options->output != nullptr) {
                return UsageError("-o given twice");
            }
            options->output = value;
            return -1;
        case OptionMaxPixels:
            if (!ParseCount(value, &options->maxPixels)) {
                return UsageError(std::string("--max-pixels takes a whole number from 1 up, not '") + value + "'");
            }
            return -1;
        case OptionJobs:
            if (!ParseCount(value, &options->jobs) || options->jobs > kMaxJobs) {
                return UsageError(std::string("--jobs takes a whole number from 1 to ") + std::to_string(kMaxJobs) +
                                  ", not '" + value + "'");
            }
            return -1;
        case OptionInPlace:
            options->inPlace = true;
            return -1;
        case OptionSync:
            options->call.sync = true;
            return -1;
        case OptionKeepEncoding:
            options->keepEncoding = true;
            return -1;
        case OptionQuiet:
            options->quiet = true;
            return -1;
        case OptionVerbose:
            options->verbose = true;
            return -1;
    }
    return -1;
}

// --palette and its kin: for the flatten, one file for one INPUT or a
// folder for any, named so that the format is known.
int CheckPaletteOptions(const Options& options) {
    bool wanted = options.palette != nullptr || options.paletteDir != nullptr;
    bool batch = options.inPlace || options.outputDir != nullptr;
    if (!wanted) {
        return options.paletteFormat != nullptr ? UsageError("--palette-format goes with --palette or --palette-dir")
                                                : -1;
    }
    if (options.filter != nullptr) {
        return UsageError("--palette is for the flatten filter only");
    }
    if (!kPicturesBuiltIn) {
        return UsageError("--palette needs the picture codecs, which this build lacks");
    }
    if (options.palette != nullptr && options.paletteDir != nullptr) {
        return UsageError("--palette and --palette-dir do not go together");
    }
    if (options.palette != nullptr && batch && !options.sharedPalette) {
        return UsageError("--palette names the palette of one INPUT (or with --shared-palette, the batch's one); "
                          "a batch takes --palette-dir");
    }
    if (options.palette == nullptr) {
        return -1;
    }
    std::string name = options.palette;
    bool toStandardOutput = name == "-";
    const char* output = options.output != nullptr ? options.output : options.paths.size() == 2 ? options.paths[1] : "";
    if (toStandardOutput && std::strcmp(output, "-") == 0) {
        return UsageError("the picture and its palette cannot both go to standard output");
    }
    PaletteFormat format{};
    if (!PaletteFormatFor(name, options.paletteFormat, &format)) {
        return UsageError("--palette " + name + ": name a .gpl, .json or .txt file, or give --palette-format");
    }
    return -1;
}

// An animation's frames: read twice (once to choose the palette), each
// from a file, onto at most 256 colours, with no file beside each frame.
int CheckAnimation(const Options& options) {
    if (options.colors > 256) {
        return UsageError("an animated GIF holds at most 256 colours: give --colors 256 or fewer");
    }
    if (options.layersDir != nullptr || options.paletteDir != nullptr) {
        return UsageError(std::string(options.layersDir != nullptr ? "--layers" : "--palette-dir") +
                          " is not written for an animation; --palette FILE writes its one palette");
    }
    for (const char* path : options.paths) {
        if (std::strcmp(path, "-") == 0) {
            return UsageError("an animation's frames are files, read twice: standard input cannot be one");
        }
    }
    return -1;
}

// The options that rule each other out, and the paths each form takes.
int CheckArguments(const Options& options) {
    if (options.toleranceGiven && options.filter != nullptr) {
        return UsageError("--tolerance is for the flatten filter only");
    }
    if (options.firstFit && options.colors == 0) {
        return UsageError("--first-fit goes with --colors");
    }
    if (options.colors != 0 && options.filter != nullptr) {
        return UsageError("--colors is for the flatten filter only");
    }
    if (options.colors != 0 && options.toleranceGiven) {
        return UsageError("--colors chooses the tolerance: give one or the other");
    }
    if (options.layersDir != nullptr && (options.filter != nullptr || !kPicturesBuiltIn)) {
        return UsageError(options.filter != nullptr ? "--layers is for the flatten filter only"
                                                    : "--layers needs the picture codecs, which this build lacks");
    }
    if (options.minRegion != 0 && (options.filter != nullptr || !kPicturesBuiltIn)) {
        return UsageError(options.filter != nullptr ? "--min-region is for the flatten filter only"
                                                    : "--min-region needs the picture codecs, which this build lacks");
    }
    if (options.meanFill && options.filter != nullptr) {
        return UsageError("--fill is for the flatten filter only");
    }
    if (options.meanFill && !kPicturesBuiltIn) {
        return UsageError("--fill mean needs the picture codecs, which this build lacks");
    }
    if (options.colors != 0 && !kPicturesBuiltIn) {
        return UsageError("--colors needs the picture codecs, which this build lacks");
    }
    if (options.remapName != nullptr) {
        const char* other = options.filter != nullptr ? "a filter"
                            : options.colors != 0    ? "--colors"
                            : options.toleranceGiven ? "--tolerance"
                            : options.meanFill       ? "--fill mean"
                                                     : nullptr;
        if (other != nullptr) {
            return UsageError(std::string("--remap maps to its file's colours: not with ") + other);
        }
        if (!kPicturesBuiltIn) {
            return UsageError("--remap needs the picture codecs, which this build lacks");
        }
    }
    if (options.pinName != nullptr && (options.colors == 0 || options.firstFit || options.meanFill)) {
        return UsageError("--pin goes with --colors, whose chooser adds to its colours (not --first-fit or --fill mean)");
    }
    if (options.sharedPalette && (options.colors == 0 || options.firstFit || options.meanFill)) {
        return UsageError("--shared-palette goes with --colors, whose chooser it runs over every INPUT "
                          "(not --first-fit or --fill mean)");
    }
    if (options.pinName != nullptr && options.remapName != nullptr) {
        return UsageError("--remap and --pin do not go together: --remap takes its file's colours alone");
    }
    int status = CheckPaletteOptions(options);
    if (status >= 0) {
        return status;
    }
    if (options.quiet && options.verbose) {
        return UsageError("-q and -v do not go together");
    }
    if (options.inPlace && options.outputDir != nullptr) {
        return UsageError("--in-place and --output-dir do not go together");
    }
    bool batch = options.inPlace || options.outputDir != nullptr;
    if (options.output != nullptr && batch) {
        return UsageError("-o names the output of one INPUT, not of a batch");
    }
    if (IsAnimation(options)) {
        return CheckAnimation(options);
    }
    if (options.delayGiven) {
        return UsageError("--delay goes with an animated GIF: --shared-palette, -o FILE.gif and the frames");
    }
    if (options.output != nullptr && options.paths.size() > 1) {
        return UsageError("too many arguments: several INPUTs to one -o make an animated GIF, which takes "
                          "--shared-palette and a .gif output");
    }
    if (!batch) {
        size_t wanted = options.output != nullptr ? 1 : 2;
        if (options.paths.size() == wanted) {
            return -1;
        }
        return UsageError(options.paths.size() > wanted ? "too many arguments"
                          : wanted == 1                 ? "expected INPUT"
                                                        : "expected INPUT and OUTPUT");
    }
    if (options.paths.empty()) {
        return UsageError("no INPUT given");
    }
    for (const char* path : options.paths) {
        if (std::strcmp(path, "-") == 0) {
            return UsageError("- names no file to write a batch's result beside; use ./- for a file named -");
        }
    }
    return -1;
}

// One argument of short options: "-qv", "-oOUT", or "-o" with the next.
int ParseShortOptions(int argc, char** argv, int* i, Options* options) {
    const char* letters = argv[*i] + 1;
    for (size_t at = 0; letters[at] != 0; ++at) {
        const OptionEntry* option = FindOption("", letters[at]);
        if (option == nullptr) {
            return UsageError(std::string("unknown option '-") + letters[at] + "'");
        }
        const char* value = nullptr;
        if (option->takesValue) {
            value = letters[at + 1] != 0 ? letters + at + 1 : *i + 1 < argc ? argv[++*i] : nullptr;
            if (value == nullptr) {
                return UsageError(std::string("-") + letters[at] + " needs a value");
            }
        }
        int status = ApplyOption(*option, value, options);
        if (status >= 0 || option->takesValue) {
            return status;
        }
    }
    return -1;
}

// One long option: "--name=value" or "--name value" for those that take one.
int ParseLongOption(int argc, char** argv, int* i, Options* options) {
    std::string argument = argv[*i];
    size_t equals = argument.find('=');
    std::string name = argument.substr(0, equals);
    const char* value = equals != std::string::npos ? argv[*i] + equals + 1 : nullptr;
    const OptionEntry* option = FindOption(name, 0);
    if (option == nullptr) {
        const OptionEntry* nearest = NearestOption(name);
        return UsageError("unknown option '" + name + "'" +
                          (nearest != nullptr ? std::string("; did you mean ") + nearest->name + "?" : ""));
    }
    if (option->takesValue && value == nullptr) {
        if (++*i == argc) {
            return UsageError(name + " needs a value");
        }
        value = argv[*i];
    } else if (!option->takesValue && value != nullptr) {
        return UsageError(name + " takes no value");
    }
    return ApplyOption(*option, value, options);
}

}  // namespace

bool IsAnimation(const Options& options) {
    std::string unused;
    return options.sharedPalette && options.output != nullptr &&
           ChooseOutputFormat(options.format, FormatNone, options.output, &unused) == FormatGif;
}

int ParseArguments(int argc, char** argv, Options* options) {
    bool optionsEnded = false;
    for (int i = 1; i < argc; ++i) {
        const char* argument = argv[i];
        int status = -1;
        if (optionsEnded || argument[0] != '-' || argument[1] == 0) {
            options->paths.push_back(argument);  // "-" is standard input or output
        } else if (std::strcmp(argument, "--") == 0) {
            optionsEnded = true;
        } else if (argument[1] == '-') {
            status = ParseLongOption(argc, argv, &i, options);
        } else {
            status = ParseShortOptions(argc, argv, &i, options);
        }
        if (status >= 0) {
            return status;
        }
    }
    int status = CheckArguments(*options);
#if defined(QUENVALE_PICTURES)  // the palette files are read where the pictures are
    // Read before any job, so that a bad palette touches no output.
    auto read = [](const char* option, const char* name, std::vector<uint32_t>* colors) {
        std::string reason;
        return ReadPaletteFile(name, colors, &reason) ? -1 : UsageError(std::string(option) + " " + name + ": " + reason);
    };
    if (status < 0 && options->remapName != nullptr) {
        status = read("--remap", options->remapName, &options->remapColors);
        options->remap = &options->remapColors;
    }
    if (status < 0 && options->pinName != nullptr) {
        status = read("--pin", options->pinName, &options->pinColors);
        if (status < 0 && options->pinColors.size() > options->colors) {
            return UsageError(std::string("--pin ") + options->pinName + ": " + std::to_string(options->pinColors.size()) +
                              " colours, more than --colors " + std::to_string(options->colors));
        }
        options->pin = &options->pinColors;
    }
#endif
    return status;
}

}  // namespace quenvale_host
