// Who is using an instance: shared uses (any number, from any threads) or one exclusive
// use. A conflict with the calling thread's own use is re-entry (a callback from argument
// conversion into the same index) and raises at once: "Already borrowed" when exclusive
// use is asked while any use is in progress on this thread, "Already mutably borrowed"
// when shared use is asked during this thread's exclusive use. A conflict with another
// thread's use waits, with the interpreter lock released, until the instance is free; a
// waiting writer holds back new readers from other threads, so it is not starved.
//
// A long write lets readers in while it runs (ReadGate): at each unit boundary it admits
// the readers waiting then (not those that come later, so that it is not starved either)
// and goes on once they are done, and in parts that only read the index readers come and
// go freely. Other writers wait for the whole write.
#pragma once

#include "pyref.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <vector>

#include "base/work.h"

namespace korvane::py {

enum class Access { Shared, Exclusive };

class Usage {
public:
    Usage() = default;
    Usage(const Usage&) = delete;
    Usage& operator=(const Usage&) = delete;

    // True when taken; false with a RuntimeError set (MemoryError if even the bookkeeping
    // cannot be had).
    bool acquire(Access access) noexcept {
        try {
            return acquire_or_throw(access);
        } catch (...) {
            PyErr_NoMemory();
            return false;
        }
    }

    void release(Access access) noexcept { release_or_nothing(access); }

    // For the write holding exclusive use, from the thread it runs on (no interpreter lock
    // needed): at a unit boundary, lets in the readers waiting now and returns once they
    // are done. Readers come in at most once every kQuantum, so that a reader that
    // searches without pause cannot slow the write down by more than a few percent.
    void between_units() {
        if (waiting_readers_.load(std::memory_order_relaxed) == 0) return;
        std::unique_lock<std::mutex> lock(m_);
        if (!exclusive_ || waiting_readers_.load(std::memory_order_relaxed) == 0) return;
        const auto now = std::chrono::steady_clock::now();
        if (now - last_pause_ < kQuantum) return;
        admit_below_ = next_ticket_;
        to_admit_ = waiting_readers_.load(std::memory_order_relaxed);
        paused_ = true;
        ++generation_;
        cv_.notify_all();
        cv_.wait(lock, [&] { return to_admit_ == 0 && shared_ == 0; });
        paused_ = false;
        last_pause_ = std::chrono::steady_clock::now();
    }

    // For the write holding exclusive use: readers may come and go while `alongside`; the
    // end of it returns once they are done.
    void share(bool alongside) {
        std::unique_lock<std::mutex> lock(m_);
        if (!exclusive_) return;
        sharing_ = alongside;
        ++generation_;
        cv_.notify_all();
        if (!alongside) cv_.wait(lock, [&] { return shared_ == 0; });
    }

private:
    static constexpr std::chrono::microseconds kQuantum{1000};

    bool acquire_or_throw(Access access) {
        const unsigned long me = PyThread_get_thread_ident();
        bool waiting_as_writer = false;
        std::uint64_t ticket = kNoTicket;  // a reader's place in the queue, once it waits
        for (;;) {
            std::uint64_t seen;
            {
                std::lock_guard<std::mutex> lock(m_);
                const char* conflict = nullptr;
                if (try_take(access, me, ticket, conflict)) {
                    if (waiting_as_writer) --waiting_writers_;
                    if (ticket != kNoTicket) waiting_readers_.fetch_sub(1, std::memory_order_relaxed);
                    return true;
                }
                if (conflict != nullptr) {
                    if (waiting_as_writer) --waiting_writers_;
                    if (ticket != kNoTicket) waiting_readers_.fetch_sub(1, std::memory_order_relaxed);
                    PyErr_SetString(PyExc_RuntimeError, conflict);
                    return false;
                }
                if (access == Access::Exclusive && !waiting_as_writer) {
                    waiting_as_writer = true;
                    ++waiting_writers_;
                }
                if (access == Access::Shared && ticket == kNoTicket) {
                    ticket = next_ticket_++;
                    waiting_readers_.fetch_add(1, std::memory_order_relaxed);
                }
                seen = generation_;
            }
            Py_BEGIN_ALLOW_THREADS
            {
                std::unique_lock<std::mutex> lock(m_);
                cv_.wait(lock, [&] { return generation_ != seen; });
            }
            Py_END_ALLOW_THREADS
        }
    }

private:
    void release_or_nothing(Access access) {
        const unsigned long me = PyThread_get_thread_ident();
        {
            std::lock_guard<std::mutex> lock(m_);
            if (access == Access::Exclusive) {
                writer_ = 0;
                exclusive_ = false;
            } else {
                for (auto it = readers_.begin(); it != readers_.end(); ++it) {
                    if (it->first == me && --it->second == 0) {
                        readers_.erase(it);
                        break;
                    }
                    if (it->first == me) break;
                }
                --shared_;
            }
            ++generation_;
        }
        cv_.notify_all();
    }

private:
    int readers_of(unsigned long thread) const {
        for (const auto& r : readers_) {
            if (r.first == thread) return r.second;
        }
        return 0;
    }

