// The Python extension quenvale._core: the flatten and the kernels on numpy
// arrays, and the host's own call on files. Pixels are worked on with the
// GIL released, and nothing here is shared between calls but constants,
// so threads may call it at once. The package (quenvale/__init__.py) gives
// it its Python face: Pillow images, the palette, the keyword arguments.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <atomic>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "app/held_filters.h"
#include "app/host.h"
#include "app/host_call.h"
#include "app/job.h"
#include "app/output_set.h"
#include "app/palette_read.h"
#include "codecs/picture.h"
#include "ops/filter_table.h"
#include "ops/palette_chooser.h"
#include "ops/palette_remap.h"
#include "ops/pixel_regions.h"
#include "quenvale_version.h"

namespace py = pybind11;
using quenvale_host::Picture;
using quenvale_host::PictureError;

namespace {

// A refused picture or file: quenvale.Error, a ValueError.
struct RefusedError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// The spare bytes after a picture's last pixel, which the flatten may load
// as part of a word.
constexpr size_t kSpareBytes = 8;

// An array the functions take, as a picture over storage of its own that
// the result array will own.
struct HeldArray {
    Picture picture;
    py::array storage;  // uint8, the rows and the spare bytes
    size_t channels;
    size_t itemBytes;
};

uint8_t ColorTypeOf(size_t channels) {
    static const uint8_t types[] = {0, quenvale_host::PngGray, quenvale_host::PngGrayAlpha, quenvale_host::PngRgb,
                                    quenvale_host::PngRgba};
    return types[channels];
}

// The checks an array must pass, with what was expected, before anything
// is allocated for it.
void CheckArray(const py::array& image, bool indexed, size_t* channels) {
    py::dtype type = image.dtype();
    bool unsignedInteger = type.kind() == 'u' && (type.itemsize() == 1 || (type.itemsize() == 2 && !indexed));
    if (!unsignedInteger) {
        throw py::type_error(std::string("expected an array of dtype ") + (indexed ? "uint8" : "uint8 or uint16") +
                             ", not " + py::str(static_cast<py::object>(type)).cast<std::string>());
    }
    py::ssize_t depth = image.ndim() == 3 ? image.shape(2) : 0;
    if (image.ndim() == 2) {
        *channels = 1;
    } else if (image.ndim() == 3 && !indexed && depth >= 2 && depth <= 4) {
        *channels = static_cast<size_t>(depth);
    } else {
        std::string shape = "(";
        for (py::ssize_t i = 0; i < image.ndim(); ++i) {
            shape += (i != 0 ? ", " : "") + std::to_string(image.shape(i));
        }
        shape += image.ndim() == 1 ? ",)" : ")";
        throw py::value_error(std::string("expected an array of shape ") +
                              (indexed ? "H x W of palette indices" : "H x W, H x W x 2, H x W x 3 or H x W x 4") +
                              ", not " + shape);
    }
    if (image.shape(0) > INT32_MAX || image.shape(1) > INT32_MAX) {
        throw RefusedError("a side of more than 2147483647 pixels");
    }
}

// The array's pixels copied into rows stride bytes apart, in the
// machine's byte order, whatever its strides and byte order.
void CopyIn(const py::array& image, size_t channels, size_t itemBytes, bool swap, uint8_t* rows, size_t stride) {
    const auto* base = static_cast<const uint8_t*>(image.data());
    py::ssize_t height = image.shape(0), width = image.shape(1);
    py::ssize_t rowStep = image.strides(0), pixelStep = image.strides(1);
    py::ssize_t sampleStep = image.ndim() == 3 ? image.strides(2) : 0;
    auto item = static_cast<py::ssize_t>(itemBytes);
    bool packed = !swap && pixelStep == static_cast<py::ssize_t>(channels) * item && (channels == 1 || sampleStep == item);
    size_t rowBytes = static_cast<size_t>(width) * channels * itemBytes;
    for (py::ssize_t y = 0; y < height; ++y) {
        const uint8_t* from = base + y * rowStep;
        uint8_t* to = rows + static_cast<size_t>(y) * stride;
        if (packed) {
            std::memcpy(to, from, rowBytes);
            continue;
        }
        for (py::ssize_t x = 0; x < width; ++x) {
            for (size_t c = 0; c < channels; ++c) {
                const uint8_t* sample = from + x * pixelStep + static_cast<py::ssize_t>(c) * sampleStep;
                to[0] = sample[swap ? 1 : 0];
                if (itemBytes == 2) {
                    to[1] = sample[swap ? 0 : 1];
                }
                to += itemBytes;
            }
        }
    }
}

// The array held as a picture: a palette's indices with its entries (and
// their alpha), or grey or RGB samples with alpha or a transparent key.
// Empty arrays are held with no storage. The GIL is released for the copy.
HeldArray HoldArray(const py::array& image, const py::object& palette, const py::object& alpha,
                    const py::object& key) {
    HeldArray held{};
    bool indexed = !palette.is_none();
    CheckArray(image, indexed, &held.channels);
    held.itemBytes = static_cast<size_t>(image.dtype().itemsize());
    Picture& picture = held.picture;
    picture.height = static_cast<uint32_t>(image.shape(0));
    picture.width = static_cast<uint32_t>(image.shape(1));
    quenvale_host::SetPngEncoding(&picture, indexed ? static_cast<uint8_t>(quenvale_host::PngPalette) : ColorTypeOf(held.channels), static_cast<uint8_t>(held.itemBytes * 8));
    if (indexed) {
        std::string entries = palette.cast<py::bytes>();
        std::string alphas = alpha.is_none() ? std::string() : std::string(alpha.cast<py::bytes>());
        if (entries.size() % 3 != 0 || entries.size() > 768 || alphas.size() > entries.size() / 3) {
            throw py::value_error("expected a palette of at most 256 RGB entries, and an alpha for at most each");
        }
        picture.paletteCount = static_cast<uint32_t>(entries.size() / 3);
        for (uint32_t i = 0; i < picture.paletteCount; ++i) {
            const auto* rgb = reinterpret_cast<const uint8_t*>(entries.data()) + 3 * size_t{i};
            quenvale_host::SetPaletteEntry(&picture, i, rgb[0], rgb[1], rgb[2]);
        }
        picture.alphaCount = static_cast<uint32_t>(alphas.size());
        std::memcpy(picture.paletteAlpha, alphas.data(), alphas.size());
    } else if (!key.is_none()) {
        std::vector<uint16_t> samples = key.cast<std::vector<uint16_t>>();
        size_t colours = held.channels == 1 ? 1 : held.channels == 3 ? 3 : 0;
        if (samples.size() != colours) {
            throw py::value_error("a transparent key is a grey value for an H x W array, or an RGB triple for "
                                  "H x W x 3; arrays with alpha take none");
        }
        picture.keyed = true;
        quenvale_host::SetKey(&picture, samples[0], samples.size() == 3 ? samples[1] : 0,
                              samples.size() == 3 ? samples[2] : 0);
    }
    size_t stride = 0;
    uint64_t total = 0;
    if (!quenvale_host::RowBytes(picture.width, quenvale_host::PngColorTypeOf(picture), picture.bits, &stride) ||
        (total = uint64_t{stride} * picture.height) > quenvale_host::kMaxPixelBytes || total > SIZE_MAX / 2) {
        throw RefusedError("its pixel data would take " + std::to_string(total) +
                           " bytes, more than the 4 GiB this reads");
    }
    picture.stride = stride;
    held.storage = py::array_t<uint8_t>(static_cast<py::ssize_t>(total + kSpareBytes));
    picture.rows = static_cast<uint8_t*>(held.storage.mutable_data());
    std::memset(picture.rows + total, 0, kSpareBytes);
    bool swap = held.itemBytes == 2 && image.dtype().byteorder() == (quenvale_host::HostIsLittleEndian() ? '>' : '<');
    py::gil_scoped_release unlocked;
    CopyIn(image, held.channels, held.itemBytes, swap, picture.rows, stride);
    return held;
}

// The held picture's rows as an array over its storage: the result.
py::array ResultOf(const HeldArray& held) {
    const Picture& picture = held.picture;
    auto item = static_cast<py::ssize_t>(held.itemBytes);
    std::vector<py::ssize_t> shape{picture.height, picture.width};
    std::vector<py::ssize_t> strides{static_cast<py::ssize_t>(picture.stride),
                                     static_cast<py::ssize_t>(held.channels) * item};
    if (held.channels > 1) {
        shape.push_back(static_cast<py::ssize_t>(held.channels));
        strides.push_back(item);
    }
    py::dtype type = held.itemBytes == 2 ? py::dtype::of<uint16_t>() : py::dtype::of<uint8_t>();
    return py::array(type, shape, strides, picture.rows, held.storage);
}

// A picture the kernels made, copied into a new array: samples of under 8
// bits widened (a palette's indices kept), 16-bit ones kept whole.
py::array ArrayOfPicture(const Picture& picture) {
    size_t channels = quenvale_host::ChannelsOf(picture);
    bool wide = picture.bits == 16;
    std::vector<py::ssize_t> shape{picture.height, picture.width};
    if (channels > 1) {
        shape.push_back(static_cast<py::ssize_t>(channels));
    }
    py::array result = wide ? py::array(py::dtype::of<uint16_t>(), shape) : py::array(py::dtype::of<uint8_t>(), shape);
    auto* out = static_cast<uint8_t*>(result.mutable_data());
    size_t rowBytes = size_t{picture.width} * channels * (wide ? 2 : 1);
    bool widen = picture.bits < 8 && quenvale_host::PngColorTypeOf(picture) != quenvale_host::PngPalette;
    py::gil_scoped_release unlocked;
    for (uint32_t y = 0; y < picture.height; ++y) {
        const uint8_t* row = picture.rows + size_t{y} * picture.stride;
        uint8_t* to = out + size_t{y} * rowBytes;
        if (picture.bits >= 8) {
            std::memcpy(to, row, rowBytes);
            continue;
        }
        for (size_t sample = 0; sample < size_t{picture.width} * channels; ++sample) {
            uint32_t value = quenvale_host::ReadSample(picture, row, sample);
            to[sample] = static_cast<uint8_t>(widen ? quenvale_host::WidenSample(value, picture.bits) : value);
        }
    }
    return result;
}

py::object PaletteBytes(const Picture& picture) {
    if (quenvale_host::PngColorTypeOf(picture) != quenvale_host::PngPalette) {
        return py::none();
    }
    std::string entries;
    for (uint32_t i = 0; i < picture.paletteCount; ++i) {
        for (uint32_t channel = 0; channel < 3; ++channel) {
            entries.push_back(static_cast<char>(quenvale_host::PaletteSample(picture, i, channel)));
        }
    }
    return py::bytes(entries);
}

// The palette a flatten made, one row an entry: colour (0xRRGGBB), pixel
// count, the founder's column and row (row 0 at the top), and its alpha.
py::array EntryTable(const quenvale::FlattenPalette& palette) {
    py::array_t<uint64_t> table({static_cast<py::ssize_t>(palette.count), py::ssize_t{5}});
    auto rows = table.mutable_unchecked<2>();
    for (size_t i = 0; i < palette.count; ++i) {
        const quenvale::FlattenEntry& entry = palette.entries[i];
        auto at = static_cast<py::ssize_t>(i);
        rows(at, 0) = entry.color;
        rows(at, 1) = entry.pixelCount;
        rows(at, 2) = entry.founderX;
        rows(at, 3) = entry.founderY;
        rows(at, 4) = entry.alpha;
    }
    return std::move(table);
}

void CheckTolerance(int tolerance) {
    if (tolerance < 0 || tolerance > 255) {
        throw py::value_error("tolerance takes a whole number from 0 to 255, not " + std::to_string(tolerance));
    }
}

// flatten: (result, palette bytes or None, entry table, tolerance used or
// -1 where the chooser ran, fully transparent pixels, the chooser's largest
// error).
// --min-region on a held result, in place, and its palette described
// anew; false where memory runs out (or the picture is too large to label).
bool RemoveSpecks(Picture* picture, uint64_t minRegion, quenvale::FlattenPalette* entries) {
    quenvale::RegionMerge merge{};
    return minRegion <= 1 || picture->rows == nullptr ||
           quenvale_host::RemoveSmallRegionsHeld(picture, minRegion, &merge, entries) == quenvale::StatusOk;
}

void CheckMinRegion(uint64_t minRegion) {
    if (minRegion > quenvale::kMostLabelledPixels) {
        throw py::value_error("min_region takes a number of pixels from 1 to " +
                              std::to_string(quenvale::kMostLabelledPixels) + ", not " + std::to_string(minRegion));
    }
}

py::tuple Flatten(const py::array& image, int tolerance, uint64_t colors, bool meanFill, bool firstFit,
                  const py::object& palette, const py::object& alpha, const py::object& key, uint64_t minRegion) {
    CheckTolerance(tolerance);
    CheckMinRegion(minRegion);
    if (colors > quenvale_host::kMaxColors) {
        throw py::value_error("colors takes a whole number from 1 to " + std::to_string(quenvale_host::kMaxColors) +
                              ", not " + std::to_string(colors));
    }
    HeldArray held = HoldArray(image, palette, alpha, key);
    Picture& picture = held.picture;
    quenvale::FlattenPalette entries{};
    quenvale::ChosenPalette chosen{};
    quenvale::Status status = quenvale::StatusOk;
    if (quenvale_host::ChoosesPalette(colors, firstFit, meanFill)) {
        tolerance = -1;  // the chooser's, even for a picture of no pixels
    }
    if (picture.width != 0 && picture.height != 0) {
        py::gil_scoped_release unlocked;
        status = quenvale_host::FlattenHeldToCount(&picture, &tolerance, colors, meanFill, firstFit, &entries, &chosen);
        status = status == quenvale::StatusOk && !RemoveSpecks(&picture, minRegion, &entries) ? quenvale::StatusOutOfMemory
                                                                                             : status;
    }
    if (status != quenvale::StatusOk) {
        quenvale::FreeFlattenPalette(&entries);
        if (status == quenvale::StatusOutOfMemory) {
            throw std::bad_alloc();
        }
        throw RefusedError("too many pixels to flatten");
    }
    py::array table = EntryTable(entries);
    uint64_t transparent = entries.transparent;
    quenvale::FreeFlattenPalette(&entries);
    return py::make_tuple(ResultOf(held), PaletteBytes(picture), table, tolerance, transparent, chosen.largestError);
}

// A job's failure, mapped to Python's exceptions here alone: OSError with
// the system's error, MemoryError, else quenvale.Error.
[[noreturn]] void RaiseJobError(const quenvale_host::JobError& failure) {
    if (failure.systemError != 0) {
        py::object error = py::reinterpret_steal<py::object>(
            PyObject_CallFunction(PyExc_OSError, "isO", failure.systemError, failure.reason.c_str(),
                                  py::str(failure.path).ptr()));
        if (!error) {
            throw py::error_already_set();
        }
        PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error.ptr())), error.ptr());
        throw py::error_already_set();
    }
    if (failure.status == quenvale::StatusOutOfMemory) {
        PyErr_SetString(PyExc_MemoryError, (failure.path + ": " + failure.reason).c_str());
        throw py::error_already_set();
    }
    throw RefusedError(failure.path + ": " + failure.reason);
}

