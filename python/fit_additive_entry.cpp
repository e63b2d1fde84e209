// fit_additive(): the term list and family name of an additive model become typed values here;
// the core sees only TermSpec and the typed family.
#include <cstdint>
#include <optional>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "convert.hpp"
#include "design/additive.hpp"
#include "entries.hpp"
#include "errors.hpp"
#include "family/family.hpp"
#include "fit/additive_fit.hpp"
#include "fitted_gam_class.hpp"

namespace zelki::python {

namespace {

constexpr const char* kFitAdditiveDoc =
    "fit_additive(family_name, x, y, terms, weights=None)\n"
    "--\n\n"
    "Fit an additive model y ~ s(x[:, c0]) + s(x[:, c1]) + ... with one smoothing parameter per\n"
    "penalty, chosen by REML/LAML.\n\n"
    "terms is a list of (col, basis_name, k) tuples, one per smoothing term, with basis_name one\n"
    "of \"cr\", \"cr_stable\" or \"re\" (k defaults to 10 and is ignored for \"re\"), or\n"
    "((col_a, col_b), \"te\", (k_a, k_b)) for a tensor-product smooth of two columns. Strings\n"
    "exist only at this boundary: the typed TermSpec enumeration is what the core receives.\n\n"
    "Accepted family names are those of fit() minus the families that require a single smooth\n"
    "(tdist, scat, negbin, tweedie, ocat, elf, quantile), which fail with a message directing\n"
    "you back to zelki.fit(...).\n"
    "Returns a FittedGam whose term_col_ranges() index the blocks of each term.";

// The interpreter's unsigned conversion (through __index__), its TypeError or OverflowError
// passed on unchanged.
std::uint64_t to_unsigned(py::handle value) {
  PyObject* index = PyNumber_Index(value.ptr());
  if (index == nullptr) throw py::error_already_set();
  const unsigned long long result = PyLong_AsUnsignedLongLong(index);
  Py_DECREF(index);
  if (result == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
    throw py::error_already_set();
  }
  return result;
}

// The same, with any failure replaced by the caller's message.
std::optional<std::uint64_t> try_unsigned(py::handle value) {
  try {
    return to_unsigned(value);
  } catch (py::error_already_set&) {
    return std::nullopt;
  }
}

// A (first, second) pair of unsigned integers from a tuple already known to have two elements.
std::pair<std::uint64_t, std::uint64_t> unsigned_pair(const py::tuple& pair) {
  const std::uint64_t first = to_unsigned(pair[0]);
  const std::uint64_t second = to_unsigned(pair[1]);
  return {first, second};
}

design::TermSpec parse_tensor_term(const py::tuple& item, const std::string& i) {
  const py::object cols = item[0];
  if (!py::isinstance<py::tuple>(cols)) {
    raise_value_error("fit_additive: tensor term " + i +
                      " first element must be a (col_a, col_b) tuple");
  }
  const auto cols_tuple = py::reinterpret_borrow<py::tuple>(cols);
  if (cols_tuple.size() != 2) {
    raise_value_error("fit_additive: tensor term " + i +
                      " cols tuple must have exactly 2 elements");
  }
  design::TensorTermSpec term_spec;
  std::tie(term_spec.col_a, term_spec.col_b) = unsigned_pair(cols_tuple);
  if (item.size() >= 3) {
    const py::object ks = item[2];
    if (!py::isinstance<py::tuple>(ks)) {
      raise_value_error("fit_additive: tensor term " + i + " k must be a (k_a, k_b) tuple");
    }
    const auto ks_tuple = py::reinterpret_borrow<py::tuple>(ks);
    if (ks_tuple.size() != 2) {
      raise_value_error("fit_additive: tensor term " + i + " k tuple must have exactly 2 elements");
    }
    std::tie(term_spec.k_a, term_spec.k_b) = unsigned_pair(ks_tuple);
  }
  return term_spec;
}

design::TermSpec parse_univariate_term(const py::tuple& item, const std::string& i,
                                       const std::string& basis) {
  const std::optional<std::uint64_t> column = try_unsigned(item[0]);
  if (!column) {
    raise_value_error("fit_additive: univariate term " + i +
                      " first element must be an integer column index");
  }
  const auto k = [&item]() -> std::uint64_t {
    return item.size() >= 3 ? to_unsigned(item[2]) : 10;
  };
  if (basis == "cr_stable") return design::CrStableTermSpec{*column, k()};
  if (basis == "cr") return design::CrTermSpec{*column, k()};
  // The third element of a random-effect term is not examined.
  if (basis == "re") return design::ReTermSpec{*column};
  raise_value_error("fit_additive: term " + i +
                    " basis must be 'cr', 'cr_stable', 're', or 'te'; got " + basis);
}

// The list is walked by index against its current length, so a list that shrinks while its
// items are converted (an item's __index__ may run Python code) is never read past its end.
std::vector<design::TermSpec> parse_terms(const py::list& terms) {
  std::vector<design::TermSpec> out;
  const std::size_t initial_length = terms.size();
  for (std::size_t index = 0; index < initial_length && index < terms.size(); ++index) {
    const std::string i = std::to_string(index);
    const py::object item = terms[index];
    if (!py::isinstance<py::tuple>(item)) {
      raise_value_error("fit_additive: term " + i + " must be a tuple; got " +
                        py::repr(item).cast<std::string>());
    }
    const auto tuple = py::reinterpret_borrow<py::tuple>(item);
    if (tuple.size() < 2) {
      raise_value_error("fit_additive: term " + i + " tuple must have at least 2 elements");
    }
    const py::object basis_name = tuple[1];
    if (!py::isinstance<py::str>(basis_name)) {
      throw py::type_error("fit_additive: cannot cast " +
                           py::repr(py::type::handle_of(basis_name)).cast<std::string>() +
                           " to str");
    }
    const auto basis = basis_name.cast<std::string>();
    out.push_back(basis == "te" ? parse_tensor_term(tuple, i)
                                : parse_univariate_term(tuple, i, basis));
  }
  if (out.empty()) raise_value_error("fit_additive: terms list must be non-empty");
  return out;
}

family::ExponentialFamily parse_additive_family(const std::string& name) {
  if (name == "gaussian") return family::gaussian_identity();
  if (name == "bernoulli" || name == "binomial") return family::bernoulli_logit();
  if (name == "poisson") return family::poisson_log();
  if (name == "quasipoisson") return family::quasipoisson_log();
  if (name == "quasibinomial") return family::quasibinomial_logit();
  if (name == "gamma") return family::gamma_log();
  if (name == "inverse_gaussian" || name == "inverse.gaussian") {
    return family::inverse_gaussian_log();
  }
  raise_value_error("fit_additive: family " + name +
                    " is shape-managed and restricted to single-smooth in 94b; use "
                    "zelki.fit(family=" +
                    name +
                    ", \u2026) or wait for multi-smooth shape-aware support. Supported additive "
                    "families: gaussian, bernoulli/binomial, poisson, quasipoisson, "
                    "quasibinomial, gamma, inverse_gaussian");
}

py::list to_list_arg(py::handle value, const char* name) {
  if (!py::isinstance<py::list>(value)) {
    throw py::type_error("argument '" + std::string(name) + "': expected list, got " +
                         py::str(py::type::handle_of(value).attr("__name__")).cast<std::string>());
  }
  return py::reinterpret_borrow<py::list>(value);
}

py::object fit_additive_entry(const py::object& family_name, const py::object& x,
                              const py::object& y, const py::object& terms,
                              const py::object& weights) {
  const std::string name = to_string_arg(family_name, "family_name");
  const Matrix x_m = to_matrix_arg(x, "x");
  const Vector y_v = to_vector_arg(y, "y");
  const py::list term_list = to_list_arg(terms, "terms");
  const std::optional<Vector> w = to_optional_vector_arg(weights, "weights");

  // Terms before the family: a bad term is reported before a bad family name.
  const std::vector<design::TermSpec> specs = parse_terms(term_list);
  const family::ExponentialFamily family = parse_additive_family(name);
  return wrap_fitted(unwrap(fit::fit_additive(family, specs, x_m, y_v, w)));
}

}  // namespace

void add_fit_additive(py::module_& m) {
  m.def("fit_additive", &fit_additive_entry, kFitAdditiveDoc, py::arg("family_name"), py::arg("x"),
        py::arg("y"), py::arg("terms"), py::arg("weights") = py::none());
}

}  // namespace zelki::python
