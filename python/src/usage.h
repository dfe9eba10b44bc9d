// The per-instance usage counter: 0 idle, n > 0 that many shared uses, -1 one exclusive
// use. Every call holds the interpreter lock, so a conflict can only come from re-entry
// (a callback from argument conversion into the same index); the counter is atomic all
// the same.
#pragma once

#include "pyref.h"

#include <atomic>

namespace korvane::py {

enum class Access { Shared, Exclusive };

using UsageCounter = std::atomic<Py_ssize_t>;

class UsageGuard {
public:
    // On a conflict, held() is false and a RuntimeError is set.
    UsageGuard(UsageCounter& counter, Access access) noexcept : counter_(counter), access_(access) {
        if (access == Access::Exclusive) {
            Py_ssize_t idle = 0;
            held_ = counter_.compare_exchange_strong(idle, -1);
            if (!held_) PyErr_SetString(PyExc_RuntimeError, "Already borrowed");
            return;
        }
        Py_ssize_t seen = counter_.load();
        for (;;) {
            if (seen < 0) {
                PyErr_SetString(PyExc_RuntimeError, "Already mutably borrowed");
                return;
            }
            if (counter_.compare_exchange_weak(seen, seen + 1)) {
                held_ = true;
                return;
            }
        }
    }
    ~UsageGuard() {
        if (!held_) return;
        if (access_ == Access::Exclusive) counter_.store(0);
        else counter_.fetch_sub(1);
    }
    UsageGuard(const UsageGuard&) = delete;
    UsageGuard& operator=(const UsageGuard&) = delete;

    bool held() const noexcept { return held_; }

private:
    UsageCounter& counter_;
    Access access_;
    bool held_ = false;
};

}  // namespace korvane::py
