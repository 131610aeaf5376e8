// The files a run writes, checked as one set before any work: an output
// that names an input, or two outputs that name one file, would lose a
// picture or a palette without a word, since every file is replaced whole.
#include "app/output_set.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <map>

#include "app/host.h"
#include "app/host_call.h"
#include "base/output_file.h"

namespace quenvale_host {

namespace {

// A file of the set: the name in its folder, and the file it is now where
// it exists (a link or hard link to an input has the input's identity).
struct Place {
    NameKey name;
    NameKey file;  // empty name part where it exists; else equal to name
};

Place PlaceOf(const std::string& path) {
    NameKey folder = Identity(FolderOf(path));
    NameKey name = std::get<2>(folder).empty() ? NameKey{std::get<0>(folder), std::get<1>(folder), BaseName(path)}
                                               : NameKey{0, 0, path};
    NameKey file = Identity(path);
    return Place{name, std::get<2>(file).empty() ? file : name};
}

// The places written so far, each with what it is, for the refusal.
struct Claims {
    std::map<NameKey, std::string> byName;
    std::map<NameKey, std::string> byFile;

    // What the place already is, or null.
    const std::string* Find(const Place& place) const {
        auto named = byName.find(place.name);
        if (named != byName.end()) {
            return &named->second;
        }
        auto file = byFile.find(place.file);
        return file != byFile.end() ? &file->second : nullptr;
    }
    void Add(const Place& place, const std::string& what) {
        byName.emplace(place.name, what);
        byFile.emplace(place.file, what);
    }
};

// The library's own words for a link it will not follow.
std::string RefusedLinkText() {
    return FailureText(quenvale::FailWith(quenvale::StatusOutputOpenFailed, quenvale::ReasonLinkInSharedFolder));
}

// A folder an option names: it exists, is a folder, and is reached through
// no refused link. "" where it is fit.
std::string CheckFolder(const std::string& folder, const char* option) {
    PathKind kind = KindOfPath(folder);
    if (kind == PathMissing) {
        return folder + ": no such folder for " + option + "; make it first (mkdir -p)";
    }
    if (kind != PathFolder) {
        return folder + ": not a folder, as " + option + " needs";
    }
    if (quenvale::PathCrossesRefusedLink(folder.c_str())) {
        return folder + ": " + option + " goes through " + RefusedLinkText();
    }
    return "";
}

// A file's folder reached through a refused link: why, or "".
std::string CheckFileFolder(const std::string& path) {
    return quenvale::PathCrossesRefusedLink(FolderOf(path).c_str())
               ? path + ": its folder is reached through " + RefusedLinkText()
               : "";
}

bool SamePlace(const Place& a, const Place& b) { return a.name == b.name || a.file == b.file; }

// The stem whose layer this file name would be, or "" where it is none.
std::string LayerStemOf(const std::string& name) {
    size_t dash = name.rfind('-');
    size_t dot = dash == std::string::npos ? std::string::npos : name.rfind('.', dash);
    if (dot == std::string::npos || dot == 0 || !IsLayerOf(name, name.substr(0, dot))) {
        return "";
    }
    return name.substr(0, dot);
}

}  // namespace

NameKey Identity(const std::string& path) {
    FileId id{};
    if (IdentityOf(path, &id)) {
        return NameKey{id.device, id.index, std::string()};
    }
    return NameKey{0, 0, path};
}

std::string StemOf(const std::string& input, const std::string& output) {
    std::string base = BaseName(output != "-" && !output.empty() ? output : input != "-" ? input : "stdin");
    size_t dot = base.rfind('.');
    return dot == std::string::npos || dot == 0 ? base : base.substr(0, dot);
}

std::string PalettePathOf(const JobOptions& options, const std::string& input, const std::string& output,
                          PaletteFormat* format) {
    // The name and format were checked with the options.
    PaletteFormatFor(options.palette != nullptr ? options.palette : "", options.paletteFormat, format);
    if (options.palette != nullptr) {
        return options.palette;
    }
    if (options.paletteDir == nullptr) {
        return "";
    }
    return std::string(options.paletteDir) + "/" + StemOf(input, output) + "." + PaletteExtension(*format);
}

std::string LayerName(const std::string& stem, size_t layer, size_t count, uint32_t argb) {
    size_t digits = std::max<size_t>(2, std::to_string(count == 0 ? 0 : count - 1).size());
    char name[48];
    if (argb >> 24 == 0xFF) {
        std::snprintf(name, sizeof name, ".%0*zu-%06x.png", static_cast<int>(digits), layer,
                      static_cast<unsigned>(argb & 0xFFFFFF));
    } else {
        std::snprintf(name, sizeof name, ".%0*zu-%06x%02x.png", static_cast<int>(digits), layer,
                      static_cast<unsigned>(argb & 0xFFFFFF), static_cast<unsigned>(argb >> 24));
    }
    return stem + name;
}

bool IsLayerOf(const std::string& name, const std::string& stem) {
    if (name.size() < stem.size() + 1 || name.compare(0, stem.size(), stem) != 0 || name[stem.size()] != '.') {
        return false;
    }
    std::string rest = name.substr(stem.size() + 1);  // NN-RRGGBB.png or NN-RRGGBBAA.png
    size_t dash = rest.find('-');
    if (dash == std::string::npos || dash < 2 || rest.size() < 4 || rest.compare(rest.size() - 4, 4, ".png") != 0) {
        return false;
    }
    for (size_t i = 0; i < dash; ++i) {
        if (!std::isdigit(static_cast<unsigned char>(rest[i]))) {
            return false;
        }
    }
    size_t hex = rest.size() - 4 - dash - 1;
    if (hex != 6 && hex != 8) {
        return false;
    }
    for (size_t i = dash + 1; i < rest.size() - 4; ++i) {
        char c = rest[i];
        if (!std::isdigit(static_cast<unsigned char>(c)) && (c < 'a' || c > 'f')) {
            return false;
        }
    }
    return true;
}

std::string CheckOutputSet(const JobOptions& options, const std::vector<JobPaths>& jobs) {
    for (const auto& [folder, option] : {std::pair<const char*, const char*>{options.paletteDir, "--palette-dir"},
                                         {options.layersDir, "--layers"}}) {
        std::string refusal = folder != nullptr ? CheckFolder(folder, option) : "";
        if (!refusal.empty()) {
            return refusal;
        }
    }
    // Inputs first: any output that is one is refused, but an image written
    // in place over its own input.
    Claims inputs;
    std::vector<Place> inputPlaces;  // each job's, where it has a file
    for (const JobPaths& job : jobs) {
        inputPlaces.push_back(job.input != "-" ? PlaceOf(job.input) : Place{});
        if (job.input != "-") {
            inputs.Add(inputPlaces.back(), job.input);
        }
    }
    Claims written;
    std::map<std::pair<NameKey, std::string>, std::string> stems;  // the layers' folder and stem, to the input
    NameKey layersFolder = options.layersDir != nullptr ? Identity(options.layersDir) : NameKey{};
    std::vector<std::pair<Place, std::string>> files;  // every input and output, against the layers' names
    for (size_t i = 0; i < jobs.size(); ++i) {
        const JobPaths& job = jobs[i];
        if (job.output != "-") {
            Place place = PlaceOf(job.output);
            std::string refusal = CheckFileFolder(job.output);
            if (!refusal.empty()) {
                return refusal;
            }
            const std::string* input = inputs.Find(place);
            if (input != nullptr && !(job.input != "-" && SamePlace(place, inputPlaces[i]))) {
                return job.output + " is the input " + *input + "; the result of " + job.input + " would replace it";
            }
            if (const std::string* other = written.Find(place)) {
                return job.output + ", the result of " + job.input + ", would replace " + *other;
            }
            written.Add(place, job.output + ", the result of " + job.input);
            files.emplace_back(place, job.output);
        }
        if (job.input != "-") {
            files.emplace_back(inputPlaces[i], job.input);
        }
        PaletteFormat format{};
        std::string palette = PalettePathOf(options, job.input, job.output, &format);
        if (!palette.empty() && palette != "-") {
            Place place = PlaceOf(palette);
            if (KindOfPath(FolderOf(palette)) != PathFolder) {
                return palette + ": no such folder for the palette; make it first (mkdir -p)";
            }
            std::string refusal = CheckFileFolder(palette);
            if (!refusal.empty()) {
                return refusal;
            }
            if (const std::string* input = inputs.Find(place)) {
                return "the palette " + palette + " is the input " + *input + ", which it would replace";
            }
            if (const std::string* other = written.Find(place)) {
                return "the palette " + palette + " of " + job.input + " would replace " + *other;
            }
            written.Add(place, palette + ", the palette of " + job.input);
            files.emplace_back(place, palette);
        }
        if (options.layersDir != nullptr) {
            auto [at, fresh] = stems.emplace(std::make_pair(layersFolder, StemOf(job.input, job.output)), job.input);
            if (!fresh) {
                return at->second + " and " + job.input + " would both write their layers as " + options.layersDir +
                       "/" + at->first.second + ".NN-RRGGBB.png";
            }
        }
    }
    // A file in the layers' folder named as a layer of this run would be
    // replaced by it, or removed as a stale one.
    for (const auto& [place, path] : files) {
        std::string stem = options.layersDir != nullptr && std::get<0>(place.name) == std::get<0>(layersFolder) &&
                                   std::get<1>(place.name) == std::get<1>(layersFolder) &&
                                   std::get<2>(layersFolder).empty()
                               ? LayerStemOf(std::get<2>(place.name))
                               : "";
        auto owner = stem.empty() ? stems.end() : stems.find(std::make_pair(layersFolder, stem));
        if (owner != stems.end()) {
            return path + " is named as a layer of " + owner->second + " in " + options.layersDir +
                   ", which would replace it";
        }
    }
    return "";
}

}  // namespace quenvale_host
