#include "arrays.h"

#include "numpy_api.h"

#include <memory>

namespace korvane::py {

namespace {

template <class T>
constexpr const char* capsule_name() {
    if constexpr (std::is_same_v<T, float>) return "korvane.float32_buffer";
    else if constexpr (std::is_same_v<T, std::uint64_t>) return "korvane.uint64_buffer";
    else return "korvane.uint8_buffer";
}

template <class T>
void free_buffer(PyObject* capsule) {
    delete static_cast<std::vector<T>*>(PyCapsule_GetPointer(capsule, capsule_name<T>()));
}

// A writable C-ordered array of `typenum` over the vector's storage; the vector moves
// into a capsule that becomes the array's base and frees it with the array.
template <class T>
PyObject* array_over(std::vector<T>&& values, int typenum, int nd, npy_intp* dims) {
    // An empty vector has no storage, and NumPy would allocate its own for a null
    // pointer; the array must always be backed by the owned buffer.
    if (values.capacity() == 0) values.reserve(1);
    auto owned = std::make_unique<std::vector<T>>(std::move(values));
    void* data = owned->data();
    Ref capsule(PyCapsule_New(owned.get(), capsule_name<T>(), &free_buffer<T>));
    if (!capsule) return nullptr;
    owned.release();  // the capsule frees it from now on
    Ref array(PyArray_New(&PyArray_Type, nd, dims, typenum, nullptr, data, 0, NPY_ARRAY_CARRAY, nullptr));
    if (!array) return nullptr;
    // Steals the capsule reference, on failure too.
    if (PyArray_SetBaseObject(reinterpret_cast<PyArrayObject*>(array.get()), capsule.release()) < 0) return nullptr;
    return array.release();
}

}  // namespace

PyObject* float32_vector(std::vector<float>&& values) {
    npy_intp dims[1] = {static_cast<npy_intp>(values.size())};
    return array_over(std::move(values), NPY_FLOAT32, 1, dims);
}

PyObject* uint64_vector(std::vector<std::uint64_t>&& values) {
    npy_intp dims[1] = {static_cast<npy_intp>(values.size())};
    return array_over(std::move(values), NPY_UINT64, 1, dims);
}

PyObject* float32_matrix(std::vector<float>&& values, std::uint64_t rows, std::uint64_t cols) {
    npy_intp dims[2] = {static_cast<npy_intp>(rows), static_cast<npy_intp>(cols)};
    return array_over(std::move(values), NPY_FLOAT32, 2, dims);
}

PyObject* uint64_matrix(std::vector<std::uint64_t>&& values, std::uint64_t rows, std::uint64_t cols) {
    npy_intp dims[2] = {static_cast<npy_intp>(rows), static_cast<npy_intp>(cols)};
    return array_over(std::move(values), NPY_UINT64, 2, dims);
}

PyObject* uint8_matrix(std::vector<std::uint8_t>&& bytes, std::uint64_t rows, std::uint64_t row_bytes) {
    if (row_bytes == 0 || bytes.size() % row_bytes != 0 || bytes.size() / row_bytes != rows) {
        PyErr_Format(PyExc_RuntimeError, "cannot view %zu bytes as %llu rows of %llu bytes", bytes.size(),
                     static_cast<unsigned long long>(rows), static_cast<unsigned long long>(row_bytes));
        return nullptr;
    }
    npy_intp dims[2] = {static_cast<npy_intp>(rows), static_cast<npy_intp>(row_bytes)};
    return array_over(std::move(bytes), NPY_UINT8, 2, dims);
}

}  // namespace korvane::py
