// The exported names of the module, added in their fixed order.
#pragma once

#include <pybind11/pybind11.h>

namespace zelki::python {

using AddExport = void (*)(pybind11::module_&, const char*);

// Adds FittedGam, fit and fit_additive (as far as they exist) in that order.
void add_exports(pybind11::module_& m, AddExport add_export);

}  // namespace zelki::python
