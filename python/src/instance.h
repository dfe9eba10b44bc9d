// An instance of the Korvane class: one Engine, guarded by a usage counter, and the
// entry points that reach it.
#pragma once

#include "pyref.h"

#include <type_traits>
#include <utility>

#include "errors.h"
#include "usage.h"

#include "engine/construct.h"
#include "engine/engine.h"

namespace korvane::py {

struct KorvaneObject {
    PyObject_HEAD
    Usage usage;
    Engine engine;
};

// Records the class created at module initialisation; as_korvane checks against the
// first one for the life of the process.
void remember_korvane_type(PyTypeObject* type);

// `self` as an instance, or nullptr with a TypeError set.
KorvaneObject* as_korvane(PyObject* self);

// Runs body(instance) under the given use of the instance, every C++ exception mapped.
template <class F>
auto with_instance(PyObject* self, Access access, F&& body) noexcept {
    return guarded([&]() -> decltype(body(std::declval<KorvaneObject&>())) {
        using R = decltype(body(std::declval<KorvaneObject&>()));
        constexpr R failure = [] {
            if constexpr (std::is_pointer_v<R>) return static_cast<R>(nullptr);
            else return R{-1};
        }();
        KorvaneObject* k = as_korvane(self);
        if (k == nullptr) return failure;
        UsageGuard use(k->usage, access);
        if (!use.held()) return failure;
        return body(*k);
    });
}

template <class... Out>
bool parse(PyObject* args, PyObject* kwds, const char* format, const char* const* kwlist, Out... out) {
    return PyArg_ParseTupleAndKeywords(args, kwds, format, const_cast<char**>(kwlist), out...) != 0;
}

// A new instance of the Korvane class holding `engine`.
PyObject* wrap_engine(Engine&& engine);

// The type's tp_new (there is no __init__) and tp_dealloc.
PyObject* korvane_new(PyTypeObject* type, PyObject* args, PyObject* kwds);
void korvane_dealloc(PyObject* self);

}  // namespace korvane::py
