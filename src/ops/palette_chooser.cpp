// The palette chooser: the histogram, the median cut, the k-means rounds,
// the move of each centre to a colour of the picture, and the mapping.
#include "ops/palette_chooser.h"

#include <algorithm>
#include <cstring>

#include "base/memory.h"
#include "bmp/pixel_values.h"

namespace quenvale {

namespace {

// The histogram's bins: each colour on its own while the picture has at
// most kMostExact of them (drawings, logos, icons); beyond that, bins of 6
// bits of red, green and blue and 4 of alpha, which for photos refine as
// well at a fraction of the work; beyond kMostBins of those, 5 bits of each
// colour and 3 of alpha, of which there are never more than kMostBins. So
// the histogram stays small whatever the picture.
enum Level { LevelExact, LevelFine, LevelCoarse };
constexpr size_t kMostBins = size_t{1} << 18;
constexpr size_t kMostExact = size_t{1} << 14;
constexpr uint32_t kSlotBits = 19;  // the bins' hash table, twice their most
constexpr uint32_t kNoBin = 0xFFFFFFFFu;
constexpr int kRounds = 8;  // k-means rounds after the median cut

uint32_t BinKey(uint32_t rgba, Level level) {
    switch (level) {
        case LevelExact:
            break;
        case LevelFine:
            return (rgba >> 28) << 18 | (rgba >> 18 & 63) << 12 | (rgba >> 10 & 63) << 6 | (rgba >> 2 & 63);
        case LevelCoarse:
            return (rgba >> 29) << 15 | (rgba >> 19 & 31) << 10 | (rgba >> 11 & 31) << 5 | (rgba >> 3 & 31);
    }
    return rgba;
}

uint32_t Channel(uint32_t rgba, int channel) { return rgba >> (8 * channel) & 0xFF; }

// A bin of the histogram: its pixels, their channels' sums, and the first
// of them in the rows' order.
struct Bin {
    uint64_t count;
    uint64_t sum[4];  // by channel: blue, green, red, alpha (the byte order of 0xAARRGGBB)
    uint32_t mean;    // rounded, 0xAARRGGBB
    uint32_t key;
    uint32_t first;   // the first pixel's colour, and where it is
    uint32_t x;
    uint32_t y;
};

void AddPixel(Bin& bin, uint32_t rgba) {
    ++bin.count;
    for (int c = 0; c < 4; ++c) {
        bin.sum[c] += Channel(rgba, c);
    }
}

uint32_t MeanOf(const uint64_t* sum, uint64_t count) {
    uint32_t mean = 0;
    for (int c = 0; c < 4; ++c) {
        mean |= static_cast<uint32_t>((sum[c] + count / 2) / count) << (8 * c);
    }
    return mean;
}

// A box of the median cut: bins [begin, end) of the order, its weighted
// spread about its mean by channel, and the total.
struct Box {
    size_t begin;
    size_t end;
    uint64_t spread[4];
    uint64_t total;
};

// The chooser's working storage, taken with the engine's allocator and
// given back at once on every way out.
struct Work {
    Level level;
    uint32_t* slotKeys;  // the bins' hash table: a key, and its bin or kNoBin
    uint32_t* slotBins;
    Bin* bins;
    size_t binCount;
    size_t binRoom;
    uint32_t* order;  // the bins in the median cut's order
    Box* boxes;
    size_t boxCount;
    uint32_t* centres;
    uint32_t* clusterOf;  // by bin
    uint32_t* entryOf;    // by cluster: its entry
    uint64_t* sums;       // by cluster: four channels and the count
    uint32_t* best;       // by cluster: distance, colour, x, y of its colour nearest the centre
    uint32_t* entryColor;
    uint32_t* entryAt;    // by entry: x, y of a pixel with its colour
    uint8_t* entryBytes;  // by entry: its pixel's stored bytes, where a pixel is whole bytes
    NearestSearch search;  // among the centres, then the entries
    uint32_t* line;          // one row's colours
};

void Release(Work& work) {
    for (void* block : {static_cast<void*>(work.slotKeys), static_cast<void*>(work.slotBins),
                        static_cast<void*>(work.bins), static_cast<void*>(work.order), static_cast<void*>(work.boxes),
                        static_cast<void*>(work.centres), static_cast<void*>(work.clusterOf),
                        static_cast<void*>(work.entryOf),
                        static_cast<void*>(work.sums), static_cast<void*>(work.best),
                        static_cast<void*>(work.entryColor), static_cast<void*>(work.entryAt),
                        static_cast<void*>(work.entryBytes), static_cast<void*>(work.line)}) {
        ReleaseBytes(block);
    }
    ReleaseNearestSearch(&work.search);
    work = Work{};
}

// The slot of a key in the bins' table: where it is, or the empty slot
// where it would go.
size_t SlotOf(const Work& work, uint32_t key) {
    size_t slot = (key * 0x9E3779B1u) >> (32 - kSlotBits);
    while (work.slotBins[slot] != kNoBin && work.slotKeys[slot] != key) {
        slot = (slot + 1) & ((size_t{1} << kSlotBits) - 1);
    }
    return slot;
}

// Adds a pixel's colour to the bin at its key, making the bin where there
// is none; false when memory runs out.
bool AddToBin(Work& work, size_t slot, uint32_t key, uint32_t rgba, uint32_t x, uint32_t y, uint32_t* bin) {
    if (work.slotBins[slot] == kNoBin) {
        if (!RoomForOneMore(&work.bins, work.binCount, &work.binRoom)) {
            return false;
        }
        work.slotKeys[slot] = key;
        work.slotBins[slot] = static_cast<uint32_t>(work.binCount);
        work.bins[work.binCount++] = Bin{0, {0, 0, 0, 0}, 0, key, rgba, x, y};
    }
    *bin = work.slotBins[slot];
    AddPixel(work.bins[*bin], rgba);
    return true;
}

// The bins merged into those of the next level, in place and in the same
// order of first pixels, as if the picture had been binned so from the
// start: each level's bins hold whole bins of the one before.
void Coarsen(Work& work) {
    work.level = work.level == LevelExact ? LevelFine : LevelCoarse;
    std::fill(work.slotBins, work.slotBins + (size_t{1} << kSlotBits), kNoBin);
    size_t count = work.binCount;
    work.binCount = 0;
    for (size_t i = 0; i < count; ++i) {
        Bin bin = work.bins[i];
        uint32_t key = BinKey(bin.first, work.level);
        size_t slot = SlotOf(work, key);
        if (work.slotBins[slot] == kNoBin) {
            work.slotKeys[slot] = key;
            work.slotBins[slot] = static_cast<uint32_t>(work.binCount);
            bin.key = key;
            work.bins[work.binCount++] = bin;  // never past i
        } else {
            Bin& into = work.bins[work.slotBins[slot]];
            into.count += bin.count;
            for (int c = 0; c < 4; ++c) {
                into.sum[c] += bin.sum[c];
            }
        }
    }
}

uint32_t BoxMean(const Work& work, const Box& box) {
    uint64_t sum[4] = {}, count = 0;
    for (size_t i = box.begin; i < box.end; ++i) {
        const Bin& bin = work.bins[work.order[i]];
        count += bin.count;
        for (int c = 0; c < 4; ++c) {
            sum[c] += bin.sum[c];
        }
    }
    return MeanOf(sum, count);
}

void Measure(const Work& work, Box* box) {
    uint32_t mean = BoxMean(work, *box);
    box->total = 0;
    for (int c = 0; c < 4; ++c) {
        box->spread[c] = 0;
        for (size_t i = box->begin; i < box->end; ++i) {
            const Bin& bin = work.bins[work.order[i]];
            int64_t d = static_cast<int64_t>(Channel(bin.mean, c)) - static_cast<int64_t>(Channel(mean, c));
            box->spread[c] += bin.count * static_cast<uint64_t>(d * d);
        }
        box->total += box->spread[c];
    }
}

// Splits the box of most spread along its channel of most spread, at the
// weighted median; false when no box has two bins.
bool SplitOne(Work& work) {
    size_t chosen = work.boxCount;
    for (size_t i = 0; i < work.boxCount; ++i) {
        const Box& box = work.boxes[i];
        if (box.end - box.begin >= 2 && (chosen == work.boxCount || box.total > work.boxes[chosen].total)) {
            chosen = i;
        }
    }
    if (chosen == work.boxCount) {
        return false;
    }
    Box box = work.boxes[chosen];
    int channel = 0;
    for (int c = 1; c < 4; ++c) {
        if (box.spread[c] > box.spread[channel]) {
            channel = c;
        }
    }
    // The split as if the box were sorted by the channel's value, then by
    // the bin's key: the bins below the median's value, those at it by key,
    // those above; the order within the other two no split depends on.
    const Bin* bins = work.bins;
    uint64_t weight[256] = {}, count = 0;
    for (size_t i = box.begin; i < box.end; ++i) {
        weight[Channel(bins[work.order[i]].mean, channel)] += bins[work.order[i]].count;
        count += bins[work.order[i]].count;
    }
    uint32_t median = 0;
    for (uint64_t below = weight[0]; 2 * below < count && median < 255;) {
        below += weight[++median];
    }
    uint32_t* first = work.order + box.begin;
    uint32_t* last = work.order + box.end;
    uint32_t* at = std::partition(first, last, [&](uint32_t b) { return Channel(bins[b].mean, channel) < median; });
    uint32_t* above = std::partition(at, last, [&](uint32_t b) { return Channel(bins[b].mean, channel) == median; });
    std::sort(at, above, [&](uint32_t a, uint32_t b) { return bins[a].key < bins[b].key; });
    uint64_t below = 0;
    size_t split = box.begin + 1;
    for (size_t i = box.begin; i + 1 < box.end; ++i) {
        below += bins[work.order[i]].count;
        split = i + 1;
        if (2 * below >= count) {
            break;
        }
    }
    Box low{box.begin, split, {}, 0}, high{split, box.end, {}, 0};
    Measure(work, &low);
    Measure(work, &high);
    work.boxes[chosen] = low;
    work.boxes[work.boxCount++] = high;
    return true;
}

// Rounds of k-means over the bins: each to its nearest centre, each centre
// to its bins' weighted mean (a centre left with none stays, as do the
// first fixed, the pinned colours).
void Refine(Work& work, uint32_t count, uint32_t fixed) {
    for (int round = 0; round <= kRounds; ++round) {
        bool moved = false;
        SetNearestColors(&work.search, work.centres, count);
        for (size_t i = 0; i < work.binCount; ++i) {
            uint32_t was = work.clusterOf[i];
            uint32_t nearest = NearestOf(work.search, work.bins[i].mean, was);
            moved = moved || nearest != work.clusterOf[i];
            work.clusterOf[i] = nearest;
        }
        if ((!moved && round > 0) || round == kRounds) {
            return;  // the last round only assigns
        }
        std::fill(work.sums, work.sums + size_t{count} * 5, 0);
        for (size_t i = 0; i < work.binCount; ++i) {
            uint64_t* sum = work.sums + size_t{work.clusterOf[i]} * 5;
            for (int c = 0; c < 4; ++c) {
                sum[c] += work.bins[i].sum[c];
            }
            sum[4] += work.bins[i].count;
        }
        for (uint32_t k = fixed; k < count; ++k) {
            if (work.sums[size_t{k} * 5 + 4] != 0) {
                work.centres[k] = MeanOf(work.sums + size_t{k} * 5, work.sums[size_t{k} * 5 + 4]);
            }
        }
    }
}

uint8_t* StoredRow(const Picture& picture, uint32_t y) { return picture.rows + size_t{y} * picture.stride; }

uint32_t PixelBits(const Picture& picture) {
    switch (picture.storage) {
        case StorageIndexed:
        case StorageMasked:
        case StorageBgr24:
            return picture.bits;
        case StorageGrey:
        case StorageRgb:
            break;
    }
    return picture.bits * ((picture.storage == StorageRgb ? 3 : 1) + (picture.alpha ? 1 : 0));
}

// Pixel x of a row takes the stored bits of the pixel at (fromX, fromRow);
// a masked word keeps its own bits outside the masks.
void CopyPixel(const Picture& picture, uint32_t pixelBits, uint8_t* row, uint32_t x, const uint8_t* fromRow,
               uint32_t fromX) {
    if (picture.storage == StorageMasked) {
        uint32_t own = ReadPixelValue(row, x, pixelBits), from = ReadPixelValue(fromRow, fromX, pixelBits);
        WritePixelValue(row, x, pixelBits, (own & ~picture.colorBits) | (from & picture.colorBits));
    } else if (pixelBits < 8) {
        WritePixelValue(row, x, pixelBits, ReadPixelValue(fromRow, fromX, pixelBits));
    } else {
        size_t bytes = pixelBits / 8;
        std::memmove(row + x * bytes, fromRow + fromX * bytes, bytes);
    }
}

// The histogram of the pictures' colours, one after another; *transparent
// where a fully transparent pixel is kept apart, with the first one's place
// (x, y and its picture). False when memory runs out.
bool GatherBins(const Picture* pictures, size_t count, bool separate, Work& work, bool* transparent, uint32_t* at) {
    std::fill(work.slotBins, work.slotBins + (size_t{1} << kSlotBits), kNoBin);
    work.level = LevelExact;
    work.binCount = 0;
    uint32_t lastKey = 0, lastBin = kNoBin;  // neighbours share colours: skip the search
    for (size_t p = 0; p < count; ++p) {
        const Picture& picture = pictures[p];
        for (uint32_t y = 0; y < picture.height; ++y) {
            ReadPictureRgbaRow(picture, StoredRow(picture, y), work.line);
            for (uint32_t x = 0; x < picture.width; ++x) {
                uint32_t rgba = work.line[x];
                if (separate && rgba >> 24 == 0) {
                    if (!*transparent) {
                        *transparent = true;
                        at[0] = x, at[1] = y, at[2] = static_cast<uint32_t>(p);
                    }
                    continue;
                }
                uint32_t key = BinKey(rgba, work.level);
                if (key == lastKey && lastBin != kNoBin) {
                    AddPixel(work.bins[lastBin], rgba);
                    continue;
                }
                size_t slot = SlotOf(work, key);
                if (work.slotBins[slot] == kNoBin && work.binCount == (work.level == LevelExact ? kMostExact : kMostBins)) {
                    Coarsen(work);  // at most kMostBins bins at every level but the last, which never has more
                    key = BinKey(rgba, work.level);
                    slot = SlotOf(work, key);
                }
                if (!AddToBin(work, slot, key, rgba, x, y, &lastBin)) {
                    return false;
                }
                lastKey = key;
            }
        }
    }
    for (size_t i = 0; i < work.binCount; ++i) {
        work.bins[i].mean = MeanOf(work.bins[i].sum, work.bins[i].count);
    }
    return true;
}

// The median cut into at most wanted boxes, their means the centres, and
// the k-means rounds; the number of centres.
uint32_t Cluster(Work& work, uint32_t wanted, const uint32_t* pinned, uint32_t pinnedCount) {
    for (size_t i = 0; i < work.binCount; ++i) {
        work.order[i] = static_cast<uint32_t>(i);
    }
    work.boxes[0] = Box{0, work.binCount, {}, 0};
    work.boxCount = wanted > pinnedCount ? 1 : 0;
    Measure(work, &work.boxes[0]);
    while (work.boxCount < wanted - pinnedCount && SplitOne(work)) {
    }
    for (uint32_t k = 0; k < pinnedCount; ++k) {
        work.centres[k] = pinned[k];
    }
    for (size_t k = 0; k < work.boxCount; ++k) {
        work.centres[pinnedCount + k] = BoxMean(work, work.boxes[k]);
    }
    auto count = static_cast<uint32_t>(pinnedCount + work.boxCount);
    std::fill(work.clusterOf, work.clusterOf + work.binCount, 0);
    Refine(work, count, pinnedCount);
    return count;
}

// Each centre moved to the colour of its cluster nearest it, the first
// pixel with that colour lending its stored value; the entries, the pinned
// colours first (as they are), then the transparent one, then the
// clusters' in order. Where each bin is one colour, the bins are enough;
// otherwise the pixels are read again.
uint32_t MakeEntries(const Picture* pictures, size_t count, bool separate, bool transparent,
                     const uint32_t* transparentAt, uint32_t clusters, uint32_t pinnedCount, Work& work) {
    for (uint32_t k = 0; k < clusters; ++k) {
        work.best[4 * k] = 0xFFFFFFFFu;
    }
    auto offer = [&](uint32_t k, uint32_t rgba, uint32_t x, uint32_t y) {
        if (k < pinnedCount) {
            return;
        }
        uint32_t d = ColorDistance(rgba, work.centres[k]);
        uint32_t* best = work.best + 4 * size_t{k};
        if (d < best[0]) {
            best[0] = d, best[1] = rgba, best[2] = x, best[3] = y;
        }
    };
    if (work.level == LevelExact) {
        for (size_t i = 0; i < work.binCount && clusters != 0; ++i) {  // by their first pixels
            const Bin& bin = work.bins[i];
            offer(work.clusterOf[i], bin.first, bin.x, bin.y);
        }
    }
    for (size_t p = 0; p < count && clusters != 0 && work.level != LevelExact; ++p) {
        const Picture& picture = pictures[p];
        for (uint32_t y = 0; y < picture.height; ++y) {
            ReadPictureRgbaRow(picture, StoredRow(picture, y), work.line);
            uint32_t lastRgba = 0, lastCluster = kNoBin;
            for (uint32_t x = 0; x < picture.width; ++x) {
                uint32_t rgba = work.line[x];
                if (separate && rgba >> 24 == 0) {
                    continue;
                }
                if (rgba != lastRgba || lastCluster == kNoBin) {
                    lastRgba = rgba;
                    uint32_t key = BinKey(rgba, work.level);
                    lastCluster = work.clusterOf[work.slotBins[SlotOf(work, key)]];
                } else {
                    continue;  // the same colour again is no nearer
                }
                offer(lastCluster, rgba, x, y);
            }
        }
    }
    uint32_t entries = 0;
    for (; entries < pinnedCount; ++entries) {
        work.entryOf[entries] = entries;
        work.entryColor[entries] = work.centres[entries];
        work.entryAt[2 * entries] = 0, work.entryAt[2 * entries + 1] = 0;  // no pixel need have it
    }
    if (transparent) {
        uint64_t value = 0;
        const Picture& picture = pictures[transparentAt[2]];
        work.entryColor[entries] =
            ReadPictureRgba(picture, StoredRow(picture, transparentAt[1]), transparentAt[0], &value);
        work.entryAt[2 * entries] = transparentAt[0], work.entryAt[2 * entries + 1] = transparentAt[1];
        ++entries;
    }
    for (uint32_t k = pinnedCount; k < clusters; ++k) {
        const uint32_t* best = work.best + 4 * size_t{k};
        if (best[0] != 0xFFFFFFFFu) {
            work.entryOf[k] = entries;
            work.entryColor[entries] = best[1];
            work.entryAt[2 * entries] = best[2], work.entryAt[2 * entries + 1] = best[3];
            ++entries;
        }
    }
    return entries;
}

}  // namespace

uint32_t ReadPictureRgba(const Picture& picture, const uint8_t* row, uint32_t x, uint64_t* value) {
    uint32_t color = 0;
    ReadPictureColor(picture, row, x, &color, value);
    uint32_t alpha = 0xFF;
    switch (picture.storage) {
        case StorageIndexed:
            alpha = *value < picture.alphaCount ? picture.paletteAlpha[*value] : 0xFF;
            break;
        case StorageGrey:
        case StorageRgb:
            if (picture.alpha) {
                auto sample = static_cast<uint32_t>(*value & ((uint64_t{1} << picture.bits) - 1));
                alpha = picture.bits == 16 ? sample >> 8 : sample;
            } else if (picture.keyed && *value == picture.key) {
                alpha = 0;
            }
            break;
        case StorageMasked:
        case StorageBgr24:
            break;
    }
    return alpha << 24 | color;
}

void ReadPictureRgbaRow(const Picture& picture, const uint8_t* row, uint32_t* line) {
    uint32_t width = picture.width;
    if (picture.bits == 8 && (picture.storage == StorageRgb || picture.storage == StorageBgr24)) {
        bool alpha = picture.storage == StorageRgb && picture.alpha;
        bool keyed = picture.storage == StorageRgb && !alpha && picture.keyed;
        bool bgr = picture.storage == StorageBgr24;
        size_t step = alpha ? 4 : 3;
        for (uint32_t x = 0; x < width; ++x, row += step) {
            uint32_t rgb = bgr ? uint32_t{row[2]} << 16 | uint32_t{row[1]} << 8 | row[0]
                               : uint32_t{row[0]} << 16 | uint32_t{row[1]} << 8 | row[2];
            uint32_t a = alpha ? row[3] : keyed && rgb == picture.key ? 0 : 0xFF;
            line[x] = a << 24 | rgb;
        }
        return;
    }
    for (uint32_t x = 0; x < width; ++x) {
        uint64_t value = 0;
        line[x] = ReadPictureRgba(picture, row, x, &value);
    }
}

namespace {

// The chooser up to its entries (work.entryColor, *entries of them), with
// pinned colours as the first; *transparent where fully transparent
// pixels have an entry of their own. StatusOutOfMemory with nothing held.
Status ChooseEntries(const Picture* pictures, size_t count, uint32_t colors, const uint32_t* pinned,
                     uint32_t pinnedCount, Work& work, bool* transparent, uint32_t* entries) {
    uint32_t widest = 1;
    for (size_t p = 0; p < count; ++p) {
        widest = std::max(widest, pictures[p].height != 0 ? pictures[p].width : 0);
    }
    work.slotKeys = AllocateArrayOf<uint32_t>(uint64_t{1} << kSlotBits);
    work.slotBins = AllocateArrayOf<uint32_t>(uint64_t{1} << kSlotBits);
    work.line = AllocateArrayOf<uint32_t>(widest);
    bool clearPinned = false;
    for (uint32_t k = 0; k < pinnedCount; ++k) {
        clearPinned = clearPinned || pinned[k] >> 24 == 0;
    }
    // Fully transparent pixels an entry of their own, unless a pinned colour is clear.
    bool separate = colors >= pinnedCount + 2 || clearPinned;
    uint32_t transparentAt[3] = {0, 0, 0};
    *transparent = false;
    if (work.slotKeys == nullptr || work.slotBins == nullptr || work.line == nullptr ||
        !GatherBins(pictures, count, separate, work, transparent, transparentAt)) {
        Release(work);
        return StatusOutOfMemory;
    }
    *transparent = *transparent && !clearPinned;
    uint32_t wanted = pinnedCount + static_cast<uint32_t>(std::min<uint64_t>(
                                        colors - pinnedCount - (*transparent ? 1 : 0), work.binCount));
    uint64_t bins = std::max<uint64_t>(work.binCount, 1), room = uint64_t{wanted} + 1;
    work.order = AllocateArrayOf<uint32_t>(bins);
    work.boxes = AllocateArrayOf<Box>(room);
    work.centres = AllocateArrayOf<uint32_t>(room);
    work.clusterOf = AllocateArrayOf<uint32_t>(bins);
    work.entryOf = AllocateArrayOf<uint32_t>(room);
    work.sums = AllocateArrayOf<uint64_t>(room * 5);
    work.best = AllocateArrayOf<uint32_t>(room * 4);
    work.entryColor = AllocateArrayOf<uint32_t>(room + 1);
    work.entryAt = AllocateArrayOf<uint32_t>((room + 1) * 2);
    work.entryBytes = AllocateArrayOf<uint8_t>((room + 1) * 8);
    if (work.order == nullptr || work.boxes == nullptr || work.centres == nullptr || work.clusterOf == nullptr ||
        work.entryOf == nullptr || work.sums == nullptr || work.best == nullptr || work.entryColor == nullptr ||
        work.entryAt == nullptr || work.entryBytes == nullptr ||
        !AllocateNearestSearch(static_cast<uint32_t>(room + 1), true, &work.search)) {
        Release(work);
        return StatusOutOfMemory;
    }
    uint32_t clusters = wanted != 0 ? Cluster(work, wanted, pinned, pinnedCount) : 0;
    *entries = MakeEntries(pictures, count, separate, *transparent, transparentAt, clusters, pinnedCount, work);
    return StatusOk;
}

}  // namespace

Status ChooseColorsOf(const Picture* pictures, size_t count, uint32_t colors, const uint32_t* pinned,
                      uint32_t pinnedCount, uint32_t* entries, uint32_t* chosen) {
    *chosen = 0;
    if (pinnedCount > colors) {
        return StatusBadInput;
    }
    for (; *chosen < pinnedCount; ++*chosen) {
        entries[*chosen] = pinned[*chosen];
    }
    bool any = false;
    for (size_t p = 0; p < count; ++p) {
        any = any || (pictures[p].width != 0 && pictures[p].height != 0);
    }
    if (!any || colors == 0) {
        return StatusOk;
    }
    Work work{};
    bool transparent = false;
    Status status = ChooseEntries(pictures, count, colors, pinned, pinnedCount, work, &transparent, chosen);
    if (status != StatusOk) {
        return status;
    }
    std::memcpy(entries, work.entryColor, sizeof *entries * *chosen);
    Release(work);
    return StatusOk;
}

Status ChoosePinnedColors(const Picture& picture, uint32_t colors, const uint32_t* pinned, uint32_t pinnedCount,
                          uint32_t* entries, uint32_t* count) {
    return ChooseColorsOf(&picture, 1, colors, pinned, pinnedCount, entries, count);
}

Status ChoosePalette(const Picture& picture, uint32_t colors, ChosenPalette* chosen) {
    *chosen = ChosenPalette{0, 0};
    if (picture.width == 0 || picture.height == 0 || colors == 0) {
        return StatusOk;
    }
    Work work{};
    bool transparent = false;
    uint32_t entries = 0;
    Status status = ChooseEntries(&picture, 1, colors, nullptr, 0, work, &transparent, &entries);
    if (status != StatusOk) {
        return status;
    }
    uint32_t pixelBits = PixelBits(picture);
    size_t pixelBytes = picture.storage != StorageMasked && pixelBits >= 8 ? pixelBits / 8 : 0;
    for (uint32_t e = 0; e < entries && pixelBytes != 0; ++e) {
        std::memcpy(work.entryBytes + 8 * size_t{e},
                    StoredRow(picture, work.entryAt[2 * e + 1]) + work.entryAt[2 * e] * pixelBytes, pixelBytes);
    }
    // The mapping: every pixel to its nearest entry, the lower on a tie.
    SetNearestColors(&work.search, work.entryColor, entries);
    for (uint32_t y = 0; y < picture.height; ++y) {
        uint8_t* row = StoredRow(picture, y);
        ReadPictureRgbaRow(picture, row, work.line);
        uint32_t lastRgba = 0, lastEntry = kNoBin;
        for (uint32_t x = 0; x < picture.width; ++x) {
            uint32_t rgba = work.line[x];
            uint32_t entry = 0;  // a fully transparent pixel's, where it has one
            if (!(transparent && rgba >> 24 == 0)) {
                if (rgba != lastRgba || lastEntry == kNoBin) {
                    lastRgba = rgba;
                    if (!FindKept(work.search, rgba, &lastEntry)) {
                        // The entry of the colour's cluster is the likely nearest.
                        uint32_t bin = work.slotBins[SlotOf(work, BinKey(rgba, work.level))];
                        lastEntry = NearestOf(work.search, rgba, work.entryOf[work.clusterOf[bin]]);
                        Keep(&work.search, rgba, lastEntry);
                        chosen->largestError =
                            std::max(chosen->largestError, LargestChannelDifference(rgba, work.entryColor[lastEntry]));
                    }
                }
                entry = lastEntry;
            }
            if (pixelBytes != 0) {
                std::memcpy(row + x * pixelBytes, work.entryBytes + 8 * size_t{entry}, pixelBytes);
            } else {
                CopyPixel(picture, pixelBits, row, x, StoredRow(picture, work.entryAt[2 * entry + 1]),
                          work.entryAt[2 * entry]);
            }
        }
    }
    chosen->count = entries;
    Release(work);
    return StatusOk;
}

}  // namespace quenvale
