// The one place where core failures become Python exceptions.
#pragma once

#include <pybind11/pybind11.h>

#include <string>
#include <utility>

#include "common/error.hpp"
#include "common/result.hpp"

namespace zelki::python {

namespace py = pybind11;

// Thrown inside the binding and translated by pybind11 into a ValueError or RuntimeError; the
// Python string is made only when the exception reaches the interpreter.
struct MappedError {
  PyObject* type;
  std::string message;
};

// InvalidParameter -> ValueError with the bare message; the others -> RuntimeError with the
// full display text.
MappedError map_error(ZelkiError error);

// Direct argument checks of the entry points.
[[noreturn]] inline void raise_value_error(std::string message) {
  throw MappedError{PyExc_ValueError, std::move(message)};
}

template <class T>
T unwrap(Result<T> result) {
  if (!result.has_value()) throw map_error(std::move(result).error());
  return std::move(result).value();
}

// Registers the translators: MappedError, and internal faults to the BaseException-derived class.
void register_error_translators();

}  // namespace zelki::python
