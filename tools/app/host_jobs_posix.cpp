// A batch's files on threads, on POSIX: each worker takes the next file,
// and the calling thread hands on the results in the batch's order; the
// pixels their pictures hold at once share one budget.
#include <condition_variable>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

#include "app/host.h"
#if defined(QUENVALE_PICTURES)
#include "codecs/picture.h"
#endif

namespace quenvale_host {

void RunInOrder(size_t count, size_t jobs, const std::function<void(size_t)>& work,
                const std::function<void(size_t)>& done) {
    std::mutex mutex;
    std::condition_variable finished;
    std::vector<bool> ready(count, false);
    size_t next = 0;
    auto worker = [&] {
        while (true) {
            size_t i = 0;
            {
                std::lock_guard<std::mutex> lock(mutex);
                if (next == count) {
                    return;
                }
                i = next++;
            }
            work(i);
            std::lock_guard<std::mutex> lock(mutex);
            ready[i] = true;
            finished.notify_all();
        }
    };
    std::vector<std::thread> workers;
    for (size_t j = 0; j < jobs && j < count; ++j) {
        try {
            workers.emplace_back(worker);
        } catch (const std::system_error&) {
            break;  // no more threads to be had: those started do the rest
        }
    }
    if (workers.empty()) {
        worker();  // not even one: this thread does it all
    }
    for (size_t i = 0; i < count; ++i) {
        {
            std::unique_lock<std::mutex> lock(mutex);
            finished.wait(lock, [&] { return ready[i]; });
        }
        done(i);
    }
    for (std::thread& thread : workers) {
        thread.join();
    }
}

namespace {

std::mutex poolMutex;
std::condition_variable poolFreed;
uint64_t poolBudget = 0;  // 0: not shared
uint64_t poolHeld = 0;
thread_local uint64_t heldHere = 0;

}  // namespace

void ShareBatchPixels(uint64_t budget) {
#if defined(QUENVALE_PICTURES)
    WatchPixelBudget(ReserveBatchPixels);  // each picture's pixels, before they are taken
#endif
    std::lock_guard<std::mutex> lock(poolMutex);
    poolBudget = budget;
}

void ReserveBatchPixels(uint64_t pixels) {
    std::unique_lock<std::mutex> lock(poolMutex);
    if (poolBudget == 0) {
        return;
    }
    // Each picture is within the budget alone, so waiting for the others
    // to give theirs back always ends.
    if (heldHere == 0) {
        poolFreed.wait(lock, [pixels] { return poolHeld + pixels <= poolBudget; });
    }
    poolHeld += pixels;
    heldHere += pixels;
}

void ReleaseBatchPixels() {
    std::lock_guard<std::mutex> lock(poolMutex);
    poolHeld -= heldHere;
    heldHere = 0;
    poolFreed.notify_all();
}

size_t CoreCount() {
    unsigned cores = std::thread::hardware_concurrency();
    return cores == 0 ? 1 : cores;
}

}  // namespace quenvale_host
