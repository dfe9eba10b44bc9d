// Adds and builds that may take a while: run on a worker thread with the interpreter lock
// released, watched from the calling thread, which reports progress and stops the work
// when a signal handler or the progress callback raises.
#pragma once

#include "pyref.h"

#include <functional>

#include "base/error.h"
#include "base/work.h"
#include "usage.h"

namespace korvane::py {

// What to do with progress: nothing, call a Python callable (borrowed) with (done,
// total), or draw a bar on sys.stderr.
struct ProgressArg {
    PyObject* callback = nullptr;
    bool bar = false;
};

// None or False: nothing; True: the bar; any callable: called. Anything else raises
// TypeError "argument 'progress': ...".
bool to_progress(PyObject* obj, ProgressArg& out);

// A thread count as search_batch takes it: 0 means every core the process may use.
bool to_threads(PyObject* obj, unsigned& out);

// Runs job(work) on a Work of `threads` threads. With `background` the job runs on a
// worker thread while this one, with the interpreter lock released, wakes about every
// 0.1 s to run signal handlers and report progress; an exception from either asks the
// job to stop, waits for it, and is raised. Without, it runs here, lock held. Progress is
// reported once more when the job succeeds. `label` names the work on the bar. `writing`,
// the usage of the instance the job changes, lets readers in between the job's units when
// it runs in the background. Returns None, or nullptr with an exception set.
PyObject* run_long_work(const char* label, unsigned threads, bool background, const ProgressArg& progress,
                        const std::function<Status(Work&)>& job, Usage* writing = nullptr);

}  // namespace korvane::py
