// The nearest of a set of colours to a colour, under ColorDistance, the
// lower index among equals: a search ordered by the channels' sum, a test
// that settles most colours at their guess, and an optional table of
// colours met. The chooser's rounds and mapping and the remap share it.
#ifndef QUENVALE_NEAREST_SEARCH_H
#define QUENVALE_NEAREST_SEARCH_H

#include <cstdint>

namespace quenvale {

// How colours are compared, everywhere in the chooser and the remap: the
// sum of the squared differences of red, green, blue and alpha at 8 bits a
// channel, the error PSNR measures. In integers, so every platform chooses
// alike.
inline uint32_t ColorDistance(uint32_t a, uint32_t b) {
    uint32_t total = 0;
    for (uint32_t shift = 0; shift < 32; shift += 8) {
        int32_t d = static_cast<int32_t>(a >> shift & 0xFF) - static_cast<int32_t>(b >> shift & 0xFF);
        total += static_cast<uint32_t>(d * d);
    }
    return total;
}

// The largest difference of one channel (RGBA) between two colours: the
// error -v and the palette files tell.
inline uint32_t LargestChannelDifference(uint32_t a, uint32_t b) {
    uint32_t largest = 0;
    for (uint32_t shift = 0; shift < 32; shift += 8) {
        uint32_t x = a >> shift & 0xFF, y = b >> shift & 0xFF;
        largest = x > y ? (x - y > largest ? x - y : largest) : (y - x > largest ? y - x : largest);
    }
    return largest;
}

// The search's storage, for up to room colours, taken with the engine's
// allocator; the colours are the caller's (0xAARRGGBB).
struct NearestSearch {
    const uint32_t* colors;
    uint32_t count;
    uint32_t* sorted;   // the colours by their sums (then by index)
    uint32_t* indices;  // each sorted colour's index
    uint32_t* apart;    // by index: the squared distance to the nearest other colour
    uint32_t* cacheKeys;     // a colour met, where the search keeps a table
    uint32_t* cacheEntries;  // its nearest, marked; 0 for an empty slot
};

// False when memory runs out, with nothing held.
bool AllocateNearestSearch(uint32_t room, bool cached, NearestSearch* search);
void ReleaseNearestSearch(NearestSearch* search);
// The colours to search among from now on (count at most the room).
void SetNearestColors(NearestSearch* search, const uint32_t* colors, uint32_t count);
// The index of the colour nearest rgba; guess is any index, the nearer to
// the answer the quicker.
uint32_t NearestOf(const NearestSearch& search, uint32_t rgba, uint32_t guess);
// The table of colours met (a search allocated cached): a colour's nearest
// where it was kept, and the keeping of one.
bool FindKept(const NearestSearch& search, uint32_t rgba, uint32_t* nearest);
void Keep(NearestSearch* search, uint32_t rgba, uint32_t nearest);

}  // namespace quenvale

#endif
