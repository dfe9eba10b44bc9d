#include "convert.h"

#include "numpy_api.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <type_traits>

#include "errors.h"

#include "base/grow.h"
#include "index/kept.h"

namespace korvane::py {

namespace {

// A sequence's __len__ only sizes the first allocation, and never beyond this many
// elements: the items actually yielded decide the size, whatever length is claimed.
constexpr std::size_t kMaxLengthHint = std::size_t{1} << 16;

template <class T>
T load(const char* p) {
    T v;
    std::memcpy(&v, p, sizeof v);  // array data need not be aligned for T
    return v;
}

// A __len__ that fails other than by being absent (TypeError) is reported.
bool length_hint(PyObject* obj, std::size_t& hint) {
    const Py_ssize_t n = PySequence_Size(obj);
    if (n >= 0) {
        hint = std::min(static_cast<std::size_t>(n), kMaxLengthHint);
        return true;
    }
    if (!PyErr_ExceptionMatches(PyExc_TypeError)) return false;
    PyErr_Clear();
    hint = 0;
    return true;
}

// A str is a sequence to the interpreter, but never a sequence of numbers here.
bool check_sequence(PyObject* obj) {
    if (PyUnicode_Check(obj)) {
        PyErr_SetString(PyExc_TypeError, "'str' object cannot be converted into a sequence of numbers");
        return false;
    }
    if (!PySequence_Check(obj)) {
        raise_cannot_convert(obj, "Sequence");
        return false;
    }
    return true;
}

// Calls f(item) for every item the iterator yields; false as soon as f or the
// iteration fails (with the exception set).
template <class F>
bool for_each_item(PyObject* obj, F&& f) {
    Ref it(PyObject_GetIter(obj));
    if (!it) return false;
    for (;;) {
        Ref item(PyIter_Next(it.get()));
        if (!item) return !PyErr_Occurred();
        if (!f(item.get())) return false;
    }
}

// 1 for a numpy.ma.MaskedArray (or a subclass), 0 for anything else, -1 with an exception
// set. A masked array's buffer still holds the masked-out values, which reading it as
// data would index silently. An instance implies that numpy.ma is loaded, so the class
// is looked up among the loaded modules and numpy.ma is never imported here.
int is_masked_array(PyObject* obj) {
    // Plain ndarrays, the common case, are never masked.
    if (!PyArray_Check(obj) || PyArray_CheckExact(obj)) return 0;
    Ref name(PyUnicode_InternFromString("numpy.ma"));
    if (!name) return -1;
    Ref ma(PyImport_GetModule(name.get()));
    if (!ma) return PyErr_Occurred() ? -1 : 0;
    Ref cls(PyObject_GetAttrString(ma.get(), "MaskedArray"));
    if (!cls) {
        // numpy.ma still being initialised: no instance can exist yet.
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
        PyErr_Clear();
        return 0;
    }
    if (!PyType_Check(cls.get())) return 0;
    return PyObject_TypeCheck(obj, reinterpret_cast<PyTypeObject*>(cls.get())) ? 1 : 0;
}

bool check_not_masked(PyObject* obj) {
    const int masked = is_masked_array(obj);
    if (masked == 0) return true;
    if (masked > 0) PyErr_SetString(PyExc_TypeError, "masked arrays are not supported; call .filled() first");
    return false;
}

// Subclasses included: numpy.memmap and other arrays whose buffer is their data are read
// in place. Callers refuse masked arrays before they get here.
PyArrayObject* as_array(PyObject* obj) {
    return PyArray_Check(obj) ? reinterpret_cast<PyArrayObject*>(obj) : nullptr;
}

// Plain ndarrays only: a subclass may give its elements another meaning than the raw
// buffer, so it is iterated like any sequence.
PyArrayObject* as_exact_array(PyObject* obj) {
    return PyArray_CheckExact(obj) ? reinterpret_cast<PyArrayObject*>(obj) : nullptr;
}

bool has_equivalent_type(PyArrayObject* a, int typenum) {
    PyArray_Descr* want = PyArray_DescrFromType(typenum);
    if (want == nullptr) {
        PyErr_Clear();
        return false;
    }
    const bool same = PyArray_EquivTypes(PyArray_DESCR(a), want);
    Py_DECREF(want);
    return same;
}

bool is_float32(PyArrayObject* a) { return has_equivalent_type(a, NPY_FLOAT32); }

// The small types whose arrays an add reads directly, and whose values kept input rows
// may keep as they are, in either byte order.
std::optional<InputType> small_input_type(PyArrayObject* a) {
    if (has_equivalent_type(a, NPY_UINT8)) return InputType::UInt8;
    if (has_equivalent_type(a, NPY_INT8)) return InputType::Int8;
    if (PyArray_TYPE(a) == NPY_HALF) return InputType::Float16;
    return std::nullopt;
}

bool swapped_half(PyArrayObject* a) { return PyArray_TYPE(a) == NPY_HALF && !PyArray_ISNOTSWAPPED(a); }

template <InputType T>
float small_value(const char* p) {
    if constexpr (T == InputType::UInt8) return static_cast<float>(load<std::uint8_t>(p));
    if constexpr (T == InputType::Int8) return static_cast<float>(load<std::int8_t>(p));
    return half_to_float(load<std::uint16_t>(p));
}

// A two-dimensional array at any strides into rows of floats, element [i, j] (at
// i·s0 + j·s1) read by value_at: the values iterating it would give.
template <class ValueAt>
void append_strided_rows(PyArrayObject* a, RowSet& out, ValueAt value_at) {
    const npy_intp rows = PyArray_DIM(a, 0);
    const npy_intp cols = PyArray_DIM(a, 1);
    const npy_intp s0 = PyArray_STRIDE(a, 0);
    const npy_intp s1 = PyArray_STRIDE(a, 1);
    const char* p = static_cast<const char*>(PyArray_DATA(a));
    out.reserve_rows(static_cast<std::size_t>(rows));
    std::vector<float>& values = out.values();
    values.reserve(static_cast<std::size_t>(rows) * static_cast<std::size_t>(cols));
    for (npy_intp i = 0; i < rows; ++i) {
        for (npy_intp j = 0; j < cols; ++j) values.push_back(value_at(p + i * s0 + j * s1));
        out.close_row();
    }
}

// A small type's values are exact as floats.
template <InputType T>
void append_small_rows(PyArrayObject* a, RowSet& out) {
    append_strided_rows(a, out, small_value<T>);
}

float swapped_half_value(const char* p) {
    const char bytes[2] = {p[1], p[0]};
    return half_to_float(load<std::uint16_t>(bytes));
}

bool is_contiguous(PyArrayObject* a) { return PyArray_IS_C_CONTIGUOUS(a) || PyArray_IS_F_CONTIGUOUS(a); }

void raise_not_contiguous() { PyErr_SetString(PyExc_TypeError, "The given array is not contiguous"); }

bool item_to_float(PyObject* item, float& out) {
    double d;
    if (PyFloat_CheckExact(item)) {
        d = PyFloat_AS_DOUBLE(item);
    } else {
        d = PyFloat_AsDouble(item);
        if (d == -1.0 && PyErr_Occurred()) return false;
    }
    out = static_cast<float>(d);  // round to nearest
    return true;
}

// A native float32 or float64 vector gives the values that iterating its scalars would,
// without one Python object per element.
template <class T>
void append_strided(PyArrayObject* a, std::vector<float>& out) {
    const npy_intp n = PyArray_DIM(a, 0);
    const npy_intp stride = PyArray_STRIDE(a, 0);
    const char* p = static_cast<const char*>(PyArray_DATA(a));
    reserve_more(out, static_cast<std::size_t>(n));
    for (npy_intp i = 0; i < n; ++i) out.push_back(static_cast<float>(load<T>(p + i * stride)));
}

// Appends one generic float sequence to `out`.
bool append_float_sequence(PyObject* obj, std::vector<float>& out) {
    if (!check_not_masked(obj)) return false;
    if (PyArrayObject* a = as_exact_array(obj); a != nullptr && PyArray_NDIM(a) == 1) {
        if (is_float32(a)) {
            append_strided<float>(a, out);
            return true;
        }
        if (has_equivalent_type(a, NPY_FLOAT64)) {
            append_strided<double>(a, out);
            return true;
        }
    }
    if (!check_sequence(obj)) return false;
    std::size_t hint = 0;
    if (!length_hint(obj, hint)) return false;
    reserve_more(out, hint);
    return for_each_item(obj, [&](PyObject* item) {
        float v;
        if (!item_to_float(item, v)) return false;
        out.push_back(v);
        return true;
    });
}

// Native integer vectors without negative entries: the ids that iterating their scalars
// would give. A negative entry leaves the array to the generic path, which reports it.
template <class T>
bool append_int_array(PyArrayObject* a, std::vector<VectorId>& out) {
    const npy_intp n = PyArray_DIM(a, 0);
    const npy_intp stride = PyArray_STRIDE(a, 0);
    const char* p = static_cast<const char*>(PyArray_DATA(a));
    if constexpr (std::is_signed_v<T>) {
        for (npy_intp i = 0; i < n; ++i) {
            if (load<T>(p + i * stride) < 0) return false;
        }
    }
    reserve_more(out, static_cast<std::size_t>(n));
    for (npy_intp i = 0; i < n; ++i) out.push_back(static_cast<VectorId>(load<T>(p + i * stride)));
    return true;
}

bool append_ids_from_array(PyArrayObject* a, std::vector<VectorId>& out) {
    if (PyArray_NDIM(a) != 1 || !PyArray_ISNOTSWAPPED(a)) return false;
    switch (PyArray_TYPE(a)) {
        case NPY_BYTE: return append_int_array<npy_byte>(a, out);
        case NPY_UBYTE: return append_int_array<npy_ubyte>(a, out);
        case NPY_SHORT: return append_int_array<npy_short>(a, out);
        case NPY_USHORT: return append_int_array<npy_ushort>(a, out);
        case NPY_INT: return append_int_array<npy_int>(a, out);
        case NPY_UINT: return append_int_array<npy_uint>(a, out);
        case NPY_LONG: return append_int_array<npy_long>(a, out);
        case NPY_ULONG: return append_int_array<npy_ulong>(a, out);
        case NPY_LONGLONG: return append_int_array<npy_longlong>(a, out);
        case NPY_ULONGLONG: return append_int_array<npy_ulonglong>(a, out);
        default: return false;
    }
}

bool item_to_u64(PyObject* item, std::uint64_t& out) {
    unsigned long long v;
    if (PyLong_CheckExact(item)) {
        v = PyLong_AsUnsignedLongLong(item);
    } else {
        Ref index(PyNumber_Index(item));
        if (!index) return false;
        v = PyLong_AsUnsignedLongLong(index.get());
    }
    if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
    out = v;
    return true;
}

// A value as the byte order of the array holds it.
template <class T, bool Swapped>
T load_ordered(const char* p) {
    if constexpr (!Swapped) {
        return load<T>(p);
    } else {
        char bytes[sizeof(T)];
        std::reverse_copy(p, p + sizeof(T), bytes);
        return load<T>(bytes);
    }
}

// The float32 value of an element as iterating the array gives it: a NumPy scalar turned
// into a Python float (a double), then rounded.
template <class T>
float via_double(T v) {
    return static_cast<float>(static_cast<double>(v));
}
float of_bool(std::uint8_t v) { return v != 0 ? 1.0f : 0.0f; }

template <class T, float (*Value)(T), bool Swapped>
const float* read_row(const void* self, std::size_t i, float* slot) {
    const auto& a = *static_cast<const ArrayRows*>(self);
    const char* p = a.data + static_cast<std::ptrdiff_t>(i) * a.row_stride;
    for (std::uint64_t j = 0; j < a.cols; ++j) {
        slot[j] = Value(load_ordered<T, Swapped>(p + static_cast<std::ptrdiff_t>(j) * a.col_stride));
    }
    return slot;
}

using ReadRow = ReadRows::Convert;

template <class T, float (*Value)(T) = via_double<T>>
ReadRow row_reader(bool swapped) {
    return swapped ? &read_row<T, Value, true> : &read_row<T, Value, false>;
}

// The reader for an array of a numeric type, or none for the types converted otherwise
// (complex, object, dates, texts).
ReadRow row_reader_for(PyArrayObject* a) {
    const bool swapped = !PyArray_ISNOTSWAPPED(a);
    switch (PyArray_TYPE(a)) {
        case NPY_BOOL: return row_reader<std::uint8_t, of_bool>(false);
        case NPY_BYTE: return row_reader<npy_byte>(false);
        case NPY_UBYTE: return row_reader<npy_ubyte>(false);
        case NPY_SHORT: return row_reader<npy_short>(swapped);
        case NPY_USHORT: return row_reader<npy_ushort>(swapped);
        case NPY_INT: return row_reader<npy_int>(swapped);
        case NPY_UINT: return row_reader<npy_uint>(swapped);
        case NPY_LONG: return row_reader<npy_long>(swapped);
        case NPY_ULONG: return row_reader<npy_ulong>(swapped);
        case NPY_LONGLONG: return row_reader<npy_longlong>(swapped);
        case NPY_ULONGLONG: return row_reader<npy_ulonglong>(swapped);
        case NPY_HALF: return row_reader<std::uint16_t, half_to_float>(swapped);
        case NPY_FLOAT: return row_reader<float>(swapped);
        case NPY_DOUBLE: return row_reader<double>(swapped);
        case NPY_LONGDOUBLE: return row_reader<npy_longdouble>(swapped);
        default: return nullptr;
    }
}

bool append_id_list(PyObject* obj, std::vector<VectorId>& out) {
    if (!check_not_masked(obj) || !check_sequence(obj)) return false;
    if (PyArrayObject* a = as_exact_array(obj); a != nullptr && append_ids_from_array(a, out)) return true;
    std::size_t hint = 0;
    if (!length_hint(obj, hint)) return false;
    reserve_more(out, hint);
    return for_each_item(obj, [&](PyObject* item) {
        std::uint64_t id;
        if (!item_to_u64(item, id)) return false;
        out.push_back(id);
        return true;
    });
}

}  // namespace

std::string type_name(PyObject* obj) {
    const char* full = Py_TYPE(obj)->tp_name;
    const char* dot = std::strrchr(full, '.');
    return dot != nullptr ? dot + 1 : full;
}

void raise_cannot_convert(PyObject* obj, const char* target) {
    PyErr_Format(PyExc_TypeError, "'%s' object cannot be converted to '%s'", type_name(obj).c_str(), target);
}

bool to_u64(PyObject* obj, const char* arg, std::uint64_t& out) {
    if (!item_to_u64(obj, out)) {
        prefix_type_error(arg);
        return false;
    }
    return true;
}

bool to_bit_width(PyObject* obj, const char* arg, std::uint8_t& out) {
    Ref index(PyNumber_Index(obj));
    if (!index) {
        prefix_type_error(arg);
        return false;
    }
    int overflow = 0;
    const long v = PyLong_AsLongAndOverflow(index.get(), &overflow);
    if (v == -1 && PyErr_Occurred()) return false;
    if (overflow != 0 || v < 0 || v > 255) {
        PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
        return false;
    }
    out = static_cast<std::uint8_t>(v);
    return true;
}

bool to_double(PyObject* obj, const char* arg, double& out) {
    const double d = PyFloat_AsDouble(obj);
    if (d == -1.0 && PyErr_Occurred()) {
        prefix_type_error(arg);
        return false;
    }
    out = d;
    return true;
}

bool to_lowered_utf8(PyObject* obj, const char* arg, std::string& out) {
    if (!PyUnicode_Check(obj)) {
        PyErr_Format(PyExc_TypeError, "argument '%s': '%s' object cannot be converted to 'str'", arg,
                     type_name(obj).c_str());
        return false;
    }
    // str.lower itself, not an override of a str subclass.
    Ref lowered(PyObject_CallMethod(reinterpret_cast<PyObject*>(&PyUnicode_Type), "lower", "O", obj));
    if (!lowered) return false;
    // Lone surrogates pass through, so that an unknown text is reported as such.
    Ref bytes(PyUnicode_AsEncodedString(lowered.get(), "utf-8", "surrogatepass"));
    if (!bytes) return false;
    out.assign(PyBytes_AS_STRING(bytes.get()), static_cast<std::size_t>(PyBytes_GET_SIZE(bytes.get())));
    return true;
}

bool to_path(PyObject* obj, const char* arg, std::string& out) {
    if (!PyUnicode_Check(obj)) {
        PyErr_Format(PyExc_TypeError, "argument '%s': '%s' object cannot be converted to 'str'", arg,
                     type_name(obj).c_str());
        return false;
    }
    Ref bytes(PyUnicode_AsEncodedString(obj, "utf-8", "surrogateescape"));
    if (!bytes) return false;
    out.assign(PyBytes_AS_STRING(bytes.get()), static_cast<std::size_t>(PyBytes_GET_SIZE(bytes.get())));
    if (out.find('\0') != std::string::npos) {
        PyErr_Format(PyExc_ValueError, "argument '%s': embedded null character", arg);
        return false;
    }
    return true;
}

bool to_id_list(PyObject* obj, const char* arg, std::vector<VectorId>& out) {
    out.clear();
    if (!append_id_list(obj, out)) {
        prefix_type_error(arg);
        return false;
    }
    return true;
}

bool to_query_row(PyObject* obj, std::uint64_t dim, std::vector<float>& out) {
    out.clear();
    if (!check_not_masked(obj)) return false;
    if (PyArrayObject* a = as_array(obj); a != nullptr && PyArray_NDIM(a) == 1 && is_float32(a)) {
        if (!is_contiguous(a)) {
            raise_not_contiguous();
            return false;
        }
        const npy_intp n = PyArray_DIM(a, 0);
        if (static_cast<std::uint64_t>(n) != dim) {
            PyErr_Format(PyExc_ValueError, "query dimension mismatch: expected %llu, got %lld",
                         static_cast<unsigned long long>(dim), static_cast<long long>(n));
            return false;
        }
        out.resize(static_cast<std::size_t>(n));
        if (n > 0) std::memcpy(out.data(), PyArray_DATA(a), out.size() * sizeof(float));
        return true;
    }
    if (!append_float_sequence(obj, out)) return false;
    if (out.size() != dim) {
        PyErr_Format(PyExc_ValueError, "query dimension mismatch: expected %llu, got %zu",
                     static_cast<unsigned long long>(dim), out.size());
        return false;
    }
    return true;
}

bool to_row_set(PyObject* obj, std::uint64_t dim, RowSet& out, RowKind kind) {
    out = RowSet();
    const bool queries = kind == RowKind::Queries;
    if (!check_not_masked(obj)) return false;
    // A matrix read whole: its width is checked once, for every row.
    auto width_fits = [&](PyArrayObject* a) {
        const npy_intp cols = PyArray_DIM(a, 1);
        if (static_cast<std::uint64_t>(cols) == dim) return true;
        PyErr_Format(PyExc_ValueError, queries ? "query dimension mismatch: expected %llu, got %lld"
                                               : "vector dimension mismatch: expected %llu, got %lld",
                     static_cast<unsigned long long>(dim), static_cast<long long>(cols));
        return false;
    };
    if (PyArrayObject* a = as_array(obj); a != nullptr && PyArray_NDIM(a) == 2 && is_float32(a)) {
        if (!width_fits(a)) return false;
        if (!is_contiguous(a)) {
            raise_not_contiguous();
            return false;
        }
        append_strided_rows(a, out, load<float>);  // C or Fortran order alike
        return true;
    }
    if (PyArrayObject* a = as_array(obj); a != nullptr && PyArray_NDIM(a) == 2) {
        if (const auto small = small_input_type(a)) {
            if (!width_fits(a)) return false;
            switch (*small) {
                case InputType::UInt8: append_small_rows<InputType::UInt8>(a, out); break;
                case InputType::Int8: append_small_rows<InputType::Int8>(a, out); break;
                default:
                    if (swapped_half(a)) {
                        append_strided_rows(a, out, swapped_half_value);
                    } else {
                        append_small_rows<InputType::Float16>(a, out);
                    }
                    break;
            }
            return true;
        }
    }
    if (!check_sequence(obj)) return false;
    std::size_t hint = 0;
    if (!length_hint(obj, hint)) return false;
    out.reserve_rows(hint);
    const bool converted = for_each_item(obj, [&](PyObject* item) {
        if (!append_float_sequence(item, out.values())) return false;
        out.close_row();
        return true;
    });
    if (!converted) return false;
    for (std::size_t i = 0; i < out.size(); ++i) {
        const std::size_t len = out.row(i).size();
        if (len != dim) {
            if (queries) {
                PyErr_Format(PyExc_ValueError, "query dimension mismatch: expected %llu, got %zu",
                             static_cast<unsigned long long>(dim), len);
            } else {
                PyErr_Format(PyExc_ValueError, "vector %zu dimension mismatch: expected %llu, got %zu", i,
                             static_cast<unsigned long long>(dim), len);
            }
            return false;
        }
    }
    return true;
}

Streaming stream_rows(PyObject* obj, std::uint64_t dim, ArrayRows& out) {
    out = ArrayRows{};
    if (!check_not_masked(obj)) return Streaming::Failed;
    PyArrayObject* a = as_array(obj);
    if (a == nullptr || PyArray_NDIM(a) != 2) return Streaming::Other;
    const auto take = [&](ReadRow read) {
        out.data = static_cast<const char*>(PyArray_DATA(a));
        out.rows = static_cast<std::uint64_t>(PyArray_DIM(a, 0));
        out.cols = static_cast<std::uint64_t>(PyArray_DIM(a, 1));
        out.row_stride = PyArray_STRIDE(a, 0);
        out.col_stride = PyArray_STRIDE(a, 1);
        out.read = read;
        return Streaming::Streamed;
    };
    // The checks and messages of to_row_set, in its order.
    const npy_intp cols = PyArray_DIM(a, 1);
    const bool fits = static_cast<std::uint64_t>(cols) == dim;
    const auto raise_width = [&] {
        PyErr_Format(PyExc_ValueError, "vector dimension mismatch: expected %llu, got %lld",
                     static_cast<unsigned long long>(dim), static_cast<long long>(cols));
        return Streaming::Failed;
    };
    if (is_float32(a)) {
        if (!fits) return raise_width();
        if (!is_contiguous(a)) {
            raise_not_contiguous();
            return Streaming::Failed;
        }
        return take(row_reader<float>(false));
    }
    if (const auto small = small_input_type(a)) {
        if (!fits) return raise_width();
        switch (*small) {
            case InputType::UInt8: return take(row_reader<npy_ubyte>(false));
            case InputType::Int8: return take(row_reader<npy_byte>(false));
            default: return take(row_reader<std::uint16_t, half_to_float>(swapped_half(a)));
        }
    }
    // Other arrays are sequences of rows there: only a plain ndarray's rows are sure to
    // hold its buffer's values.
    if (!PyArray_CheckExact(obj)) return Streaming::Other;
    const ReadRow read = row_reader_for(a);
    if (read == nullptr) return Streaming::Other;
    if (!fits && PyArray_DIM(a, 0) > 0) {
        PyErr_Format(PyExc_ValueError, "vector %zu dimension mismatch: expected %llu, got %zu", std::size_t{0},
                     static_cast<unsigned long long>(dim), static_cast<std::size_t>(cols));
        return Streaming::Failed;
    }
    return take(read);
}

bool check_query_rows_shape(PyObject* obj, std::uint64_t dim) {
    const auto wanted = static_cast<unsigned long long>(dim);
    if (PyArrayObject* a = as_array(obj); a != nullptr) {
        // (Objects may be rows themselves, and nothing holds no wrong shape.)
        if (PyArray_NDIM(a) == 2 || PyArray_TYPE(a) == NPY_OBJECT || PyArray_SIZE(a) == 0) return true;
        std::string shape = "(";
        for (int i = 0; i < PyArray_NDIM(a); ++i) {
            shape += (i ? ", " : "") + std::to_string(PyArray_DIM(a, i));
        }
        shape += PyArray_NDIM(a) == 1 ? ",)" : ")";
        PyErr_Format(PyExc_TypeError, "queries must be a 2-D array of shape (n, %llu), got an array of shape %s",
                     wanted, shape.c_str());
        return false;
    }
    if (!PySequence_Check(obj) || PyUnicode_Check(obj) || PyBytes_Check(obj) || PySequence_Size(obj) <= 0) {
        PyErr_Clear();
        return true;  // converted, or refused, as rows
    }
    Ref first(PySequence_GetItem(obj, 0));
    if (!first) {
        PyErr_Clear();
        return true;
    }
    if (PyNumber_Check(first.get()) && !PySequence_Check(first.get())) {
        PyErr_Format(PyExc_TypeError,
                     "queries must be rows of length %llu, shape (n, %llu), got one row of numbers: wrap it in a list",
                     wanted, wanted);
        return false;
    }
    return true;
}

InputType input_type_of(PyObject* obj) {
    PyArrayObject* a = as_array(obj);
    if (a == nullptr) return InputType::Float32;
    return small_input_type(a).value_or(InputType::Float32);
}

std::optional<FlatView> flat_view(PyObject* obj) {
    PyArrayObject* a = as_array(obj);
    if (a == nullptr || PyArray_NDIM(a) != 2 || !is_float32(a) || !PyArray_IS_C_CONTIGUOUS(a) ||
        PyArray_DATA(a) == nullptr) {
        return std::nullopt;
    }
    // A masked array is left to the row-set conversion, which refuses it (and reports a
    // failure to tell, met again there).
    if (is_masked_array(obj) != 0) {
        PyErr_Clear();
        return std::nullopt;
    }
    return FlatView{PyArray_DATA(a), static_cast<std::uint64_t>(PyArray_DIM(a, 0)),
                    static_cast<std::uint64_t>(PyArray_DIM(a, 1))};
}

}  // namespace korvane::py
