// Who is using an instance: shared uses (any number, from any threads) or one exclusive
// use. A conflict with the calling thread's own use is re-entry (a callback from argument
// conversion into the same index) and raises at once: "Already borrowed" when exclusive
// use is asked while any use is in progress on this thread, "Already mutably borrowed"
// when shared use is asked during this thread's exclusive use. A conflict with another
// thread's use waits, with the interpreter lock released, until the instance is free; a
// waiting writer holds back new readers from other threads, so it is not starved.
#pragma once

#include "pyref.h"

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <vector>

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

private:
    bool acquire_or_throw(Access access) {
        const unsigned long me = PyThread_get_thread_ident();
        bool waiting_as_writer = false;
        for (;;) {
            std::uint64_t seen;
            {
                std::lock_guard<std::mutex> lock(m_);
                const char* conflict = nullptr;
                if (try_take(access, me, conflict)) {
                    if (waiting_as_writer) --waiting_writers_;
                    return true;
                }
                if (conflict != nullptr) {
                    if (waiting_as_writer) --waiting_writers_;
                    PyErr_SetString(PyExc_RuntimeError, conflict);
                    return false;
                }
                if (access == Access::Exclusive && !waiting_as_writer) {
                    waiting_as_writer = true;
                    ++waiting_writers_;
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

    bool try_take(Access access, unsigned long me, const char*& conflict) {
        if (access == Access::Exclusive) {
            if (!exclusive_ && shared_ == 0) {
                exclusive_ = true;
                writer_ = me;
                return true;
            }
            if ((exclusive_ && writer_ == me) || readers_of(me) > 0) conflict = "Already borrowed";
            return false;
        }
        if (exclusive_) {
            if (writer_ == me) conflict = "Already mutably borrowed";
            return false;
        }
        const int mine = readers_of(me);
        // A thread already reading may read again (waiting would deadlock with the writer);
        // others let a waiting writer go first.
        if (waiting_writers_ > 0 && mine == 0) return false;
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

    std::mutex m_;
    std::condition_variable cv_;
    bool exclusive_ = false;
    unsigned long writer_ = 0;
    std::int64_t shared_ = 0;
    int waiting_writers_ = 0;
    std::uint64_t generation_ = 0;
    std::vector<std::pair<unsigned long, int>> readers_;
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
