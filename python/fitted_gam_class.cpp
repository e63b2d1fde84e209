#include "fitted_gam_class.hpp"

#include <pybind11/stl.h>

#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "convert.hpp"
#include "errors.hpp"
#include "fit/inference.hpp"
#include "persistence/frame.hpp"

namespace zelki::python {

namespace py = pybind11;
using fit::FittedGam;

void add_fitted_gam_class(py::module_& m) {
  py::class_<FittedGam> cls(m, "FittedGam");
  // A fitted model is a value: no weak references to it (the binding layer reserves a slot for
  // them by default; no instance exists yet, so the layout may still change).
  auto* type = reinterpret_cast<PyTypeObject*>(cls.ptr());
  type->tp_weaklistoffset = 0;
  if (PyDict_DelItemString(type->tp_dict, "__weakref__") != 0) PyErr_Clear();
  PyType_Modified(type);
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

  // Text signatures name the receiver plainly ("self", "cls"): the binding layer hands each method
  // to Python with its own bookkeeping object as __self__, so a "$self" marker would make
  // inspect drop the receiver twice on bound methods.
  cls.def(
      "vcov", [](const FittedGam& g) { return to_numpy(g.vcov); },
      "vcov(self)\n--\n\n"
      "Posterior covariance of the coefficients, sigma^2 * A^-1, as a new float64 array of "
      "shape (p, p).");
  cls.def(
      "term_col_ranges",
      [](const FittedGam& g) {
        py::list out;
        for (const auto& [first, last] : fit::term_col_ranges(g))
          out.append(py::make_tuple(first, last));
        return out;
      },
      "term_col_ranges(self)\n--\n\n"
      "Half-open column ranges (first, last_exclusive) of the terms in the lpmatrix\n"
      "[1 | C_1 | C_2 | ...]: one per term for an additive fit, [(1, p)] for a single-smooth\n"
      "fit. The intercept, column 0, lies outside every range.");
  cls.def(
      "evaluate_lpmatrix",
      [](const FittedGam& g, const py::object& x_new) {
        return to_numpy(unwrap(fit::evaluate_lpmatrix(g, to_matrix_arg(x_new, "x_new"))));
      },
      "evaluate_lpmatrix(self, x_new)\n--\n\n"
      "Rebuild the design (lp) matrix at x_new: shape (n_new, p), column 0 the intercept, for use\n"
      "with the coefficients (X @ beta) or with vcov() (X V X^T).",
      py::arg("x_new"));
  cls.def(
      "predict",
      [](const FittedGam& g, const py::object& x_new) {
        return to_numpy(unwrap(fit::predict(g, to_matrix_arg(x_new, "x_new"))));
      },
      "predict(self, x_new)\n--\n\n"
      "Linear predictor eta at x_new, a 2-D float64 array of shape (n_new, n_input_dims).",
      py::arg("x_new"));
  cls.def(
      "predict_response",
      [](const FittedGam& g, const py::object& x_new) {
        return to_numpy(unwrap(fit::predict_response(g, to_matrix_arg(x_new, "x_new"))));
      },
      "predict_response(self, x_new)\n--\n\n"
      "Mean mu at x_new: eta passed through the inverse link elementwise.",
      py::arg("x_new"));
  cls.def(
      "predict_ci",
      [](const FittedGam& g, const py::object& x_new, const py::object& level,
         const py::object& scale) {
        const Matrix x = to_matrix_arg(x_new, "x_new");
        const double level_value = to_float_arg(level, "level");
        const std::string scale_name = to_string_arg(scale, "scale");
        fit::PredictionScale which = fit::PredictionScale::kResponse;
        if (scale_name == "link") {
          which = fit::PredictionScale::kLink;
        } else if (scale_name != "response") {
          raise_value_error("scale must be 'link' or 'response', got " + scale_name);
        }
        auto interval = unwrap(fit::predict_ci(g, x, level_value, which));
        return py::make_tuple(to_numpy(interval.mean), to_numpy(interval.lo),
                              to_numpy(interval.hi));
      },
      "predict_ci(self, x_new, level=0.95, scale=\"response\")\n--\n\n"
      "Wald intervals (mean, lo, hi) at x_new on the requested scale: \"link\" (eta) or\n"
      "\"response\" (mu, the link-scale interval mapped through the inverse link).",
      py::arg("x_new"), py::arg("level") = 0.95, py::arg("scale") = "response");
  cls.def(
      "serialize", [](const FittedGam& g) { return py::bytes(persistence::serialize(g)); },
      "serialize(self)\n--\n\n"
      "The model as a length-framed buffer (magic, format version, body length, JSON body) that\n"
      "deserialize turns back into an identical model, bit for bit: predictions after a reload\n"
      "are identical.");
  // A class method: pybind11 has no helper for one, so the function is wrapped by hand.
  cls.attr("deserialize") = py::reinterpret_steal<py::object>(PyClassMethod_New(
      py::cpp_function(
          [](const py::object&, const py::handle& frame) {
            if (!PyBytes_Check(frame.ptr())) {
              throw py::type_error(
                  "argument 'bytes': expected bytes, got " +
                  py::str(py::type::handle_of(frame).attr("__name__")).cast<std::string>());
            }
            char* data = nullptr;
            Py_ssize_t size = 0;
            if (PyBytes_AsStringAndSize(frame.ptr(), &data, &size) != 0)
              throw py::error_already_set();
            return wrap_fitted(unwrap(
                persistence::deserialize(std::string_view(data, static_cast<std::size_t>(size)))));
          },
          py::name("deserialize"), py::arg("cls"), py::arg("bytes"),
          "deserialize(cls, bytes)\n--\n\n"
          "Rebuild a FittedGam from the bytes of serialize. Raises ValueError on a bad magic,\n"
          "version, truncated body or unparseable JSON.")
          .release()
          .ptr()));
  cls.def(
      "__reduce__",
      [](const FittedGam& g) {
        py::object deserialize = py::type::of<FittedGam>().attr("deserialize");
        return py::make_tuple(deserialize, py::make_tuple(py::bytes(persistence::serialize(g))));
      },
      "__reduce__(self)\n--\n\n"
      "pickle.dumps and pickle.loads work through serialize and deserialize: the result is the\n"
      "pair (FittedGam.deserialize, (frame,)), so a pickle carries the same compact binary frame.");
  cls.def(
      "predict_diff",
      [](const FittedGam& g, const py::object& x_a, const py::object& x_b,
         const py::object& level) {
        const Matrix a = to_matrix_arg(x_a, "x_a");
        const Matrix b = to_matrix_arg(x_b, "x_b");
        const double level_value = to_float_arg(level, "level");
        auto interval = unwrap(fit::predict_diff(g, a, b, level_value));
        return py::make_tuple(to_numpy(interval.mean), to_numpy(interval.lo),
                              to_numpy(interval.hi));
      },
      "predict_diff(self, x_a, x_b, level=0.95)\n--\n\n"
      "Wald interval (diff, lo, hi) for predict(x_a) - predict(x_b) on the eta scale; a side\n"
      "with a single row is broadcast against every row of the other.",
      py::arg("x_a"), py::arg("x_b"), py::arg("level") = 0.95);
}

py::object wrap_fitted(FittedGam record) {
  return py::cast(std::move(record), py::return_value_policy::move);
}

}  // namespace zelki::python
