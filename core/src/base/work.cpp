#include "base/work.h"

#include <sched.h>

#include <algorithm>
#include <exception>
#include <mutex>
#include <thread>
#include <vector>

namespace korvane {

unsigned available_threads() {
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof set, &set) == 0) {
        const int n = CPU_COUNT(&set);
        if (n > 0) return static_cast<unsigned>(n);
    }
    return std::max(1u, std::thread::hardware_concurrency());
}

void parallel_for(std::size_t n, unsigned threads, std::size_t grain,
                  const std::function<void(std::size_t begin, std::size_t end)>& f) {
    if (n == 0) return;
    grain = std::max<std::size_t>(grain, 1);
    const std::size_t chunks = (n + grain - 1) / grain;
    const std::size_t workers = std::min<std::size_t>(std::max(threads, 1u), chunks);
    if (workers <= 1) {
        for (std::size_t b = 0; b < n; b += grain) f(b, std::min(n, b + grain));
        return;
    }
    std::atomic<std::size_t> next{0};
    std::atomic<bool> failed{false};
    std::exception_ptr error;
    std::mutex error_lock;
    auto run = [&] {
        try {
            for (std::size_t c = next.fetch_add(1); c < chunks && !failed.load(std::memory_order_relaxed);
                 c = next.fetch_add(1)) {
                f(c * grain, std::min(n, (c + 1) * grain));
            }
        } catch (...) {
            const std::lock_guard<std::mutex> hold(error_lock);
            if (!error) error = std::current_exception();
            failed.store(true);
        }
    };
    std::vector<std::thread> pool;
    try {
        pool.reserve(workers - 1);
        for (std::size_t t = 1; t < workers; ++t) pool.emplace_back(run);
    } catch (...) {
        // No thread (or no room to note one) to be had: the ones started and this one do
        // the work, so running short of memory here never fails the caller.
    }
    run();
    for (std::thread& t : pool) t.join();
    if (error) std::rethrow_exception(error);
}

}  // namespace korvane
