#include "base/work.h"

#include <sched.h>

#include <pthread.h>

#include <algorithm>
#include <condition_variable>
#include <deque>
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

namespace {

class Pool {
public:
    // Never destroyed: its threads may still wait on it while the process exits.
    static Pool*& current() {
        static Pool* pool = [] {
            // A forked child has none of the parent's threads: it starts a pool of its own.
            pthread_atfork(nullptr, nullptr, [] { current() = new Pool; });
            return new Pool;
        }();
        return pool;
    }

    bool start(std::function<void()>&& task) {
        std::unique_lock<std::mutex> hold(lock_);
        try {
            tasks_.push_back(std::move(task));
        } catch (...) {
            return false;
        }
        if (idle_ < tasks_.size()) {
            try {
                std::thread(&Pool::serve, this).detach();
            } catch (...) {
                tasks_.pop_back();
                return false;
            }
        }
        ready_.notify_one();
        return true;
    }

private:
    void serve() {
        std::unique_lock<std::mutex> hold(lock_);
        for (;;) {
            ++idle_;
            ready_.wait(hold, [this] { return !tasks_.empty(); });
            --idle_;
            std::function<void()> task = std::move(tasks_.front());
            tasks_.pop_front();
            hold.unlock();
            task();
            task = nullptr;
            hold.lock();
        }
    }

    std::mutex lock_;
    std::condition_variable ready_;
    std::deque<std::function<void()>> tasks_;
    std::size_t idle_ = 0;
};

}  // namespace

bool start_on_pool(std::function<void()> task) { return Pool::current()->start(std::move(task)); }

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
    // The calling thread takes chunks too; helpers started late find none left.
    std::mutex done_lock;
    std::condition_variable done;
    std::size_t running = 0;
    for (std::size_t t = 1; t < workers; ++t) {
        {
            const std::lock_guard<std::mutex> hold(done_lock);
            ++running;
        }
        const bool started = start_on_pool([&] {
            run();
            const std::lock_guard<std::mutex> hold(done_lock);
            if (--running == 0) done.notify_all();
        });
        if (!started) {  // the ones started and this one do the work
            const std::lock_guard<std::mutex> hold(done_lock);
            --running;
            break;
        }
    }
    run();
    std::unique_lock<std::mutex> hold(done_lock);
    done.wait(hold, [&] { return running == 0; });
    if (error) std::rethrow_exception(error);
}

}  // namespace korvane
