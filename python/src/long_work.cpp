#include "long_work.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <exception>
#include <mutex>
#include <optional>
#include <string>
#include <system_error>

#include "convert.h"
#include "errors.h"

namespace korvane::py {

namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kTick = std::chrono::milliseconds(100);

// "mm:ss", or "h:mm:ss" from an hour on.
std::string clock_text(double seconds) {
    const auto s = static_cast<unsigned long long>(std::max(0.0, seconds));
    char text[32];
    if (s >= 3600) {
        std::snprintf(text, sizeof text, "%llu:%02llu:%02llu", s / 3600, s / 60 % 60, s % 60);
    } else {
        std::snprintf(text, sizeof text, "%02llu:%02llu", s / 60, s % 60);
    }
    return text;
}

// Reports progress to a callable or as a bar, at most once a tick until the last report.
class Reporter {
public:
    Reporter(const char* label, const ProgressArg& arg) : label_(label), arg_(arg), start_(Clock::now()), last_(start_) {}

    bool wanted() const { return arg_.callback != nullptr || arg_.bar; }

    // A report if a tick has passed since the last; false with the exception it raised.
    bool tick(const Work& work) {
        const auto now = Clock::now();
        // Before the work knows its size there is nothing to show.
        if (!wanted() || now - last_ < kTick || work.total() == 0) return true;
        last_ = now;
        return report(work.done(), work.total(), false);
    }

    // The last report, the bar ending its line.
    bool finish(const Work& work) { return !wanted() || report(work.done(), work.total(), true); }

    // Work that ends in an error or is stopped leaves the bar at what it did (an add: the
    // rows it kept), on a line of its own.
    void abandon(const Work& work) {
        if (!arg_.bar || (!drawn_ && work.done() == 0) || work.total() == 0) return;
        Ref raised(take_raised_exception());
        draw(work.done(), work.total(), true);
        PyErr_Clear();
        restore_raised_exception(raised.release());
    }

private:
    bool report(std::uint64_t done, std::uint64_t total, bool last) {
        if (arg_.bar) return draw(done, total, last);
        Ref result(PyObject_CallFunction(arg_.callback, "KK", static_cast<unsigned long long>(done),
                                         static_cast<unsigned long long>(total)));
        return static_cast<bool>(result);
    }

    // "adding  45%|█████████▏          | 27000/60000 [00:12<00:15]"
    bool draw(std::uint64_t done, std::uint64_t total, bool last) {
        constexpr int kWidth = 20;
        static const char* const kEighths[] = {"", "\u258f", "\u258e", "\u258d", "\u258c", "\u258b", "\u258a", "\u2589"};
        const double part = total == 0 ? 1.0 : std::min(1.0, static_cast<double>(done) / static_cast<double>(total));
        const auto eighths = static_cast<int>(part * kWidth * 8);
        std::string bar;
        for (int i = 0; i < eighths / 8; ++i) bar += "\u2588";
        bar += kEighths[eighths % 8];
        bar.append(static_cast<std::size_t>(kWidth - eighths / 8 - (eighths % 8 ? 1 : 0)), ' ');
        const double elapsed = std::chrono::duration<double>(Clock::now() - start_).count();
        const std::string left = done == 0 ? "?" : clock_text(elapsed * static_cast<double>(total - std::min(done, total)) /
                                                              static_cast<double>(done));
        char text[256];
        std::snprintf(text, sizeof text, "\r%s %3d%%|", label_, static_cast<int>(part * 100));
        std::string line = text + bar;
        std::snprintf(text, sizeof text, "| %llu/%llu [%s<%s]", static_cast<unsigned long long>(done),
                      static_cast<unsigned long long>(total), clock_text(elapsed).c_str(), left.c_str());
        line += text;
        if (last) line += "\n";
        drawn_ = true;
        return write(line);
    }

