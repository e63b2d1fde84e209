// Initialisation of the extension module: single-phase, one module object per process, refused
// in a second interpreter.
#include <pybind11/pybind11.h>

#include <atomic>
#include <cstdint>

#include "entries.hpp"
#include "errors.hpp"

namespace py = pybind11;

namespace {

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "_zelki_native", "", -1, nullptr, nullptr, nullptr, nullptr, nullptr};

constexpr std::int64_t kNoInterpreter = -1;
std::atomic<std::int64_t> recorded_interpreter{kNoInterpreter};
PyObject* cached_module = nullptr;

// Adds a name to the module and appends it to __all__ (created on the first addition).
void add_export(py::module_& m, const char* name) {
  if (!py::hasattr(m, "__all__")) m.attr("__all__") = py::list();
  m.attr("__all__").cast<py::list>().append(name);
}

void init_body(py::module_& m) {
  zelki::python::register_error_translators();
  zelki::python::add_exports(m, add_export);
}

}  // namespace

extern "C" PYBIND11_EXPORT PyObject* PyInit__zelki_native() {
  const std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (id == -1) {
    if (!PyErr_Occurred()) {
      PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
    }
    return nullptr;
  }
  std::int64_t expected = kNoInterpreter;
  if (!recorded_interpreter.compare_exchange_strong(expected, id) && expected != id) {
    PyErr_SetString(PyExc_ImportError,
                    "zelki._zelki_native does not support loading in sub-interpreters");
    return nullptr;
  }
  // Initialisation runs with the interpreter lock held, so a second import waits for the first.
  if (cached_module != nullptr) {
    Py_INCREF(cached_module);
    return cached_module;
  }
  PyObject* raw = PyModule_Create(&module_def);
  if (raw == nullptr) return nullptr;
  try {
    auto m = py::reinterpret_borrow<py::module_>(raw);
    init_body(m);
  } catch (py::error_already_set& e) {
    e.restore();
    Py_DECREF(raw);
    return nullptr;
  } catch (const std::exception& e) {
    PyErr_SetString(PyExc_ImportError, e.what());
    Py_DECREF(raw);
    return nullptr;
  }
  Py_INCREF(raw);
  cached_module = raw;
  return raw;
}
