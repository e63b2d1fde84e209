#include "entries.hpp"

#include "fitted_gam_class.hpp"

namespace zelki::python {

void add_fit(pybind11::module_& m);
void add_fit_additive(pybind11::module_& m);

void add_exports(pybind11::module_& m, AddExport add_export) {
  // Text signatures come from the first line of each docstring.
  pybind11::options options;
  options.disable_function_signatures();
  add_fitted_gam_class(m);
  add_export(m, "FittedGam");
  add_fit(m);
  add_export(m, "fit");
  add_fit_additive(m);
  add_export(m, "fit_additive");
}

}  // namespace zelki::python