    bool try_take(Access access, unsigned long me, std::uint64_t ticket, const char*& conflict) {
        if (access == Access::Exclusive) {
            if (!exclusive_ && shared_ == 0) {
                exclusive_ = true;
                writer_ = me;
                return true;
            }
            if ((exclusive_ && writer_ == me) || readers_of(me) > 0) conflict = "Already borrowed";
            return false;
        }
        const int mine = readers_of(me);
        if (exclusive_) {
            if (writer_ == me) {
                conflict = "Already mutably borrowed";
                return false;
            }
            // During a write: while it only reads, or at a unit boundary for the readers
            // that were waiting when it came. A reader let in may read again: the write
            // waits for its reads to end, so waiting would deadlock.
            const bool admitted = paused_ && ticket < admit_below_;
            if (!sharing_ && !admitted && mine == 0) return false;
            if (admitted) --to_admit_;
        } else if (waiting_writers_ > 0 && mine == 0) {
            // A thread already reading may read again (waiting would deadlock with the
            // writer); others let a waiting writer go first.
            return false;
        }
        ++shared_;
        for (auto& r : readers_) {
            if (r.first == me) {
                ++r.second;
                return true;
            }
        }
        readers_.emplace_back(me, 1);
        return true;
    }

    static constexpr std::uint64_t kNoTicket = ~std::uint64_t{0};

    std::mutex m_;
    std::condition_variable cv_;
    bool exclusive_ = false;
    // A write letting readers in: those whose ticket is below admit_below_, of whom
    // to_admit_ have yet to come in; or any reader while it shares.
    bool paused_ = false;
    bool sharing_ = false;
    std::uint64_t next_ticket_ = 0;
    std::uint64_t admit_below_ = 0;
    std::int64_t to_admit_ = 0;
    std::atomic<std::int64_t> waiting_readers_{0};
    std::chrono::steady_clock::time_point last_pause_{};
    unsigned long writer_ = 0;
    std::int64_t shared_ = 0;
    int waiting_writers_ = 0;
    std::uint64_t generation_ = 0;
    std::vector<std::pair<unsigned long, int>> readers_;
};

// The gate a long write's Work holds: the instance's usage.
class UsageGate final : public ReadGate {
public:
    explicit UsageGate(Usage& usage) : usage_(usage) {}
    void between_units() override { usage_.between_units(); }
    void share(bool alongside) override { usage_.share(alongside); }

private:
    Usage& usage_;
};

class UsageGuard {
public:
    UsageGuard(Usage& usage, Access access) noexcept : usage_(usage), access_(access) {
        held_ = usage_.acquire(access);
    }
    ~UsageGuard() {
        if (held_) usage_.release(access_);
    }
    UsageGuard(const UsageGuard&) = delete;
    UsageGuard& operator=(const UsageGuard&) = delete;

    bool held() const noexcept { return held_; }

private:
    Usage& usage_;
    Access access_;
    bool held_ = false;
};

}  // namespace korvane::py