    // Writes to sys.stderr and flushes it; nowhere to write (None) is not an error.
    static bool write(const std::string& text) {
        PyObject* err = PySys_GetObject("stderr");  // borrowed
        if (err == nullptr || err == Py_None) return true;
        Ref line(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
        if (!line) return false;
        Ref written(PyObject_CallMethod(err, "write", "O", line.get()));
        if (!written) return false;
        Ref flushed(PyObject_CallMethod(err, "flush", nullptr));
        return static_cast<bool>(flushed);
    }

    const char* label_;
    ProgressArg arg_;
    Clock::time_point start_, last_;
    bool drawn_ = false;
};

// The job's outcome, handed from the worker thread.
struct Outcome {
    std::mutex lock;
    std::condition_variable changed;
    bool finished = false;
    std::optional<Status> status;
    std::exception_ptr error;
};

// Waits, lock released, up to `timeout` (forever without one) for the worker to finish.
bool wait_for(Outcome& outcome, std::optional<Clock::duration> timeout) {
    bool finished;
    Py_BEGIN_ALLOW_THREADS
    {
        std::unique_lock<std::mutex> hold(outcome.lock);
        if (timeout) {
            finished = outcome.changed.wait_for(hold, *timeout, [&] { return outcome.finished; });
        } else {
            outcome.changed.wait(hold, [&] { return outcome.finished; });
            finished = true;
        }
    }
    Py_END_ALLOW_THREADS
    return finished;
}

}  // namespace

bool to_progress(PyObject* obj, ProgressArg& out) {
    out = ProgressArg{};
    if (obj == nullptr || obj == Py_None || obj == Py_False) return true;
    if (obj == Py_True) {
        out.bar = true;
        return true;
    }
    if (!PyCallable_Check(obj)) {
        PyErr_Format(PyExc_TypeError, "argument 'progress': '%s' object is not callable", type_name(obj).c_str());
        return false;
    }
    out.callback = obj;
    return true;
}

bool to_threads(PyObject* obj, unsigned& out) {
    std::uint64_t threads = 0;
    if (!to_u64(obj, "threads", threads)) return false;
    // More threads than any machine has cores only costs their stacks.
    out = threads == 0 ? available_threads() : static_cast<unsigned>(std::min<std::uint64_t>(threads, 1024));
    return true;
}

PyObject* run_long_work(const char* label, unsigned threads, bool background, const ProgressArg& progress,
                        const std::function<Status(Work&)>& job, Usage* writing) {
    Work work(threads);
    // Readers wait with the interpreter lock released, which only the background job's
    // waiting leaves free to them.
    std::optional<UsageGate> gate;
    if (background && writing != nullptr) work.set_gate(&gate.emplace(*writing));
    Reporter reporter(label, progress);
    Outcome outcome;
    // On a thread the pool keeps, whose scratch (as large as a graph) later adds reuse.
    const bool started = background && start_on_pool([&] {
        std::optional<Status> status;
        std::exception_ptr error;
        try {
            status = job(work);
        } catch (...) {
            error = std::current_exception();
        }
        const std::lock_guard<std::mutex> hold(outcome.lock);
        outcome.status = std::move(status);
        outcome.error = error;
        outcome.finished = true;
        outcome.changed.notify_all();
    });
    if (!started) {
        outcome.status = job(work);
    } else {
        // Whatever leaves this block, the work has stopped first: it uses this frame.
        struct Joined {
            Work& work;
            Outcome& outcome;
            ~Joined() {
                std::unique_lock<std::mutex> hold(outcome.lock);
                if (outcome.finished) return;
                work.request_stop();
                outcome.changed.wait(hold, [&] { return outcome.finished; });
            }
        } joined{work, outcome};
        Ref raised;  // what stopped the work
        while (!wait_for(outcome, kTick)) {
            if (PyErr_CheckSignals() < 0 || !reporter.tick(work)) {
                raised = Ref(take_raised_exception());
                work.request_stop();
                wait_for(outcome, std::nullopt);
                break;
            }
        }
        if (raised) {
            // Raised even when the work ended before it could stop, its result kept.
            reporter.abandon(work);
            restore_raised_exception(raised.release());
            return nullptr;
        }
        if (outcome.error) {
            reporter.abandon(work);
            std::rethrow_exception(outcome.error);
        }
    }
    if (!*outcome.status) {
        reporter.abandon(work);
        raise_engine_error(outcome.status->error());
        return nullptr;
    }
    if (!reporter.finish(work)) return nullptr;
    Py_RETURN_NONE;
}

}  // namespace korvane::py
