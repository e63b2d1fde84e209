// Argument conversion of the entry points: exact dtype and dimension checks, no casting, and
// TypeErrors that name the argument.
#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <cstdint>
#include <optional>
#include <string>

#include "common/eigen.hpp"

namespace zelki::python {

namespace py = pybind11;

std::string to_string_arg(py::handle value, const char* name);
// A float64 array of exactly two dimensions, any strides, copied into a matrix.
Matrix to_matrix_arg(py::handle value, const char* name);
// A float64 array of exactly one dimension, any stride, copied into a vector.
Vector to_vector_arg(py::handle value, const char* name);
std::optional<Vector> to_optional_vector_arg(py::handle value, const char* name);
// Integers through __index__ and the interpreter's unsigned conversion: a negative value raises
// its OverflowError unchanged.
std::uint64_t to_unsigned_arg(py::handle value, const char* name);
std::optional<std::uint64_t> to_optional_unsigned_arg(py::handle value, const char* name);
// Anything float() accepts through __float__ or __index__.
double to_float_arg(py::handle value, const char* name);
std::optional<double> to_optional_float_arg(py::handle value, const char* name);

// New owning float64 arrays.
py::array_t<double> to_numpy(const Vector& v);
py::array_t<double> to_numpy(const Matrix& m);

}  // namespace zelki::python
