#include "errors.h"

#include <new>
#include <stdexcept>
#include <string>

namespace korvane::py {

namespace {

PyObject* exception_class(EngineError::Kind kind) {
    using K = EngineError::Kind;
    switch (kind) {
        case K::EmptyIndex:
        case K::NotBuilt:
        case K::Interrupted:
            return PyExc_RuntimeError;
        case K::UnknownId:
            return PyExc_KeyError;
        case K::Io:
        case K::InvalidFile:
        case K::UnsupportedVersion:
            return PyExc_OSError;
        case K::DimensionMismatch:
        case K::InvalidBitWidth:
        case K::InvalidMetricByte:
        case K::CountMismatch:
        case K::UnsupportedIndexTypeByte:
        case K::IndexTypeNotImplemented:
        case K::EmptySample:
        case K::FitAfterAdd:
        case K::InvalidArgument:
            return PyExc_ValueError;
    }
    return PyExc_RuntimeError;
}

}  // namespace

PyObject* take_raised_exception() {
#if PY_VERSION_HEX >= 0x030C0000
    return PyErr_GetRaisedException();
#else
    PyObject *type = nullptr, *value = nullptr, *tb = nullptr;
    PyErr_Fetch(&type, &value, &tb);
    if (type == nullptr) return nullptr;
    PyErr_NormalizeException(&type, &value, &tb);
    if (tb != nullptr && value != nullptr) PyException_SetTraceback(value, tb);
    Py_XDECREF(type);
    Py_XDECREF(tb);
    return value;
#endif
}

void restore_raised_exception(PyObject* exception) {
    if (exception == nullptr) return;
#if PY_VERSION_HEX >= 0x030C0000
    PyErr_SetRaisedException(exception);
#else
    PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(exception));
    Py_INCREF(type);
    PyErr_Restore(type, exception, PyException_GetTraceback(exception));
#endif
}

void raise_engine_error(const EngineError& error) {
    if (error.kind == EngineError::Kind::UnknownId) {
        // As a mapping does: the missing key itself.
        Ref key(PyLong_FromUnsignedLongLong(error.a));
        if (key) PyErr_SetObject(PyExc_KeyError, key.get());
        return;
    }
    const std::string text = error.message();
    // The I/O payload comes from the operating system and need not be valid UTF-8.
    Ref message(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
    if (!message) return;
    PyErr_SetObject(exception_class(error.kind), message.get());
}

PyObject* none_or_raise(const Status& status) {
    if (!ok_or_raise(status)) return nullptr;
    Py_RETURN_NONE;
}

void prefix_type_error(const char* arg) {
    if (!PyErr_ExceptionMatches(PyExc_TypeError)) return;
    Ref cause(take_raised_exception());
    if (!cause) return;
    Ref text(PyObject_Str(cause.get()));
    if (!text) return;
    Ref message(PyUnicode_FromFormat("argument '%s': %U", arg, text.get()));
    if (!message) return;
    Ref error(PyObject_CallOneArg(PyExc_TypeError, message.get()));
    if (!error) return;
    PyException_SetCause(error.get(), cause.release());
    PyErr_SetObject(PyExc_TypeError, error.get());
}

void translate_current_exception() noexcept {
    try {
        throw;
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::length_error&) {
        // A size beyond what a container can hold: memory that cannot be had.
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        PyErr_Format(PyExc_RuntimeError, "internal error: %s", e.what());
    } catch (...) {
        PyErr_SetString(PyExc_RuntimeError, "internal error: unknown exception");
    }
}

PyObject* settle(PyObject* result) noexcept {
    if (result == nullptr) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_RuntimeError, "internal error: failed without an exception");
        return nullptr;
    }
    if (PyErr_Occurred()) {
        Py_DECREF(result);
        return nullptr;
    }
    return result;
}

Py_ssize_t settle(Py_ssize_t result) noexcept {
    if (result < 0) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_RuntimeError, "internal error: failed without an exception");
        return -1;
    }
    return PyErr_Occurred() ? -1 : result;
}

}  // namespace korvane::py