// Colours (0xAARRGGBB) as an array for Python.
py::array_t<uint32_t> ColourArray(const uint32_t* colors, size_t count) {
    py::array_t<uint32_t> out(static_cast<py::ssize_t>(count));
    std::copy(colors, colors + count, out.mutable_data());
    return out;
}

// remap: the picture mapped onto the colours given (0xAARRGGBB), or with
// colors not 0 onto the pinned ones and those the chooser adds: (result,
// palette bytes or None, alpha bytes, entry table, fully transparent
// pixels, the largest error). The result is the palette picture's indices
// up to 256 colours, else 8-bit RGB or RGBA samples.
py::tuple Remap(const py::array& image, const py::array_t<uint32_t, py::array::c_style | py::array::forcecast>& given,
                uint64_t colors, const py::object& palette, const py::object& alpha, const py::object& key,
                uint64_t minRegion) {
    CheckMinRegion(minRegion);
    std::vector<uint32_t> wanted(given.data(), given.data() + given.size());
    if (wanted.empty() || wanted.size() > quenvale::kMostRemapColors) {
        throw py::value_error("a palette of " + std::to_string(wanted.size()) + " colours (1 to 65,536)");
    }
    if (colors != 0 && (colors > quenvale_host::kMaxColors || wanted.size() > colors)) {
        throw py::value_error(std::to_string(wanted.size()) + " pinned colours, more than colors " + std::to_string(colors));
    }
    HeldArray held = HoldArray(image, palette, alpha, key);
    Picture& picture = held.picture;
    uint32_t largestError = 0;
    quenvale::FlattenPalette entries{};
    PictureError error{};
    Picture remapped{};
    bool done = true;
    if (picture.width != 0 && picture.height != 0) {
        py::gil_scoped_release unlocked;
        std::vector<uint32_t> pinned;
        quenvale::Status status = colors != 0 ? quenvale_host::ChoosePinnedHeld(&picture, colors, wanted, &pinned)
                                              : quenvale::StatusOk;
        error = {"not enough memory to choose its colours", status};
        done = status == quenvale::StatusOk &&
               quenvale_host::RemapHeld(picture, colors != 0 ? pinned : wanted, &remapped, &largestError, &error);
        done = done && quenvale::DescribeFlattenPalette(remapped, &entries) == quenvale::StatusOk &&
               RemoveSpecks(&remapped, minRegion, &entries);
    }
    if (!done) {
        quenvale::FreeFlattenPalette(&entries);
        quenvale_host::ReleasePicture(&remapped);
        if (error.status == quenvale::StatusOutOfMemory || error.status == quenvale::StatusOk) {
            throw std::bad_alloc();
        }
        throw RefusedError(error.reason);
    }
    py::array table = EntryTable(entries);
    uint64_t transparent = entries.transparent;
    quenvale::FreeFlattenPalette(&entries);
    if (remapped.rows == nullptr) {  // no pixels: no picture made
        return py::make_tuple(ResultOf(held), py::none(), py::bytes(), table, transparent, largestError);
    }
    bool indexed = quenvale_host::PngColorTypeOf(remapped) == quenvale_host::PngPalette;
    std::string alphas(reinterpret_cast<const char*>(remapped.paletteAlpha), indexed ? remapped.alphaCount : 0);
    py::array result = ArrayOfPicture(remapped);
    py::object plte = PaletteBytes(remapped);
    quenvale_host::ReleasePicture(&remapped);
    return py::make_tuple(result, plte, py::bytes(alphas), table, transparent, largestError);
}

