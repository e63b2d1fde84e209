#include "fitted_gam_class.hpp"

#include <pybind11/stl.h>

#include <utility>
#include <vector>

#include "convert.hpp"
#include "errors.hpp"
#include "fit/inference.hpp"

namespace zelki::python {

namespace py = pybind11;
using fit::FittedGam;

void add_fitted_gam_class(py::module_& m) {
  py::class_<FittedGam> cls(m, "FittedGam");
  cls.def_property_readonly("beta", [](const FittedGam& g) { return to_numpy(g.beta); })
      .def_property_readonly(
          "rho", [](const FittedGam& g) { return to_numpy(g.rho); },
          "Fitted log smoothing parameters (one per term): a 1-D float64 array of length 1 for "
          "single-smooth fits (Cr / Re / CrStable) and of length T for Additive fits.")
      .def_property_readonly(
          "lambda", [](const FittedGam& g) { return to_numpy(g.lambda); },
          "Fitted smoothing parameters (lambda_j = exp(rho_j)): a 1-D float64 array of length "
          "n_terms.")
      .def_property_readonly(
          "edf_per_term", [](const FittedGam& g) { return to_numpy(g.edf_per_term); },
          "Per-term effective degrees of freedom: a 1-D float64 array whose entries sum to "
          "edf_total - 1 (the intercept excluded).")
      .def_property_readonly("scale", [](const FittedGam& g) { return g.scale; })
      .def_property_readonly("edf_total", [](const FittedGam& g) { return g.edf_total; })
      .def_property_readonly("n", [](const FittedGam& g) { return g.n; })
      .def_property_readonly("n_iters", [](const FittedGam& g) { return g.n_iters; })
      .def_property_readonly("converged", [](const FittedGam& g) { return g.converged; })
      .def_property_readonly("reml_value", [](const FittedGam& g) { return g.reml_value; });

  cls.def(
      "vcov", [](const FittedGam& g) { return to_numpy(g.vcov); },
      "vcov($self)\n--\n\n"
      "Posterior covariance of the coefficients, sigma^2 * A^-1, as a new float64 array of "
      "shape (p, p).");
  cls.def(
      "term_col_ranges",
      [](const FittedGam& g) {
        py::list out;
        for (const auto& [first, last] : fit::term_col_ranges(g)) out.append(py::make_tuple(first, last));
        return out;
      },
      "term_col_ranges($self)\n--\n\n"
      "Half-open column ranges (first, last_exclusive) of the terms in the lpmatrix\n"
      "[1 | C_1 | C_2 | ...]: one per term for an additive fit, [(1, p)] for a single-smooth\n"
      "fit. The intercept, column 0, lies outside every range.");
}

py::object wrap_fitted(FittedGam record) {
  return py::cast(std::move(record), py::return_value_policy::move);
}

}  // namespace zelki::python
