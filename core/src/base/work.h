// Long work (adds, builds) that can run on several threads, be watched and be stopped.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>

namespace korvane {

// The threads this process may run on (its CPU affinity), at least 1.
unsigned available_threads();

// Whoever runs a write may let others read the index while it runs: at the write's unit
// boundaries, where the index is whole (every unit so far done, none of the next begun),
// and for the length of parts that only read the index.
class ReadGate {
public:
    // At a unit boundary: lets readers that are waiting in, and returns once they are done.
    virtual void between_units() = 0;
    // Readers may come and go alongside the write from share(true) until share(false),
    // which returns once they are done.
    virtual void share(bool alongside) = 0;

protected:
    ~ReadGate() = default;
};

// Shared between the work and whoever watches it from another thread: how far the work
// got, and a request to stop. The work checks stop_requested() at clean points only.
class Work {
public:
    // threads 0 means every thread the process may use.
    explicit Work(unsigned threads = 1) : threads_(threads == 0 ? available_threads() : threads) {}
    Work(const Work&) = delete;
    Work& operator=(const Work&) = delete;

    unsigned threads() const { return threads_; }
    void set_total(std::uint64_t total) { total_.store(total, std::memory_order_relaxed); }
    std::uint64_t total() const { return total_.load(std::memory_order_relaxed); }
    void advance(std::uint64_t n) { done_.fetch_add(n, std::memory_order_relaxed); }
    std::uint64_t done() const { return done_.load(std::memory_order_relaxed); }
    void request_stop() { stop_.store(true, std::memory_order_relaxed); }
    bool stop_requested() const { return stop_.load(std::memory_order_relaxed); }

    // The gate readers wait at (none: nobody else reads while this work runs).
    void set_gate(ReadGate* gate) { gate_ = gate; }
    bool has_gate() const { return gate_ != nullptr; }
    // Called by the work where the index is whole. `settle`, while set, brings what readers
    // look rows up by (the id map) up to date first.
    void between_units() {
        if (gate_ == nullptr) return;
        if (settle_) settle_();
        gate_->between_units();
    }
    void set_settle(std::function<void()> settle) { settle_ = std::move(settle); }

    // For its lifetime, the work only reads the index, and readers may use it alongside.
    class Alongside {
    public:
        explicit Alongside(Work& work) : gate_(work.gate_) {
            if (gate_ != nullptr) gate_->share(true);
        }
        ~Alongside() {
            if (gate_ != nullptr) gate_->share(false);
        }
        Alongside(const Alongside&) = delete;
        Alongside& operator=(const Alongside&) = delete;

    private:
        ReadGate* gate_;
    };

private:
    ReadGate* gate_ = nullptr;
    std::function<void()> settle_;
    unsigned threads_;
    std::atomic<std::uint64_t> total_{0};
    std::atomic<std::uint64_t> done_{0};
    std::atomic<bool> stop_{false};
};

// Starts `task` on a thread of a process-wide pool. The pool keeps its threads (and their
// thread-local scratch, which for a graph grows with its size) for later calls, and starts
// one more whenever no thread is idle, so a task that waits for others never waits for a
// thread. Returns false, and runs nothing, when no thread can be had. `task` must not throw.
bool start_on_pool(std::function<void()> task);

// Calls f(begin, end) over [0, n) in chunks of `grain` (the last may be shorter) on up to
// `threads` threads, the calling one among them. Each index is covered exactly once; which
// thread runs a chunk is left to timing, so f must give the same result either way. An
// exception thrown by f (std::bad_alloc) is rethrown here after every thread has stopped;
// chunks not yet started are then skipped. Threads that cannot be had leave their share
// to the others: nothing but f makes the call fail.
void parallel_for(std::size_t n, unsigned threads, std::size_t grain,
                  const std::function<void(std::size_t begin, std::size_t end)>& f);

}  // namespace korvane