// to_svg: the picture as the tool writes an SVG, a path a region.
py::str ToSvg(const py::array& image, const py::object& palette, const py::object& alpha, const py::object& key) {
    HeldArray held = HoldArray(image, palette, alpha, key);
    if (held.picture.width == 0 || held.picture.height == 0) {
        throw py::value_error("an SVG holds at least one pixel");
    }
    quenvale_host::EncodedFile svg{};
    PictureError error{};
    bool encoded = false;
    {
        py::gil_scoped_release unlocked;
        encoded = quenvale_host::EncodeSvgPieces(held.picture, quenvale_host::EncodeRequest{}, &svg, &error);
    }
    if (!encoded) {
        if (error.status == quenvale::StatusOutOfMemory) {
            throw std::bad_alloc();
        }
        throw RefusedError(error.reason);
    }
    py::str text(reinterpret_cast<const char*>(svg.encoded), svg.encodedLength);
    quenvale_host::ReleaseEncodedFile(&svg);
    return text;
}

// shared_palette: the chooser over several images as one (--shared-palette),
// each given as (array, palette, alpha, key); its colours, 0xAARRGGBB, the
// pinned ones first.
py::array_t<uint32_t> SharedPalette(const py::list& images, uint64_t colors,
                                    const py::array_t<uint32_t, py::array::c_style | py::array::forcecast>& pin) {
    if (colors == 0 || colors > quenvale_host::kMaxColors || static_cast<uint64_t>(pin.size()) > colors) {
        throw py::value_error("colors takes a whole number from 1 to " + std::to_string(quenvale_host::kMaxColors) +
                              ", and at least the pinned colours");
    }
    std::vector<HeldArray> held;
    std::vector<Picture> pictures;
    for (const py::handle& item : images) {
        auto parts = item.cast<py::tuple>();
        held.push_back(HoldArray(parts[0].cast<py::array>(), parts[1], parts[2], parts[3]));
    }
    for (HeldArray& one : held) {
        quenvale_host::LittleEndianSamples(&one.picture);
        pictures.push_back(one.picture);
    }
    std::vector<uint32_t> chosen(colors);
    uint32_t count = 0;
    quenvale::Status status = quenvale::StatusOk;
    {
        py::gil_scoped_release unlocked;
        status = quenvale::ChooseColorsOf(pictures.data(), pictures.size(), static_cast<uint32_t>(colors), pin.data(),
                                          static_cast<uint32_t>(pin.size()), chosen.data(), &count);
    }
    if (status != quenvale::StatusOk) {
        throw std::bad_alloc();
    }
    return ColourArray(chosen.data(), count);
}

