// The test seam that makes temporaries' names predictable.
#include "base/output_file.h"
#include "base/temporary_name.h"

namespace quenvale {

namespace {

thread_local bool fixedNames = false;  // a test's thread's own
thread_local uint64_t fixedNameCount = 0;

}  // namespace

void FixTemporaryNames(bool fixed) {
    fixedNames = fixed;
    fixedNameCount = 0;
}

bool FixedTemporaryBits(uint64_t* bits) {
    if (fixedNames) {
        *bits = MixBits(fixedNameCount++);
    }
    return fixedNames;
}

}  // namespace quenvale
