// A batch's files on Windows, one after another: mingw-w64's win32 thread
// model has no std::thread, and its host has no codecs whose work would
// pay for threads.
#include "app/host.h"

namespace quenvale_host {

void RunInOrder(size_t count, size_t jobs, const std::function<void(size_t)>& work,
                const std::function<void(size_t)>& done) {
    (void)jobs;
    for (size_t i = 0; i < count; ++i) {
        work(i);
        done(i);
    }
}

size_t CoreCount() { return 1; }

// One job at a time holds all it takes: no budget to share.
void ShareBatchPixels(uint64_t) {}
void ReserveBatchPixels(uint64_t) {}
void ReleaseBatchPixels() {}

}  // namespace quenvale_host
