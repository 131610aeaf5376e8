// The flatten on pictures in memory, storage by storage and in both row
// orders, against the plain first-fit walk over colours decoded here: each
// pixel's colour samples are its founder's at full depth, alpha and the
// bits outside a mask its own, and the palette read back is the walk's.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <deque>
#include <map>
#include <set>

#include "ops/color_count.h"
#include "ops/min_region.h"
#include "ops/palette_chooser.h"
#include "ops/palette_remap.h"
#include "ops/picture_flatten.h"
#include "test_support.h"

namespace quenvale_test {
namespace {

using quenvale::Picture;

struct Kind {
    const char* name;
    quenvale::PixelStorage storage;
    uint8_t bits;
    bool alpha;
};

const Kind kKinds[] = {
    {"indexed1", quenvale::StorageIndexed, 1, false}, {"indexed2", quenvale::StorageIndexed, 2, false},
    {"indexed4", quenvale::StorageIndexed, 4, false}, {"indexed8", quenvale::StorageIndexed, 8, false},
    {"grey1", quenvale::StorageGrey, 1, false},       {"grey2", quenvale::StorageGrey, 2, false},
    {"grey4", quenvale::StorageGrey, 4, false},       {"grey8", quenvale::StorageGrey, 8, false},
    {"grey16", quenvale::StorageGrey, 16, false},     {"greyAlpha8", quenvale::StorageGrey, 8, true},
    {"greyAlpha16", quenvale::StorageGrey, 16, true}, {"rgb8", quenvale::StorageRgb, 8, false},
    {"rgba8", quenvale::StorageRgb, 8, true},         {"rgb16", quenvale::StorageRgb, 16, false},
    {"rgba16", quenvale::StorageRgb, 16, true},       {"masked565", quenvale::StorageMasked, 16, false},
    {"masked10bit", quenvale::StorageMasked, 32, false}, {"bgr24", quenvale::StorageBgr24, 24, false},
};

uint32_t Samples(const Picture& picture) {
    switch (picture.storage) {
        case quenvale::StorageGrey:
            return picture.alpha ? 2 : 1;
        case quenvale::StorageRgb:
            return picture.alpha ? 4 : 3;
        default:
            return 1;
    }
}

uint32_t SampleBits(const Picture& picture) { return picture.storage == quenvale::StorageBgr24 ? 8 : picture.bits; }

// Sample i of a pixel, or byte i of a BGR one: packed from a byte's high
// bits down, a byte, or a little-endian word of 16 or 32 bits.
uint32_t GetSample(const Picture& picture, const uint8_t* row, uint32_t x, uint32_t i) {
    uint32_t bits = SampleBits(picture);
    uint32_t per = picture.storage == quenvale::StorageBgr24 ? 3 : Samples(picture);
    size_t at = (size_t{x} * per + i) * bits;
    if (bits < 8) {
        return row[at / 8] >> (8 - bits - at % 8) & ((1u << bits) - 1);
    }
    uint32_t value = 0;
    for (uint32_t byte = 0; byte < bits / 8; ++byte) {
        value |= uint32_t{row[at / 8 + byte]} << (8 * byte);
    }
    return value;
}

void SetSample(const Picture& picture, uint8_t* row, uint32_t x, uint32_t i, uint32_t value) {
    uint32_t bits = SampleBits(picture);
    uint32_t per = picture.storage == quenvale::StorageBgr24 ? 3 : Samples(picture);
    size_t at = (size_t{x} * per + i) * bits;
    if (bits < 8) {
        uint32_t shift = 8 - bits - at % 8;
        row[at / 8] = static_cast<uint8_t>((row[at / 8] & ~(((1u << bits) - 1) << shift)) | value << shift);
        return;
    }
    for (uint32_t byte = 0; byte < bits / 8; ++byte) {
        row[at / 8 + byte] = static_cast<uint8_t>(value >> (8 * byte));
    }
}

uint8_t Top8(uint32_t value, uint32_t bits) {
    if (bits >= 8) {
        return static_cast<uint8_t>(value >> (bits - 8));
    }
    uint32_t wide = 0;
    for (uint32_t filled = 0; filled < 8; filled += bits) {
        wide = wide << bits | value;
    }
    return static_cast<uint8_t>(wide >> ((8 + bits - 1) / bits * bits - 8));
}

Rgb ColorOf(const Picture& picture, const uint8_t* row, uint32_t x) {
    uint32_t first = GetSample(picture, row, x, 0);
    switch (picture.storage) {
        case quenvale::StorageIndexed: {
            uint32_t color = first < picture.paletteCount ? picture.palette[first] : 0;
            return Rgb{uint8_t(color >> 16), uint8_t(color >> 8), uint8_t(color)};
        }
        case quenvale::StorageGrey: {
            uint8_t grey = Top8(first, picture.bits);
            return Rgb{grey, grey, grey};
        }
        case quenvale::StorageRgb:
            return Rgb{Top8(first, 8 * (picture.bits / 8)), Top8(GetSample(picture, row, x, 1), picture.bits),
                       Top8(GetSample(picture, row, x, 2), picture.bits)};
        case quenvale::StorageMasked: {
            uint8_t channel[3];
            for (int c = 0; c < 3; ++c) {
                const quenvale::ChannelMask& mask = picture.channels[c];
                channel[c] = Top8((first & mask.mask) >> mask.shift, mask.bits);
            }
            return Rgb{channel[0], channel[1], channel[2]};
        }
        case quenvale::StorageBgr24:
            break;
    }
    return Rgb{uint8_t(GetSample(picture, row, x, 2)), uint8_t(GetSample(picture, row, x, 1)), uint8_t(first)};
}

// A picture of random rows (few levels, so that entries gather pixels),
// with two spare bytes a row and a random palette or masks.
Picture MakePicture(const Kind& kind, bool topDown, std::mt19937& random, std::vector<uint8_t>& storage,
                    uint32_t width = 13, uint32_t height = 11) {
    Picture picture{};
    picture.width = width;
    picture.height = height;
    picture.topDown = topDown;
    picture.storage = kind.storage;
    picture.bits = kind.bits;
    picture.alpha = kind.alpha;
    picture.stride = (size_t{picture.width} * Samples(picture) * kind.bits + 7) / 8 + 2;
    storage.assign(picture.stride * picture.height + 8, 0);
    picture.rows = storage.data();
    uint32_t per = kind.storage == quenvale::StorageBgr24 ? 3 : Samples(picture);
    uint32_t bits = SampleBits(picture);
    uint32_t most = bits >= 32 ? UINT32_MAX : (1u << bits) - 1;
    for (uint32_t y = 0; y < picture.height; ++y) {
        for (uint32_t x = 0; x < picture.width; ++x) {
            for (uint32_t i = 0; i < per; ++i) {
                uint32_t level = random() % 6;
                SetSample(picture, picture.rows + y * picture.stride, x, i, most / 5 * level + random() % 3);
            }
        }
    }
    // A palette shorter than the indices reach: those past it are black.
    picture.paletteCount = kind.storage != quenvale::StorageIndexed ? 0 : kind.bits == 1 ? 2 : (1u << kind.bits) - 1;
    for (uint32_t i = 0; i < 256; ++i) {
        picture.palette[i] = i < picture.paletteCount ? (random() % 4 * 0x3F3F3Fu) ^ (random() % 0x202020u) : 0;
    }
    if (kind.bits == 16) {
        picture.channels[0] = {0xF800, 11, 5};
        picture.channels[1] = {0x07E0, 5, 6};
        picture.channels[2] = {0x001F, 0, 5};
    } else {
        picture.channels[0] = {0x3FF00000, 20, 10};
        picture.channels[1] = {0x000FFC00, 10, 10};
        picture.channels[2] = {0x000003FF, 0, 10};
    }
    picture.colorBits = picture.channels[0].mask | picture.channels[1].mask | picture.channels[2].mask;
    return picture;
}

const uint8_t* StoredRow(const Picture& picture, const std::vector<uint8_t>& rows, uint32_t visited) {
    return rows.data() + (picture.topDown ? picture.height - 1 - visited : visited) * picture.stride;
}

// Every pixel's colour as the flatten sees it, rows as visited.
Image SeenImage(const Picture& picture, const std::vector<uint8_t>& rows) {
    Image seen = MakeImage(picture.width, picture.height);
    for (uint32_t y = 0; y < picture.height; ++y) {
        for (uint32_t x = 0; x < picture.width; ++x) {
            seen.At(x, y) = ColorOf(picture, StoredRow(picture, rows, y), x);
        }
    }
    return seen;
}

// The palette read back from any picture: each distinct colour one entry,
// founded by its first pixel in the visiting order, with its pixel count.
// Large enough for thousands of colours, more than the walk's cache holds,
// and (16-bit samples, masked words) several stored values of one colour.
TEST(PictureFlatten, PaletteReadBackIsEachColoursFirstPixelAndCount) {
    std::mt19937 random(11);
    for (const Kind& kind : kKinds) {
        SCOPED_TRACE(kind.name);
        std::vector<uint8_t> rows;
        Picture picture = MakePicture(kind, kind.bits % 2 == 0, random, rows, 301, 67);
        Image seen = SeenImage(picture, rows);
        std::vector<uint64_t> order;  // each entry's founder: x, then y
        std::map<uint32_t, std::pair<size_t, uint64_t>> first;  // colour: its place in order, its count
        uint64_t transparent = 0;  // pixels of alpha 0: no colour
        for (uint32_t x = 0; x < picture.width; ++x) {
            for (uint32_t y = 0; y < picture.height; ++y) {
                if (kind.alpha && GetSample(picture, StoredRow(picture, rows, y), x, Samples(picture) - 1) == 0) {
                    ++transparent;
                    continue;
                }
                const Rgb& c = seen.At(x, y);
                uint32_t color = uint32_t{c.red} << 16 | uint32_t{c.green} << 8 | c.blue;
                auto [at, fresh] = first.emplace(color, std::make_pair(order.size(), 0));
                if (fresh) {
                    order.push_back(uint64_t{x} << 32 | y);
                }
                ++at->second.second;
            }
        }
        quenvale::FlattenPalette palette{};
        ASSERT_EQ(quenvale::DescribeFlattenPalette(picture, &palette), quenvale::StatusOk);
        ASSERT_EQ(palette.count, order.size());
        EXPECT_EQ(palette.transparent, transparent);
        for (size_t i = 0; i < palette.count; ++i) {
            const quenvale::FlattenEntry& got = palette.entries[i];
            uint32_t x = static_cast<uint32_t>(order[i] >> 32), y = static_cast<uint32_t>(order[i]);
            ASSERT_EQ(got.founderX, x) << "entry " << i;
            ASSERT_EQ(got.founderY, picture.height - 1 - y) << "entry " << i;
            ASSERT_EQ(first[got.color].first, i);
            ASSERT_EQ(got.pixelCount, first[got.color].second) << "entry " << i;
            uint32_t color = 0;
            uint64_t value = 0;
            quenvale::ReadPictureColor(picture, StoredRow(picture, rows, y), x, &color, &value);
            ASSERT_EQ(got.founderValue, value) << "entry " << i;
        }
        quenvale::FreeFlattenPalette(&palette);
    }
}

TEST(PictureFlatten, EveryStorageGivesThePlainWalksFoundersAndPalette) {
    std::mt19937 random(7);
    for (const Kind& kind : kKinds) {
        for (bool topDown : {false, true}) {
            for (int tolerance : {0, 3, 20, 60}) {
                SCOPED_TRACE(std::string(kind.name) + (topDown ? " top-down" : " bottom-up") + " at " +
                             std::to_string(tolerance));
                std::vector<uint8_t> rows;
                Picture picture = MakePicture(kind, topDown, random, rows);
                const std::vector<uint8_t> before = rows;
                Image seen = SeenImage(picture, before);
                PlainWalk walk = WalkFirstFit(seen, tolerance);
                quenvale::FlattenPalette palette{};
                ASSERT_EQ(quenvale::FlattenPicture(picture, tolerance, &palette), quenvale::StatusOk);

                uint32_t per = kind.storage == quenvale::StorageBgr24 ? 3 : Samples(picture);
                uint32_t colorSamples = per - (kind.alpha ? 1 : 0);
                for (uint32_t y = 0; y < picture.height; ++y) {
                    for (uint32_t x = 0; x < picture.width; ++x) {
                        const PlainEntry& entry = walk.entries[walk.entryOf[size_t{y} * picture.width + x]];
                        const uint8_t* own = StoredRow(picture, before, y);
                        const uint8_t* founder = StoredRow(picture, before, entry.y);
                        const uint8_t* result = StoredRow(picture, rows, y);
                        for (uint32_t i = 0; i < per; ++i) {
                            uint32_t expected = i < colorSamples ? GetSample(picture, founder, entry.x, i)
                                                                 : GetSample(picture, own, x, i);
                            if (kind.storage == quenvale::StorageMasked) {
                                expected = (expected & picture.colorBits) | (GetSample(picture, own, x, i) & ~picture.colorBits);
                            }
                            ASSERT_EQ(GetSample(picture, result, x, i), expected) << x << "," << y << " sample " << i;
                        }
                    }
                    // The spare bytes after each row are not touched.
                    const uint8_t* tail = StoredRow(picture, rows, y) + picture.stride - 2;
                    EXPECT_EQ(std::memcmp(tail, StoredRow(picture, before, y) + picture.stride - 2, 2), 0);
                }
                // The palette is the walk's entries as their visible pixels
                // show them: fully transparent pixels are no colour, so an
                // entry's founder is its first visible pixel, and an entry
                // with none is no entry.
                struct Visible {
                    uint32_t x = 0, y = 0;
                    uint64_t count = 0;
                };
                std::vector<Visible> visible(walk.entries.size());
                std::vector<size_t> order;
                uint64_t transparent = 0;
                for (uint32_t x = 0; x < picture.width; ++x) {
                    for (uint32_t y = 0; y < picture.height; ++y) {
                        if (kind.alpha && GetSample(picture, StoredRow(picture, before, y), x, per - 1) == 0) {
                            ++transparent;
                            continue;
                        }
                        size_t of = walk.entryOf[size_t{y} * picture.width + x];
                        if (visible[of].count++ == 0) {
                            visible[of].x = x;
                            visible[of].y = y;
                            order.push_back(of);
                        }
                    }
                }
                ASSERT_EQ(palette.count, order.size());
                EXPECT_EQ(palette.transparent, transparent);
                for (size_t i = 0; i < palette.count; ++i) {
                    const quenvale::FlattenEntry& got = palette.entries[i];
                    const PlainEntry& want = walk.entries[order[i]];
                    const Visible& first = visible[order[i]];
                    EXPECT_EQ(got.color, uint32_t{want.color.red} << 16 | uint32_t{want.color.green} << 8 | want.color.blue);
                    EXPECT_EQ(got.alpha, 0xFF);
                    EXPECT_EQ(got.founderX, first.x);
                    EXPECT_EQ(got.founderY, picture.height - 1 - first.y);  // counted from the top
                    EXPECT_EQ(got.pixelCount, first.count);
                    uint64_t value = 0;
                    for (uint32_t s = 0; s < per; ++s) {
                        uint32_t sample = GetSample(picture, StoredRow(picture, rows, first.y), first.x,
                                                    kind.storage == quenvale::StorageBgr24 ? 2 - s : s);
                        value = value << SampleBits(picture) | sample;
                    }
                    EXPECT_EQ(got.founderValue, value) << "entry " << i;
                }
                quenvale::FreeFlattenPalette(&palette);
            }
        }
    }
}

// The mean fill in every storage, against the plain walk's groups averaged
// here: each pixel is seen as its group's mean colour, stored at its
// storage's nearest value (a palette entry exactly), its alpha and the bits
// outside a mask its own, and a palette pixel takes its founder's index.
TEST(PictureFlatten, EveryStorageTakesItsGroupsMeans) {
    std::mt19937 random(5);
    for (const Kind& kind : kKinds) {
        for (bool topDown : {false, true}) {
            SCOPED_TRACE(std::string(kind.name) + (topDown ? " top-down" : " bottom-up"));
            std::vector<uint8_t> rows;
            Picture picture = MakePicture(kind, topDown, random, rows);
            const std::vector<uint8_t> before = rows;
            Image seen = SeenImage(picture, before);
            PlainWalk walk = WalkFirstFit(seen, 20);
            std::vector<std::array<uint64_t, 4>> sums(walk.entries.size());
            for (size_t i = 0; i < walk.entryOf.size(); ++i) {
                const Rgb& color = seen.pixels[i];
                std::array<uint64_t, 4>& sum = sums[walk.entryOf[i]];
                sum = {sum[0] + color.red, sum[1] + color.green, sum[2] + color.blue, sum[3] + 1};
            }
            ASSERT_EQ(quenvale::FlattenPictureToMeans(picture, 20), quenvale::StatusOk);
            uint32_t per = kind.storage == quenvale::StorageBgr24 ? 3 : Samples(picture);
            for (uint32_t y = 0; y < picture.height; ++y) {
                for (uint32_t x = 0; x < picture.width; ++x) {
                    size_t i = size_t{y} * picture.width + x;
                    const std::array<uint64_t, 4>& sum = sums[walk.entryOf[i]];
                    uint8_t expected[3];
                    for (int c = 0; c < 3; ++c) {
                        auto mean = static_cast<uint32_t>((2 * sum[c] + sum[3]) / (2 * sum[3]));
                        uint32_t bits = kind.storage == quenvale::StorageMasked   ? picture.channels[c].bits
                                        : kind.storage == quenvale::StorageIndexed ? 8
                                                                                   : SampleBits(picture);
                        uint32_t most = (uint32_t{1} << bits) - 1;
                        expected[c] = Top8((mean * most + 127) / 255, bits);
                    }
                    const uint8_t* own = StoredRow(picture, before, y);
                    const uint8_t* result = StoredRow(picture, rows, y);
                    Rgb got = ColorOf(picture, result, x);
                    ASSERT_EQ((std::array<uint8_t, 3>{got.red, got.green, got.blue}),
                              (std::array<uint8_t, 3>{expected[0], expected[1], expected[2]}))
                        << x << "," << y;
                    const PlainEntry& entry = walk.entries[walk.entryOf[i]];
                    if (kind.storage == quenvale::StorageIndexed) {
                        EXPECT_EQ(GetSample(picture, result, x, 0),
                                  GetSample(picture, StoredRow(picture, before, entry.y), entry.x, 0));
                    } else if (kind.storage == quenvale::StorageMasked) {
                        EXPECT_EQ(GetSample(picture, result, x, 0) & ~picture.colorBits,
                                  GetSample(picture, own, x, 0) & ~picture.colorBits);
                    } else if (kind.alpha) {
                        EXPECT_EQ(GetSample(picture, result, x, per - 1), GetSample(picture, own, x, per - 1));
                    }
                }
            }
        }
    }
}

// The entries counted from the first colours, at every tolerance and with
// the count cut short, are the plain walk's; the tolerance chosen for a
// count is the bisection's: it gives at most that many and the one below
// more, and on a picture whose count only falls it is the smallest that does.
TEST(PictureFlatten, ColorCountsAndTheirToleranceFollowThePlainWalk) {
    std::mt19937 random(11);
    for (const Kind& kind : {kKinds[3], kKinds[8], kKinds[11], kKinds[15], kKinds[17]}) {
        for (bool topDown : {false, true}) {
            SCOPED_TRACE(std::string(kind.name) + (topDown ? " top-down" : " bottom-up"));
            std::vector<uint8_t> rows;
            Picture picture = MakePicture(kind, topDown, random, rows);
            Image seen = SeenImage(picture, rows);
            std::vector<uint64_t> plain(256);
            quenvale::FirstColors colors{};
            ASSERT_EQ(quenvale::FindFirstColors(picture, &colors), quenvale::StatusOk);
            bool falling = true;
            for (int tolerance = 0; tolerance < 256; ++tolerance) {
                plain[tolerance] = WalkFirstFit(seen, tolerance).entries.size();
                falling = falling && (tolerance == 0 || plain[tolerance] <= plain[tolerance - 1]);
                uint64_t entries = 0, cut = 0;
                ASSERT_EQ(quenvale::CountEntries(colors, tolerance, UINT64_MAX - 1, &entries), quenvale::StatusOk);
                ASSERT_EQ(quenvale::CountEntries(colors, tolerance, 3, &cut), quenvale::StatusOk);
                ASSERT_EQ(entries, plain[tolerance]) << "at " << tolerance;
                ASSERT_EQ(cut, std::min<uint64_t>(plain[tolerance], 4)) << "at " << tolerance;
            }
            for (uint64_t asked : {uint64_t{1}, uint64_t{2}, uint64_t{5}, uint64_t{16}, plain[0] - 1, plain[0]}) {
                quenvale::ToleranceChoice choice{};
                ASSERT_EQ(quenvale::ChooseTolerance(colors, asked, &choice), quenvale::StatusOk);
                int t = choice.tolerance;
                EXPECT_TRUE(choice.reached);
                EXPECT_EQ(choice.entries, plain[t]);
                EXPECT_LE(plain[t], asked) << asked << " colours";
                EXPECT_TRUE(t == 0 || plain[t - 1] > asked) << asked << " colours at " << t;
                if (falling) {
                    EXPECT_EQ(t, std::find_if(plain.begin(), plain.end(), [asked](uint64_t n) { return n <= asked; }) -
                                     plain.begin());
                }
            }
            quenvale::FreeFirstColors(&colors);
        }
    }
}

// The palette chooser restated plainly, with no caches or tables: each
// colour its own bin, unless there are more than 2^14, then bins of 6 bits
// of red, green and blue and 4 of alpha, unless more than 2^18 again, then
// of 5 bits and 3; the median cut by weighted spread, eight k-means rounds,
// each centre moved to its cluster's colour nearest it, every pixel to its
// nearest entry (the lower on a tie), taking that entry's stored bits.
struct PlainChoice {
    std::vector<uint8_t> rows;
    std::vector<uint32_t> entries;
    uint32_t count = 0;
    uint32_t largestError = 0;
};

uint32_t RgbaOf(const Picture& picture, const uint8_t* row, uint32_t x) {
    Rgb c = ColorOf(picture, row, x);
    uint32_t alpha = picture.alpha ? Top8(GetSample(picture, row, x, Samples(picture) - 1), picture.bits) : 255;
    return alpha << 24 | uint32_t{c.red} << 16 | uint32_t{c.green} << 8 | c.blue;
}

uint32_t Part(uint32_t rgba, int c) { return rgba >> (8 * c) & 0xFF; }

uint32_t Distance(uint32_t a, uint32_t b) {
    uint32_t total = 0;
    for (int c = 0; c < 4; ++c) {
        int d = int(Part(a, c)) - int(Part(b, c));
        total += uint32_t(d * d);
    }
    return total;
}

struct PlainBin {
    uint32_t key = 0;
    uint64_t count = 0;
    uint64_t sum[4] = {};
    uint32_t Mean() const {
        uint32_t mean = 0;
        for (int c = 0; c < 4; ++c) mean |= uint32_t((sum[c] + count / 2) / count) << (8 * c);
        return mean;
    }
};

uint32_t MeanOfBins(const std::vector<PlainBin>& bins) {
    PlainBin all;
    for (const PlainBin& b : bins) {
        all.count += b.count;
        for (int c = 0; c < 4; ++c) all.sum[c] += b.sum[c];
    }
    return all.Mean();
}

std::array<uint64_t, 4> Spread(const std::vector<PlainBin>& bins) {
    uint32_t mean = MeanOfBins(bins);
    std::array<uint64_t, 4> spread{};
    for (const PlainBin& b : bins) {
        for (int c = 0; c < 4; ++c) {
            int64_t d = int64_t(Part(b.Mean(), c)) - int64_t(Part(mean, c));
            spread[c] += b.count * uint64_t(d * d);
        }
    }
    return spread;
}

PlainChoice PlainChoose(const Picture& picture, uint32_t colors, const std::vector<uint32_t>& pinned = {}) {
    PlainChoice choice;
    choice.rows.assign(picture.rows, picture.rows + picture.stride * picture.height);
    auto row = [&](uint32_t y) { return picture.rows + size_t{y} * picture.stride; };
    uint32_t p = uint32_t(pinned.size());
    bool clearPinned = std::any_of(pinned.begin(), pinned.end(), [](uint32_t c) { return c >> 24 == 0; });
    bool separate = colors >= p + 2 || clearPinned, transparent = false;
    uint32_t tx = 0, ty = 0;
    int level = 0;
    auto keyOf = [&level](uint32_t v) {
        if (level == 1) return (v >> 28) << 18 | (v >> 18 & 63) << 12 | (v >> 10 & 63) << 6 | (v >> 2 & 63);
        if (level == 2) return (v >> 29) << 15 | (v >> 19 & 31) << 10 | (v >> 11 & 31) << 5 | (v >> 3 & 31);
        return v;
    };
    std::map<uint32_t, PlainBin> byKey;
    for (;; ++level) {
        byKey.clear();
        for (uint32_t y = 0; y < picture.height; ++y) {
            for (uint32_t x = 0; x < picture.width; ++x) {
                uint32_t v = RgbaOf(picture, row(y), x);
                if (separate && v >> 24 == 0) {
                    if (!transparent) transparent = true, tx = x, ty = y;
                    continue;
                }
                PlainBin& bin = byKey[keyOf(v)];
                bin.key = keyOf(v);
                ++bin.count;
                for (int c = 0; c < 4; ++c) bin.sum[c] += Part(v, c);
            }
        }
        if (byKey.size() <= (size_t{1} << (level == 0 ? 14 : 18))) break;
    }
    transparent = transparent && !clearPinned;
    std::vector<std::vector<PlainBin>> boxes;
    uint32_t wanted = std::min<uint32_t>(colors - p - (transparent ? 1 : 0), uint32_t(byKey.size()));
    if (wanted != 0) {
        boxes.emplace_back();
        for (auto& [key, bin] : byKey) boxes[0].push_back(bin);
    }
    while (boxes.size() < wanted) {
        size_t chosen = boxes.size();
        uint64_t most = 0;
        for (size_t i = 0; i < boxes.size(); ++i) {
            std::array<uint64_t, 4> spread = Spread(boxes[i]);
            uint64_t total = spread[0] + spread[1] + spread[2] + spread[3];
            if (boxes[i].size() >= 2 && (chosen == boxes.size() || total > most)) chosen = i, most = total;
        }
        if (chosen == boxes.size()) break;
        std::vector<PlainBin> box = boxes[chosen];
        std::array<uint64_t, 4> spread = Spread(box);
        int channel = int(std::max_element(spread.begin(), spread.end()) - spread.begin());
        std::sort(box.begin(), box.end(), [&](const PlainBin& a, const PlainBin& b) {
            return Part(a.Mean(), channel) != Part(b.Mean(), channel) ? Part(a.Mean(), channel) < Part(b.Mean(), channel)
                                                                       : a.key < b.key;
        });
        uint64_t count = 0, below = 0;
        for (const PlainBin& b : box) count += b.count;
        size_t split = 1;
        for (size_t i = 0; i + 1 < box.size(); ++i) {
            below += box[i].count;
            split = i + 1;
            if (2 * below >= count) break;
        }
        boxes[chosen].assign(box.begin(), box.begin() + long(split));
        boxes.emplace_back(box.begin() + long(split), box.end());
    }
    std::vector<uint32_t> centres = pinned;  // held still
    for (const auto& box : boxes) centres.push_back(MeanOfBins(box));
    auto nearest = [](uint32_t v, const std::vector<uint32_t>& among) {
        size_t best = 0;
        for (size_t i = 1; i < among.size(); ++i) {
            if (Distance(v, among[i]) < Distance(v, among[best])) best = i;
        }
        return uint32_t(best);
    };
    std::map<uint32_t, uint32_t> clusterOf;
    for (int round = 0; round <= 8 && !centres.empty(); ++round) {
        bool moved = false;
        for (auto& [key, bin] : byKey) {
            uint32_t k = nearest(bin.Mean(), centres);
            moved = moved || round == 0 || clusterOf[key] != k;
            clusterOf[key] = k;
        }
        if ((!moved && round > 0) || round == 8) break;
        std::vector<PlainBin> sums(centres.size());
        for (auto& [key, bin] : byKey) {
            PlainBin& sum = sums[clusterOf[key]];
            sum.count += bin.count;
            for (int c = 0; c < 4; ++c) sum.sum[c] += bin.sum[c];
        }
        for (size_t k = p; k < centres.size(); ++k) {
            if (sums[k].count != 0) centres[k] = sums[k].Mean();
        }
    }
    // Entries: the transparent one, then each cluster's colour nearest its centre.
    std::vector<uint32_t> colour = pinned, ex(p), ey(p);
    if (transparent) colour.push_back(RgbaOf(picture, row(ty), tx)), ex.push_back(tx), ey.push_back(ty);
    std::vector<bool> found(centres.size());
    std::vector<uint32_t> bx(centres.size()), by(centres.size()), bv(centres.size());
    for (uint32_t y = 0; y < picture.height; ++y) {
        for (uint32_t x = 0; x < picture.width; ++x) {
            uint32_t v = RgbaOf(picture, row(y), x);
            if (separate && v >> 24 == 0) continue;
            uint32_t k = clusterOf[keyOf(v)];
            if (!found[k] || Distance(v, centres[k]) < Distance(bv[k], centres[k])) found[k] = true, bx[k] = x, by[k] = y, bv[k] = v;
        }
    }
    for (size_t k = p; k < centres.size(); ++k) {
        if (found[k]) colour.push_back(bv[k]), ex.push_back(bx[k]), ey.push_back(by[k]);
    }
    choice.count = uint32_t(colour.size());
    choice.entries = colour;
    if (p != 0) return choice;  // pinned colours need not be the picture's: the remap maps to them
    uint32_t per = picture.storage == quenvale::StorageBgr24 ? 3 : Samples(picture);
    for (uint32_t y = 0; y < picture.height; ++y) {
        for (uint32_t x = 0; x < picture.width; ++x) {
            uint32_t v = RgbaOf(picture, row(y), x);
            uint32_t e = 0;
            if (!(transparent && v >> 24 == 0)) {
                e = nearest(v, colour);
                for (int c = 0; c < 4; ++c) {
                    choice.largestError = std::max<uint32_t>(choice.largestError, uint32_t(std::abs(int(Part(v, c)) - int(Part(colour[e], c)))));
                }
            }
            Picture out = picture;
            out.rows = choice.rows.data();
            for (uint32_t i = 0; i < per; ++i) {
                uint32_t from = GetSample(picture, row(ey[e]), ex[e], i);
                if (picture.storage == quenvale::StorageMasked) {
                    from = (from & picture.colorBits) | (GetSample(picture, row(y), x, i) & ~picture.colorBits);
                }
                SetSample(out, choice.rows.data() + size_t{y} * picture.stride, x, i, from);
            }
        }
    }
    return choice;
}

// The chooser in every storage against the plain restatement, exactly: the
// same stored bits in every pixel, the same count and largest error; and
// no colour the picture lacks.
TEST(PictureChooser, EveryStorageGivesThePlainChoosersPixels) {
    std::mt19937 random(11);
    for (const Kind& kind : kKinds) {
        for (uint32_t colors : {1u, 2u, 5u, 16u, 300u}) {
            SCOPED_TRACE(std::string(kind.name) + " at " + std::to_string(colors));
            std::vector<uint8_t> rows;
            Picture picture = MakePicture(kind, random() % 2 == 0, random, rows, 29, 23);
            std::set<uint32_t> before;
            for (uint32_t y = 0; y < picture.height; ++y) {
                for (uint32_t x = 0; x < picture.width; ++x) before.insert(RgbaOf(picture, picture.rows + y * picture.stride, x));
            }
            PlainChoice want = PlainChoose(picture, colors);
            quenvale::ChosenPalette got{};
            ASSERT_EQ(quenvale::ChoosePalette(picture, colors, &got), quenvale::StatusOk);
            EXPECT_EQ(got.count, want.count);
            EXPECT_EQ(got.largestError, want.largestError);
            ASSERT_TRUE(std::equal(want.rows.begin(), want.rows.end(), picture.rows));
            std::set<uint32_t> after;
            for (uint32_t y = 0; y < picture.height; ++y) {
                for (uint32_t x = 0; x < picture.width; ++x) after.insert(RgbaOf(picture, picture.rows + y * picture.stride, x));
            }
            EXPECT_TRUE(std::includes(before.begin(), before.end(), after.begin(), after.end())) << "an invented colour";
            EXPECT_LE(after.size(), colors);
        }
    }
}

// Pinned colours: the plain restatement's entries, the pinned first as
// given (clear ones too, which then take the transparent pixels' place),
// in every storage; more pinned than asked is refused.
TEST(PictureChooser, PinnedColoursComeFirstAndStayPut) {
    std::mt19937 random(23);
    for (const Kind& kind : kKinds) {
        for (uint32_t colors : {2u, 5u, 16u}) {
            SCOPED_TRACE(std::string(kind.name) + " at " + std::to_string(colors));
            std::vector<uint8_t> rows;
            Picture picture = MakePicture(kind, random() % 2 == 0, random, rows, 19, 13);
            std::vector<uint32_t> pinned{0xFFFF00FFu, random() % 2 == 0 ? 0u : 0x80102030u};
            PlainChoice want = PlainChoose(picture, colors, pinned);
            std::vector<uint32_t> got(colors);
            uint32_t count = 0;
            ASSERT_EQ(quenvale::ChoosePinnedColors(picture, colors, pinned.data(), 2, got.data(), &count), quenvale::StatusOk);
            got.resize(count);
            EXPECT_EQ(got, want.entries);
            EXPECT_TRUE(std::equal(want.rows.begin(), want.rows.end(), picture.rows)) << "the picture changed";
        }
    }
    // Several pictures are chosen for as one: as the picture of their rows
    // one after the other.
    for (const Kind& kind : kKinds) {
        SCOPED_TRACE(std::string(kind.name) + " in two");
        std::vector<uint8_t> rows;
        Picture whole = MakePicture(kind, false, random, rows, 17, 14);
        Picture halves[2] = {whole, whole};
        halves[0].height = 9;
        halves[1].height = 5;
        halves[1].rows = whole.rows + 9 * whole.stride;
        std::vector<uint32_t> one(12), two(12);
        uint32_t oneCount = 0, twoCount = 0;
        ASSERT_EQ(quenvale::ChoosePinnedColors(whole, 12, nullptr, 0, one.data(), &oneCount), quenvale::StatusOk);
        ASSERT_EQ(quenvale::ChooseColorsOf(halves, 2, 12, nullptr, 0, two.data(), &twoCount), quenvale::StatusOk);
        EXPECT_EQ(one, two);
        EXPECT_EQ(oneCount, twoCount);
    }
    std::vector<uint8_t> rows;
    Picture picture = MakePicture(kKinds[0], false, random, rows, 3, 3);
    uint32_t pinned[3] = {1, 2, 3}, got[3] = {}, count = 0;
    EXPECT_EQ(quenvale::ChoosePinnedColors(picture, 2, pinned, 3, got, &count), quenvale::StatusBadInput);
}

// Pictures of more colours than the chooser keeps bins for are binned
// coarser, once (8-bit RGB noise) or twice (RGBA noise), with the same
// pixels as the plain restatement's.
TEST(PictureChooser, PicturesOfManyColoursAreBinnedCoarser) {
    std::mt19937 random(3);
    for (bool alpha : {false, true}) {
        SCOPED_TRACE(alpha ? "RGBA noise" : "RGB noise");
        Kind kind{"noise", quenvale::StorageRgb, 8, alpha};
        std::vector<uint8_t> rows;
        Picture picture = MakePicture(kind, alpha, random, rows, alpha ? 640 : 200, alpha ? 560 : 120);
        for (uint8_t& byte : rows) byte = uint8_t(alpha ? random() : random() % 128);
        uint32_t colors = alpha ? 16 : 64;
        PlainChoice want = PlainChoose(picture, colors);
        quenvale::ChosenPalette got{};
        ASSERT_EQ(quenvale::ChoosePalette(picture, colors, &got), quenvale::StatusOk);
        EXPECT_EQ(got.count, colors);
        EXPECT_EQ(got.largestError, want.largestError);
        EXPECT_TRUE(std::equal(want.rows.begin(), want.rows.end(), picture.rows));
    }
}

// The remap in every storage against a plain nearest walk, into a palette
// picture and into RGBA: each pixel the nearest colour, the lower index on
// a tie (the colours hold repeats), fully transparent pixels the first
// clear colour; and the largest error.
TEST(PictureRemap, EveryStorageTakesItsNearestColour) {
    std::mt19937 random(17);
    for (const Kind& kind : kKinds) {
        for (uint32_t count : {1u, 3u, 16u, 300u}) {
            SCOPED_TRACE(std::string(kind.name) + " to " + std::to_string(count));
            std::vector<uint8_t> rows;
            Picture picture = MakePicture(kind, random() % 2 == 0, random, rows, 23, 17);
            std::vector<uint32_t> colors(count);
            for (uint32_t& c : colors) c = random() % 4 == 0 ? 0xFF000000u | (random() & 0xFFFFFF) : random();
            if (count > 2) colors[count - 1] = colors[0];  // a repeat: the first wins
            uint32_t clear = count;
            for (uint32_t i = count; i-- > 0;) clear = colors[i] >> 24 == 0 ? i : clear;
            bool indexed = count <= 256;
            Picture target{};
            target.width = picture.width;
            target.height = picture.height;
            target.storage = indexed ? quenvale::StorageIndexed : quenvale::StorageRgb;
            target.bits = 8;
            target.alpha = !indexed;
            target.stride = size_t{picture.width} * (indexed ? 1 : 4);
            std::vector<uint8_t> out(target.stride * picture.height);
            target.rows = out.data();
            uint32_t largest = 0;
            ASSERT_EQ(quenvale::RemapPicture(picture, colors.data(), count, target, &largest), quenvale::StatusOk);
            uint32_t want = 0;
            for (uint32_t y = 0; y < picture.height; ++y) {
                for (uint32_t x = 0; x < picture.width; ++x) {
                    uint32_t v = RgbaOf(picture, picture.rows + y * picture.stride, x);
                    uint32_t best = 0;
                    for (uint32_t i = 1; i < count; ++i) best = Distance(v, colors[i]) < Distance(v, colors[best]) ? i : best;
                    if (v >> 24 == 0 && clear != count) {
                        best = clear;
                    } else {
                        for (int c = 0; c < 4; ++c) want = std::max<uint32_t>(want, uint32_t(std::abs(int(Part(v, c)) - int(Part(colors[best], c)))));
                    }
                    const uint8_t* at = out.data() + y * target.stride + x * (indexed ? 1 : 4);
                    uint32_t got = indexed ? colors[at[0]] : uint32_t{at[3]} << 24 | uint32_t{at[0]} << 16 | uint32_t{at[1]} << 8 | at[2];
                    ASSERT_TRUE(indexed ? at[0] == best : got == colors[best]) << x << "," << y;
                }
            }
            EXPECT_EQ(largest, want);
        }
    }
}

// Speck removal restated plainly: regions found afresh by flood fill after
// every join, the smallest (earliest first pixel among equals) joining its
// nearest neighbouring colour (the older among equals: the colour's first
// pixel in the flatten's visiting order).
struct PlainSpecks {
    uint32_t regions = 0;
    uint64_t pixels = 0;
    uint32_t largestChange = 0;
};

PlainSpecks PlainRemoveSpecks(const Picture& picture, uint64_t smallest) {
    uint32_t w = picture.width, h = picture.height;
    uint32_t per = picture.storage == quenvale::StorageBgr24 ? 3 : Samples(picture);
    auto row = [&](uint32_t y) { return picture.rows + size_t{picture.topDown ? y : h - 1 - y} * picture.stride; };
    auto key = [&](uint32_t x, uint32_t y) {
        uint64_t k = 0;
        for (uint32_t i = 0; i < per; ++i) k = k << SampleBits(picture) | GetSample(picture, row(y), x, i);
        return k;
    };
    std::map<uint64_t, uint64_t> age;
    std::map<uint64_t, std::pair<uint32_t, uint32_t>> where;  // a pixel of each colour
    uint64_t visit = 0;
    for (uint32_t x = 0; x < w; ++x) {
        for (uint32_t y = h; y-- > 0;) {
            uint64_t k = key(x, y);
            age.emplace(k, visit), where.emplace(k, std::make_pair(x, y));
            ++visit;
        }
    }
    std::map<uint64_t, uint32_t> rgba;
    for (auto& [k, at] : where) rgba[k] = RgbaOf(picture, row(at.second), at.first);
    std::vector<uint64_t> original(size_t{w} * h);
    for (uint32_t y = 0; y < h; ++y) for (uint32_t x = 0; x < w; ++x) original[size_t{y} * w + x] = key(x, y);
    std::vector<uint64_t> now = original;
    PlainSpecks result;
    for (;;) {
        std::vector<int64_t> label(now.size(), -1);
        std::vector<std::vector<uint32_t>> regions;
        for (uint32_t p = 0; p < now.size(); ++p) {
            if (label[p] >= 0) continue;
            std::vector<uint32_t> pixels{p};
            label[p] = int64_t(regions.size());
            for (size_t at = 0; at < pixels.size(); ++at) {
                uint32_t q = pixels[at], x = q % w, y = q / w;
                for (uint32_t n : {x > 0 ? q - 1 : q, x + 1 < w ? q + 1 : q, y > 0 ? q - w : q, y + 1 < h ? q + w : q}) {
                    if (label[n] < 0 && now[n] == now[p]) label[n] = label[p], pixels.push_back(n);
                }
            }
            regions.push_back(pixels);
        }
        size_t pick = regions.size();
        for (size_t r = 0; r < regions.size(); ++r) {
            if (regions[r].size() < smallest && (pick == regions.size() || regions[r].size() < regions[pick].size())) pick = r;
        }
        if (pick == regions.size()) break;
        uint64_t own = now[regions[pick][0]];
        std::set<uint64_t> near;
        for (uint32_t q : regions[pick]) {
            uint32_t x = q % w, y = q / w;
            for (uint32_t n : {x > 0 ? q - 1 : q, x + 1 < w ? q + 1 : q, y > 0 ? q - w : q, y + 1 < h ? q + w : q}) {
                if (now[n] != own) near.insert(now[n]);
            }
        }
        if (near.empty()) break;
        uint64_t best = *near.begin();
        for (uint64_t k : near) {
            uint32_t d = Distance(rgba[own], rgba[k]), bestD = Distance(rgba[own], rgba[best]);
            if (d < bestD || (d == bestD && age[k] < age[best])) best = k;
        }
        for (uint32_t q : regions[pick]) now[q] = best;
        result.regions += 1;
    }
    for (size_t p = 0; p < now.size(); ++p) {
        if (now[p] == original[p]) continue;
        result.pixels += 1;
        for (int c = 0; c < 4; ++c) {
            result.largestChange = std::max<uint32_t>(
                result.largestChange, uint32_t(std::abs(int(Part(rgba[now[p]], c)) - int(Part(rgba[original[p]], c)))));
        }
        uint32_t x = uint32_t(p % w), y = uint32_t(p / w);
        for (uint32_t i = per; i-- > 0;) SetSample(picture, row(y), x, i, uint32_t(now[p] >> (SampleBits(picture) * (per - 1 - i)) & ((uint64_t{1} << SampleBits(picture)) - 1)));
    }
    return result;
}

TEST(PictureSpecks, EveryStorageJoinsAsThePlainFloodFill) {
    std::mt19937 random(29);
    for (const Kind& kind : kKinds) {
        for (uint64_t smallest : {2u, 6u, 40u, 1000u}) {
            SCOPED_TRACE(std::string(kind.name) + " --min-region " + std::to_string(smallest));
            std::vector<uint8_t> rows;
            Picture picture = MakePicture(kind, random() % 2 == 0, random, rows, 29, 19);
            // Patches: most pixels copy the one to their left or above, whole.
            uint32_t per = kind.storage == quenvale::StorageBgr24 ? 3 : Samples(picture);
            for (uint32_t y = 0; y < picture.height; ++y) {
                for (uint32_t x = 0; x < picture.width; ++x) {
                    uint32_t roll = random() % 10;
                    if ((roll < 4 && x == 0) || (roll >= 4 && roll < 8 && y == 0) || roll >= 8) continue;
                    const uint8_t* from = roll < 4 ? picture.rows + y * picture.stride : picture.rows + (y - 1) * picture.stride;
                    for (uint32_t i = 0; i < per; ++i) {
                        SetSample(picture, picture.rows + y * picture.stride, x, i, GetSample(picture, from, roll < 4 ? x - 1 : x, i));
                    }
                }
            }
            std::vector<uint8_t> plainRows = rows;
            Picture plain = picture;
            plain.rows = plainRows.data();
            PlainSpecks want = PlainRemoveSpecks(plain, smallest);
            quenvale::RegionMerge got{};
            ASSERT_EQ(quenvale::RemoveSmallRegions(picture, smallest, &got), quenvale::StatusOk);
            EXPECT_EQ(rows, plainRows);
            EXPECT_EQ(got.regions, want.regions);
            EXPECT_EQ(got.pixels, want.pixels);
            EXPECT_EQ(got.largestChange, want.largestChange);
        }
    }
}

TEST(PictureFlatten, EmptyPicturesAndRleStreams) {
    Picture empty{};
    empty.storage = quenvale::StorageRgb;
    empty.bits = 8;
    quenvale::FlattenPalette palette{};
    EXPECT_EQ(quenvale::FlattenPicture(empty, 20, &palette), quenvale::StatusOk);
    EXPECT_EQ(palette.count, 0u);
    quenvale::FreeFlattenPalette(&palette);
    // Rows of no pixels are not walked, however many a header claims.
    empty.height = 2080376580;
    EXPECT_EQ(quenvale::FlattenPicture(empty, 20, &palette), quenvale::StatusOk);
    EXPECT_EQ(palette.count, 0u);
    // An RLE stream is no picture until decoded.
    quenvale::BitmapFormat rle{};
    rle.encoding = quenvale::EncodingRle8;
    EXPECT_FALSE(quenvale::PictureOfBitmap(rle, nullptr, &empty));
}

}  // namespace
}  // namespace quenvale_test
