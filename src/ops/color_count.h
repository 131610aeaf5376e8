// The tolerance for a colour count: how many entries a flatten makes at a
// tolerance, counted from the picture's distinct colours alone, and the
// tolerance that a bisection over 0 to 255 finds for a count asked.
#ifndef QUENVALE_COLOR_COUNT_H
#define QUENVALE_COLOR_COUNT_H

#include <cstddef>
#include <cstdint>

#include "base/status.h"
#include "ops/picture_flatten.h"

namespace quenvale {

// A picture's distinct colours as the flatten sees them, in the visiting
// order of their first pixels. Only a pixel whose colour is new can found
// an entry (one seen before found or joined an entry then, which is still
// within its reach), so these decide every entry and its order.
// Where alpha is held in the stored value (tRNS), a pixel joins only an
// entry of its own alpha: a palette's colours then carry their alpha as a
// class. Fully transparent pixels held so (a key colour, an index of alpha
// 0) join only each other: they are no colour and are left out.
struct FirstColors {
    uint32_t* colors;  // packed 0xRRGGBB
    uint8_t* classes;  // each colour's alpha, or null where all are alike
    size_t count;
};
Status FindFirstColors(const Picture& picture, FirstColors* colors);
void FreeFirstColors(FirstColors* colors);

// The entries a flatten at the tolerance makes, counting stopped as soon as
// one more than limit is founded (*entries is then limit + 1).
Status CountEntries(const FirstColors& colors, int tolerance, uint64_t limit, uint64_t* entries);

// The tolerance for at most `colors` entries: bisection over 0 to 255
// keeps a tolerance that gives at most that many and one below it that
// gives more, and ends with them adjacent. The tolerance found gives at most
// that many and the one below it more (or it is 0): where the count only
// falls as the tolerance rises, as it does on most pictures, it is the
// smallest that does. Where it rises somewhere, a smaller one may do too.
// At 255 every pixel joins the first entry; should even that give more,
// the tolerance is 255 and reached is false.
struct ToleranceChoice {
    int tolerance;
    uint64_t entries;  // at that tolerance
    bool reached;
};
Status ChooseTolerance(const FirstColors& colors, uint64_t colorCount, ToleranceChoice* choice);
// The same from the picture itself: its first colours found, the choice
// made on them, and they freed.
Status ChooseToleranceFor(const Picture& picture, uint64_t colorCount, ToleranceChoice* choice);

}  // namespace quenvale

#endif
