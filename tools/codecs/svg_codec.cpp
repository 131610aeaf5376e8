// SVG out: one path a region (4-connected pixels of one stored value),
// traced along the pixel edges, so that the paths neither overlap nor
// leave gaps and render at 1:1 to the picture's own pixels. Regions are
// grouped by colour, the colours in palette order (pixel_regions.h); fully
// transparent ones are left uncovered.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "codecs/picture.h"
#include "ops/pixel_regions.h"

namespace quenvale_host {

namespace {

constexpr uint32_t kWalked = quenvale::kWalkedLabel;

// Directions along a pixel edge, clockwise on the screen (y down): a
// region's outline runs with the region on its right, a hole's the other
// way about.
enum Direction : uint8_t { East, South, West, North };
const int kStepX[] = {1, 0, -1, 0};
const int kStepY[] = {0, 1, 0, -1};

struct Edge {
    uint64_t start;  // vertex y * (width + 1) + x
    uint8_t direction;
    bool used;
};

// The region's boundary edges, its pixels walked from its first one.
void RegionEdges(uint32_t* labels, uint32_t region, uint32_t seed, uint32_t width, uint32_t height,
                 std::vector<uint32_t>& walk, std::vector<Edge>& edges) {
    walk.assign(1, seed);
    labels[seed] |= kWalked;
    edges.clear();
    uint64_t across = uint64_t{width} + 1;
    for (size_t at = 0; at < walk.size(); ++at) {
        uint32_t p = walk[at], x = p % width, y = p / width;
        bool inside[4] = {x + 1 < width && (labels[p + 1] & ~kWalked) == region,
                          y + 1 < height && (labels[p + width] & ~kWalked) == region,
                          x > 0 && (labels[p - 1] & ~kWalked) == region,
                          y > 0 && (labels[p - width] & ~kWalked) == region};
        uint32_t next[4] = {p + 1, p + width, p - 1, p - width};
        for (int side = 0; side < 4; ++side) {
            if (inside[side] && (labels[next[side]] & kWalked) == 0) {
                labels[next[side]] |= kWalked;
                walk.push_back(next[side]);
            }
        }
        uint64_t corner = uint64_t{y} * across + x;
        if (!inside[3]) edges.push_back({corner, East, false});               // the top edge
        if (!inside[0]) edges.push_back({corner + 1, South, false});         // the right
        if (!inside[1]) edges.push_back({corner + across + 1, West, false});  // the bottom
        if (!inside[2]) edges.push_back({corner + across, North, false});     // the left
    }
}

void AppendNumber(std::string& text, int64_t value) {
    char digits[24];
    int length = std::snprintf(digits, sizeof digits, "%lld", static_cast<long long>(value));
    text.append(digits, static_cast<size_t>(length));
}

// The edges chained into closed outlines, each written as relative h and v
// runs from a corner, its last run left to the closing z.
void WriteOutlines(std::vector<Edge>& edges, uint64_t across, std::string& d) {
    std::sort(edges.begin(), edges.end(), [](const Edge& a, const Edge& b) {
        return a.start < b.start || (a.start == b.start && a.direction < b.direction);
    });
    std::vector<uint8_t> loop;
    int64_t lastX = 0, lastY = 0;
    bool first = true;
    for (Edge& begin : edges) {
        if (begin.used) {
            continue;
        }
        loop.clear();
        uint64_t startVertex = begin.start;
        Edge* edge = &begin;
        while (edge != nullptr && !edge->used) {
            edge->used = true;
            loop.push_back(edge->direction);
            uint8_t dir = edge->direction;
            int64_t x = static_cast<int64_t>(edge->start % across) + kStepX[dir];
            int64_t y = static_cast<int64_t>(edge->start / across) + kStepY[dir];
            uint64_t end = static_cast<uint64_t>(y) * across + static_cast<uint64_t>(x);
            // Where two outlines touch at a corner, turn right, keeping to this region's pixel.
            auto from = std::lower_bound(edges.begin(), edges.end(), end,
                                         [](const Edge& e, uint64_t v) { return e.start < v; });
            Edge* chosen = nullptr;
            for (auto it = from; it != edges.end() && it->start == end; ++it) {
                if (!it->used && (chosen == nullptr || it->direction == (dir + 1) % 4)) {
                    chosen = &*it;
                }
            }
            edge = chosen;
        }
        // From a corner: the loop turned so that its first edge starts a run.
        size_t turn = 0;
        while (turn < loop.size() && loop[turn] == loop[(turn + loop.size() - 1) % loop.size()]) {
            ++turn;
        }
        turn = turn == loop.size() ? 0 : turn;
        int64_t x = static_cast<int64_t>(startVertex % across), y = static_cast<int64_t>(startVertex / across);
        for (size_t i = 0; i < turn; ++i) {
            x += kStepX[loop[i]], y += kStepY[loop[i]];
        }
        std::rotate(loop.begin(), loop.begin() + static_cast<std::ptrdiff_t>(turn), loop.end());
        d += first ? 'M' : 'm';
        AppendNumber(d, first ? x : x - lastX);
        d += ' ';
        AppendNumber(d, first ? y : y - lastY);
        first = false;
        lastX = x, lastY = y;
        for (size_t i = 0; i < loop.size();) {
            size_t j = i;
            while (j < loop.size() && loop[j] == loop[i]) {
                ++j;
            }
            if (j == loop.size()) {
                break;  // z draws the last run
            }
            int64_t run = static_cast<int64_t>(j - i) * (loop[i] == West || loop[i] == North ? -1 : 1);
            d += loop[i] == East || loop[i] == West ? 'h' : 'v';
            AppendNumber(d, run);
            i = j;
        }
        d += 'z';
    }
}

}  // namespace

bool EncodeSvgPieces(const Picture& picture, const EncodeRequest&, EncodedFile* encoded, PictureError* error) {
    quenvale::PixelRegions regions{};
    quenvale::Status status = quenvale::LabelRegions(picture, &regions);
    if (status != quenvale::StatusOk) {
        *error = {status == quenvale::StatusUnsupported ? "too many pixels for an SVG, whose regions are labelled"
                                                        : "not enough memory to trace the SVG's regions",
                  status};
        return false;
    }
    // Each region's colour as it shows, 8-bit RGBA, read at its first pixel.
    std::vector<uint32_t> shown(regions.count);
    uint32_t width = picture.width, height = picture.height;
    VisitRgbaBands(picture, 64, [&](uint32_t top, uint32_t rows, const uint8_t* rgba) {
        for (size_t i = 0; i < size_t{width} * rows; ++i) {
            size_t p = size_t{top} * width + i;
            const quenvale::PixelRegion& region = regions.regions[regions.labels[p]];
            if (region.seed == p) {
                const uint8_t* c = rgba + 4 * i;
                shown[regions.labels[p]] = uint32_t{c[3]} << 24 | uint32_t{c[0]} << 16 | uint32_t{c[1]} << 8 | c[2];
            }
        }
        return true;
    });
    // Regions by colour, the colours oldest first, each colour's in order.
    std::vector<uint32_t> order(regions.count);
    for (uint32_t r = 0; r < regions.count; ++r) {
        order[r] = r;
    }
    std::stable_sort(order.begin(), order.end(), [&](uint32_t a, uint32_t b) {
        return regions.regions[a].color < regions.regions[b].color;
    });
    std::string svg = "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" + std::to_string(width) + "\" height=\"" +
                      std::to_string(height) + "\" viewBox=\"0 0 " + std::to_string(width) + " " +
                      std::to_string(height) + "\" shape-rendering=\"crispEdges\" fill-rule=\"evenodd\">\n";
    std::vector<uint32_t> walk;
    std::vector<Edge> edges;
    uint64_t across = uint64_t{width} + 1;
    uint32_t group = UINT32_MAX;  // the fill of the group open
    for (uint32_t r : order) {
        uint32_t color = shown[r];
        if (color >> 24 == 0) {
            continue;  // clear: left uncovered
        }
        if (color != group) {
            char open[64];
            std::snprintf(open, sizeof open, "%s<g fill=\"#%06x\"", group == UINT32_MAX ? "" : "</g>\n",
                          static_cast<unsigned>(color & 0xFFFFFF));
            svg += open;
            if (color >> 24 != 0xFF) {
                // In ten-thousandths, rounded in integers: the same text on every platform.
                unsigned opacity = ((color >> 24) * 20000u + 255u) / 510u;
                std::snprintf(open, sizeof open, " fill-opacity=\"0.%04u\"", opacity);
                svg += open;
            }
            svg += ">\n";
            group = color;
        }
        RegionEdges(regions.labels, r, regions.regions[r].seed, width, height, walk, edges);
        svg += "<path d=\"";
        WriteOutlines(edges, across, svg);
        svg += "\"/>\n";
    }
    svg += group == UINT32_MAX ? "</svg>\n" : "</g>\n</svg>\n";
    quenvale::FreePixelRegions(&regions);
    return TakeWholeFile(svg.data(), svg.size(), "SVG", encoded, error);
}

}  // namespace quenvale_host