// Reads a palette file as --remap and --pin do: its colours, 0xAARRGGBB.
py::array_t<uint32_t> ReadPalette(const std::string& path) {
    std::vector<uint32_t> colors;
    std::string reason;
    int systemError = 0;
    if (!quenvale_host::ReadPaletteFile(path, &colors, &reason, &systemError)) {
        RaiseJobError({quenvale::StatusBadInput, path, reason, systemError});
    }
    return ColourArray(colors.data(), colors.size());
}

// filter: (result, palette bytes or None); the flatten's row is Flatten.
py::tuple Filter(const py::array& image, const std::string& name, const py::object& palette, const py::object& alpha,
                 const py::object& key) {
    const quenvale::NamedFilter* filter = quenvale::FindNamedFilter(name.c_str());
    if (filter == nullptr || filter == &quenvale::kNamedFilters[0]) {
        std::string names;
        for (size_t i = 1; i < quenvale::kNamedFilterCount; ++i) {
            names += std::string(i > 1 ? ", " : "") + quenvale::kNamedFilters[i].name;
        }
        throw py::value_error("unknown filter '" + name + "' (the kernels are " + names + "; flatten() flattens)");
    }
    HeldArray held = HoldArray(image, palette, alpha, key);
    if (held.picture.width == 0 || held.picture.height == 0) {
        return py::make_tuple(ResultOf(held), PaletteBytes(held.picture));
    }
    Picture result{};
    PictureError error{};
    bool done = false;
    {
        py::gil_scoped_release unlocked;
        done = quenvale_host::KernelOnHeld(filter->kernel, held.picture, &result, &error);
    }
    if (!done) {
        quenvale_host::ReleasePicture(&result);
        throw RefusedError(error.reason);
    }
    py::array array = ArrayOfPicture(result);
    py::object entries = PaletteBytes(result);
    quenvale_host::ReleasePicture(&result);
    return py::make_tuple(array, entries);
}

