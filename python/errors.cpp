#include "errors.hpp"

#include <stdexcept>

#include "common/assert.hpp"

namespace zelki::python {

MappedError map_error(ZelkiError error) {
  if (auto* invalid = std::get_if<InvalidParameter>(&error)) {
    return MappedError{PyExc_ValueError, std::move(invalid->message)};
  }
  return MappedError{PyExc_RuntimeError, display(error)};
}

namespace {

// Derived directly from BaseException so that `except Exception` handlers in user code do not
// swallow a fault of the native code. Created once per process and never exported.
PyObject* internal_fault_class() {
  static PyObject* cls = PyErr_NewExceptionWithDoc(
      "zelki._zelki_native.ZelkiInternalFault",
      "A fault of zelki's native code that no input can legitimately cause.", PyExc_BaseException,
      nullptr);
  return cls;
}

}  // namespace

void register_error_translators() {
  internal_fault_class();
  py::register_exception_translator([](std::exception_ptr p) {
    try {
      if (p) std::rethrow_exception(p);
    } catch (const MappedError& e) {
      PyErr_SetString(e.type, e.message.c_str());
    } catch (const InternalFault& e) {
      PyErr_SetString(internal_fault_class(), e.what());
    } catch (const std::logic_error& e) {
      // Out-of-range indices, failed preconditions of the standard library.
      PyErr_SetString(internal_fault_class(), (std::string("internal fault: ") + e.what()).c_str());
    }
  });
}

}  // namespace zelki::python
