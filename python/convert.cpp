#include "convert.hpp"

#include <cstring>

namespace zelki::python {

namespace {

[[noreturn]] void raise_type_error(const char* name, const std::string& detail) {
  throw py::type_error("argument '" + std::string(name) + "': " + detail);
}

std::string type_name(py::handle value) {
  return py::str(py::type::handle_of(value).attr("__name__")).cast<std::string>();
}

// The array behind an argument, checked for dtype float64 and the number of dimensions.
py::array checked_array(py::handle value, const char* name, int ndim) {
  const std::string expected =
      "expected a " + std::to_string(ndim) + "-dimensional numpy.ndarray of dtype float64";
  if (!py::isinstance<py::array>(value))
    raise_type_error(name, expected + ", got " + type_name(value));
  auto array = py::reinterpret_borrow<py::array>(value);
  if (!array.dtype().is(py::dtype::of<double>()) || array.ndim() != ndim) {
    raise_type_error(name, expected + ", got a " + std::to_string(array.ndim()) +
                               "-dimensional array of dtype " +
                               py::str(array.dtype()).cast<std::string>());
  }
  return array;
}

// Reads element (i, j) of a strided array; strides may be negative or unaligned.
double read_element(const char* base, py::ssize_t offset) {
  double v;
  std::memcpy(&v, base + offset, sizeof v);
  return v;
}

// Rethrows the pending Python conversion error as a TypeError naming the argument.
[[noreturn]] void rethrow_as_type_error(const char* name) {
  py::error_already_set error;
  raise_type_error(name, py::str(error.value()).cast<std::string>());
}

}  // namespace

std::string to_string_arg(py::handle value, const char* name) {
  if (!py::isinstance<py::str>(value))
    raise_type_error(name, "expected str, got " + type_name(value));
  return value.cast<std::string>();
}

Matrix to_matrix_arg(py::handle value, const char* name) {
  const py::array array = checked_array(value, name, 2);
  const py::ssize_t rows = array.shape(0);
  const py::ssize_t cols = array.shape(1);
  const py::ssize_t row_stride = array.strides(0);
  const py::ssize_t col_stride = array.strides(1);
  const auto* base = static_cast<const char*>(array.data());
  Matrix out(rows, cols);
  for (py::ssize_t j = 0; j < cols; ++j) {
    for (py::ssize_t i = 0; i < rows; ++i)
      out(i, j) = read_element(base, i * row_stride + j * col_stride);
  }
  return out;
}

Vector to_vector_arg(py::handle value, const char* name) {
  const py::array array = checked_array(value, name, 1);
  const py::ssize_t n = array.shape(0);
  const py::ssize_t stride = array.strides(0);
  const auto* base = static_cast<const char*>(array.data());
  Vector out(n);
  for (py::ssize_t i = 0; i < n; ++i) out[i] = read_element(base, i * stride);
  return out;
}

std::optional<Vector> to_optional_vector_arg(py::handle value, const char* name) {
  if (value.is_none()) return std::nullopt;
  return to_vector_arg(value, name);
}

std::uint64_t to_unsigned_arg(py::handle value, const char* name) {
  PyObject* index = PyNumber_Index(value.ptr());
  if (index == nullptr) rethrow_as_type_error(name);
  const unsigned long long result = PyLong_AsUnsignedLongLong(index);
  Py_DECREF(index);
  if (result == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
    throw py::error_already_set();  // OverflowError, unchanged
  }
  return result;
}

std::optional<std::uint64_t> to_optional_unsigned_arg(py::handle value, const char* name) {
  if (value.is_none()) return std::nullopt;
  return to_unsigned_arg(value, name);
}

double to_float_arg(py::handle value, const char* name) {
  const double result = PyFloat_AsDouble(value.ptr());
  if (result == -1.0 && PyErr_Occurred()) rethrow_as_type_error(name);
  return result;
}

std::optional<double> to_optional_float_arg(py::handle value, const char* name) {
  if (value.is_none()) return std::nullopt;
  return to_float_arg(value, name);
}

py::array_t<double> to_numpy(const Vector& v) {
  py::array_t<double> out(v.size());
  if (v.size() > 0) std::memcpy(out.mutable_data(), v.data(), sizeof(double) * v.size());
  return out;
}

py::array_t<double> to_numpy(const Matrix& m) {
  // Row-major (C-contiguous) copy of a column-major matrix.
  py::array_t<double> out({m.rows(), m.cols()});
  Eigen::Map<Eigen::Matrix<double, Eigen::Dynamic, Eigen::Dynamic, Eigen::RowMajor>>(
      out.mutable_data(), m.rows(), m.cols()) = m;
  return out;
}

}  // namespace zelki::python
