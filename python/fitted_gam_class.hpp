// The Python class FittedGam around a fitted record.
#pragma once

#include <pybind11/pybind11.h>

#include "fit/fitted_gam.hpp"

namespace zelki::python {

void add_fitted_gam_class(pybind11::module_& m);

// Moves a record into a new FittedGam instance.
pybind11::object wrap_fitted(fit::FittedGam record);

}  // namespace zelki::python
