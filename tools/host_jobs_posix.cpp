// A batch's files on threads, on POSIX: each worker takes the next file,
// and the calling thread hands on the results in the batch's order.
#include <condition_variable>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

#include "host.h"

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

size_t CoreCount() {
    unsigned cores = std::thread::hardware_concurrency();
    return cores == 0 ? 1 : cores;
}

}  // namespace quenvale_host
