// Turning core errors and C++ exceptions into Python exceptions. No C++ exception may
// reach the interpreter, and no entry point may return a result with an exception set
// or fail without one.
#pragma once

#include "pyref.h"

#include <type_traits>

#include "base/error.h"

namespace korvane::py {

// Raises the exception class fixed for the error's kind, with its display text.
void raise_engine_error(const EngineError& error);

// True when `result` holds a value; otherwise raises its error and returns false.
template <class T>
bool ok_or_raise(const Expected<T>& result) {
    if (result) return true;
    raise_engine_error(result.error());
    return false;
}

// None for a success, or nullptr with the error raised.
PyObject* none_or_raise(const Status& status);

// Replaces the pending TypeError with TypeError("argument '<arg>': <message>") whose
// __cause__ is the original. Other pending exceptions are left as they are.
void prefix_type_error(const char* arg);

// The pending exception as one normalised object (its traceback attached), taken off the
// error indicator; nullptr when none is pending.
PyObject* take_raised_exception();
// Raises an exception taken by take_raised_exception again (stealing the reference).
void restore_raised_exception(PyObject* exception);

// Sets the Python exception for the C++ exception being handled; call only in a catch.
void translate_current_exception() noexcept;

// Makes a result consistent with the error indicator.
PyObject* settle(PyObject* result) noexcept;
Py_ssize_t settle(Py_ssize_t result) noexcept;

// Runs `body` (returning PyObject* or Py_ssize_t) with every C++ exception mapped.
template <class F>
auto guarded(F&& body) noexcept -> decltype(body()) {
    using R = decltype(body());
    R result;
    try {
        result = body();
    } catch (...) {
        translate_current_exception();
        if constexpr (std::is_pointer_v<R>) return nullptr;
        else return -1;
    }
    return settle(result);
}

}  // namespace korvane::py
