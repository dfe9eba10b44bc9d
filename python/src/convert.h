// Conversion of Python arguments: scalars, texts, id lists, query rows, row sets and the
// in-place view of a float32 matrix. Every function returns false with a Python
// exception set when the argument cannot be taken; std::bad_alloc may escape to the
// caller's guard.
#pragma once

#include "pyref.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "base/types.h"
#include "base/rows.h"
#include "index/kept.h"

namespace korvane::py {

// The type's short name, as the interpreter prints it in its own messages.
std::string type_name(PyObject* obj);
// TypeError "'<type>' object cannot be converted to '<target>'".
void raise_cannot_convert(PyObject* obj, const char* target);

// An int or an object with __index__, as an unsigned 64-bit value. A TypeError is
// prefixed with the argument's name; an OverflowError keeps the interpreter's text.
bool to_u64(PyObject* obj, const char* arg, std::uint64_t& out);
// Same, for the 0..255 range of the bit width.
bool to_bit_width(PyObject* obj, const char* arg, std::uint8_t& out);
// Anything the interpreter's float conversion accepts.
bool to_double(PyObject* obj, const char* arg, double& out);
// A str, lowercased with str.lower (full Unicode mapping), as UTF-8.
bool to_lowered_utf8(PyObject* obj, const char* arg, std::string& out);

// The conversions below refuse numpy masked arrays with a TypeError, as an argument and as
// a row inside a sequence of rows.

// A str as the bytes of a file path: UTF-8, with lone surrogates standing for the bytes
// they escape (as os.fsdecode makes them). Any other type is a TypeError naming `arg`.
bool to_path(PyObject* obj, const char* arg, std::string& out);

// A sequence of ints; every TypeError is prefixed with the argument's name.
bool to_id_list(PyObject* obj, const char* arg, std::vector<VectorId>& out);
// One float row of exactly `dim` values.
bool to_query_row(PyObject* obj, std::uint64_t dim, std::vector<float>& out);
// Rows of exactly `dim` values each.
// Queries get the query messages ("query dimension mismatch: ...") instead of the vector
// ones.
enum class RowKind { Vectors, Queries };
bool to_row_set(PyObject* obj, std::uint64_t dim, RowSet& out, RowKind kind = RowKind::Vectors);

// A two-dimensional NumPy array of numbers read a row at a time as an add encodes it, in
// any layout, byte order or numeric type: each value exactly as converting the whole array
// gives it. Reading takes no interpreter lock; whoever reads keeps a reference to the array.
struct ArrayRows {
    const char* data = nullptr;
    std::uint64_t rows = 0;
    std::uint64_t cols = 0;
    std::ptrdiff_t row_stride = 0;
    std::ptrdiff_t col_stride = 0;
    ReadRows::Convert read = nullptr;

    // Refers to this object, which must outlive the add.
    ReadRows source() const {
        return ReadRows(read, this, static_cast<std::size_t>(rows), static_cast<std::size_t>(cols));
    }
};
// Streamed: `out` reads the rows of exactly `dim` values; Other: not such an array (to_row_set
// converts it whole); Failed: refused, with the exception to_row_set would raise.
enum class Streaming { Streamed, Other, Failed };
Streaming stream_rows(PyObject* obj, std::uint64_t dim, ArrayRows& out);

// Raises TypeError, naming the shape wanted, for queries that cannot be rows of `dim`: a
// numeric array, not empty, that is not two-dimensional, or a sequence of numbers (one row
// given alone).
bool check_query_rows_shape(PyObject* obj, std::uint64_t dim);

// The type an add's rows arrived in: uint8, int8 or float16 for a NumPy array of that
// type (in either byte order), float32 for anything else.
InputType input_type_of(PyObject* obj);

// A C-contiguous two-dimensional native float32 array (a numpy.memmap included, a masked
// array never), read where it lies. `data` need not be aligned for float.
struct FlatView {
    const void* data;
    std::uint64_t rows;
    std::uint64_t cols;
};
std::optional<FlatView> flat_view(PyObject* obj);

}  // namespace korvane::py
