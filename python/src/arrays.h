// NumPy arrays handed to Python: each is created over a buffer that the binding filled,
// owned by a capsule set as the array's base, so the values are copied once.
#pragma once

#include "pyref.h"

#include <cstdint>
#include <span>
#include <vector>

namespace korvane::py {

PyObject* float32_vector(std::vector<float>&& values);
PyObject* uint64_vector(std::vector<std::uint64_t>&& values);
// `values` holds rows × cols entries, row after row.
PyObject* float32_matrix(std::vector<float>&& values, std::uint64_t rows, std::uint64_t cols);
PyObject* uint64_matrix(std::vector<std::uint64_t>&& values, std::uint64_t rows, std::uint64_t cols);
// `bytes` holds `rows` rows of `row_bytes` bytes; anything else raises RuntimeError.
PyObject* uint8_matrix(std::vector<std::uint8_t>&& bytes, std::uint64_t rows, std::uint64_t row_bytes);

template <class T>
std::vector<T> copy_of(std::span<const T> values) {
    return std::vector<T>(values.begin(), values.end());
}

}  // namespace korvane::py