// What a caller may set to stop a flatten_file between its steps.
struct Cancel {
    std::atomic<bool> asked{false};
};

// flatten_file: one job built from the package's arguments, checked there
// already (the same checks as the host's options), its outputs checked as
// a set, and run by the host's own runner. A failure raises OSError where
// the system gave an error number, quenvale.Error where the file or its set
// of outputs was refused.
void FlattenFile(const std::string& input, const std::string& output, const std::string& filter, int tolerance,
                 uint64_t colors, bool mean, bool firstFit, const std::string& format, const std::string& palette,
                 const std::string& paletteFormat, const std::string& layers, bool keepEncoding, uint64_t maxPixels,
                 uint64_t minRegion, const std::string& effort, Cancel& cancel) {
    CheckMinRegion(minRegion);
    std::u16string units;
    for (const std::string* path : {&input, &output, &palette, &layers}) {
        if (!quenvale_host::DecodeUtf8(*path, &units)) {
            throw py::value_error("a path is not valid UTF-8, as this takes paths");
        }
    }
    quenvale_host::JobOptions options;
    if (filter != "flatten") {
        options.filter = quenvale::FindNamedFilter(filter.c_str());
        if (options.filter == nullptr) {
            throw py::value_error("unknown filter '" + filter + "'");
        }
        options.filterGiven = true;
    }
    if (tolerance >= 0) {
        CheckTolerance(tolerance);
        options.call.tolerance = tolerance;
        options.toleranceGiven = true;
    }
    options.colors = colors;
    options.minRegion = minRegion;
    options.effort = effort == "fast" ? quenvale_host::EffortFast
                     : effort == "max" ? quenvale_host::EffortMax
                                       : quenvale_host::EffortDefault;
    options.meanFill = mean;
    options.firstFit = firstFit;
    if (!format.empty()) {
        std::string refusal;
        options.format = quenvale_host::ParseFormat(format, &refusal);
        if (options.format == quenvale_host::FormatNone) {
            throw py::value_error(refusal);
        }
    }
    options.palette = palette.empty() ? nullptr : palette.c_str();
    options.paletteFormat = paletteFormat.empty() ? nullptr : paletteFormat.c_str();
    options.layersDir = layers.empty() ? nullptr : layers.c_str();
    options.keepEncoding = keepEncoding;
    if (maxPixels != 0) {
        options.maxPixels = maxPixels;
    }
    quenvale_host::JobPaths paths{input, output};
    quenvale_host::JobOutcome outcome{false, {}, {}};
    std::string refusal;
    {
        py::gil_scoped_release unlocked;
        refusal = quenvale_host::CheckOutputSet(options, {paths});
        if (refusal.empty()) {
            // A SIGTERM mid-call removes the temporaries, where Python leaves it as it comes.
            quenvale_host::RemoveTemporariesOnSignals(true);
            quenvale_host::WatchCancel(&cancel.asked);
            outcome = quenvale_host::RunJob(options, paths);
            quenvale_host::WatchCancel(nullptr);
        }
    }
    if (!refusal.empty()) {
        throw RefusedError(refusal);
    }
    for (const quenvale_host::JobError& warning : outcome.warnings) {
        if (PyErr_WarnEx(PyExc_UserWarning, (warning.path + ": " + warning.reason).c_str(), 1) != 0) {
            throw py::error_already_set();  // warnings made errors
        }
    }
    if (outcome.written) {
        return;
    }
    RaiseJobError(outcome.errors.front());
}

