// The flatten on pictures in memory, storage by storage and in both row
// orders, against the plain first-fit walk over colours decoded here: each
// pixel's colour samples are its founder's at full depth, alpha and the
// bits outside a mask its own, and the palette read back is the walk's.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <map>

#include "ops/color_count.h"
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