// For the benchmark: the engine's flatten, in place, on packed 8-bit RGB
// rows already in memory (with spare bytes after them), and with the
// palette it made or without: the baselines flatten() is measured against.
void EngineFlatten(py::array_t<uint8_t, py::array::c_style> rows, uint32_t width, uint32_t height, int tolerance,
                   bool palette) {
    CheckTolerance(tolerance);
    if (static_cast<uint64_t>(rows.size()) < uint64_t{width} * height * 3 + kSpareBytes) {
        throw py::value_error("the rows are shorter than the picture and its spare bytes");
    }
    quenvale::Picture model{};
    model.width = width;
    model.height = height;
    model.topDown = true;
    model.storage = quenvale::StorageRgb;
    model.bits = 8;
    model.stride = size_t{width} * 3;
    model.rows = rows.mutable_data();
    py::gil_scoped_release unlocked;
    quenvale::FlattenPalette entries{};
    if (palette) {
        quenvale::FlattenPicture(model, tolerance, &entries);
    } else {
        quenvale::FlattenPicture(model, tolerance);
    }
    quenvale::FreeFlattenPalette(&entries);
}

}  // namespace


PYBIND11_MODULE(_core, module) {
    module.doc() = "The native part of quenvale; use the quenvale package.";
    static py::exception<RefusedError> refused(module, "Error", PyExc_ValueError);
    refused.attr("__module__") = "quenvale";
    refused.doc() = "A picture or file refused, with the reason; a ValueError.";
    py::register_exception_translator([](std::exception_ptr thrown) {
        try {
            if (thrown) {
                std::rethrow_exception(thrown);
            }
        } catch (const RefusedError& error) {
            PyErr_SetString(refused.ptr(), error.what());
        }
    });
    module.def("flatten", &Flatten, py::arg("image"), py::arg("tolerance"), py::arg("colors"), py::arg("mean"),
               py::arg("first_fit"), py::arg("palette"), py::arg("alpha"), py::arg("key"), py::arg("min_region"));
    module.def("remap", &Remap, py::arg("image"), py::arg("colors_given"), py::arg("colors"), py::arg("palette"),
               py::arg("alpha"), py::arg("key"), py::arg("min_region"));
    module.def("to_svg", &ToSvg, py::arg("image"), py::arg("palette"), py::arg("alpha"), py::arg("key"));
    module.def("read_palette", &ReadPalette, py::arg("path"));
    module.def("shared_palette", &SharedPalette, py::arg("images"), py::arg("colors"), py::arg("pin"));
    module.def("filter", &Filter, py::arg("image"), py::arg("name"), py::arg("palette"), py::arg("alpha"),
               py::arg("key"));
    py::class_<Cancel>(module, "Cancel", "Asks a flatten_file running on another thread to stop.")
        .def(py::init<>())
        .def("cancel", [](Cancel& cancel) { cancel.asked.store(true); })
        .def_property_readonly("asked", [](const Cancel& cancel) { return cancel.asked.load(); });
    module.def("flatten_file", &FlattenFile, py::arg("input"), py::arg("output"), py::arg("filter"),
               py::arg("tolerance"), py::arg("colors"), py::arg("mean"), py::arg("first_fit"), py::arg("format"),
               py::arg("palette"),
               py::arg("palette_format"), py::arg("layers"), py::arg("keep_encoding"), py::arg("max_pixels"),
               py::arg("min_region"), py::arg("effort"), py::arg("cancel"));
    module.def("_engine_flatten", &EngineFlatten, py::arg("rows"), py::arg("width"), py::arg("height"),
               py::arg("tolerance"), py::arg("palette"));
    std::vector<std::string> names;
    for (size_t i = 0; i < quenvale::kNamedFilterCount; ++i) {
        names.emplace_back(quenvale::kNamedFilters[i].name);
    }
    module.attr("FILTERS") = py::tuple(py::cast(names));
    module.attr("MAX_COLORS") = quenvale_host::kMaxColors;
    module.attr("__version__") = QUENVALE_VERSION;
}
