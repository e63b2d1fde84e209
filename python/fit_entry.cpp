// fit(): the only string-keyed entry into the typed core for single-smooth models.
#include <optional>
#include <string>

#include "common/format.hpp"
#include "convert.hpp"
#include "entries.hpp"
#include "errors.hpp"
#include "fit/ordered_categorical.hpp"
#include "fit/quantile.hpp"
#include "fit/single_smooth.hpp"
#include "fitted_gam_class.hpp"

namespace zelki::python {

namespace {

constexpr const char* kFitDoc =
    "fit(family_name, x, y, weights=None, k=10, design=\"cr\", theta=None, nu=None, sigma2=None, "
    "tweedie_p=None, tweedie_phi=None, r=None, tau=None, elf_sigma=None, elf_lambda=None)\n"
    "--\n\n"
    "Fit one smooth of column 0 of x (plus an intercept) with smoothing chosen by REML/LAML.\n\n"
    "This is the only string-keyed entry into the typed core. Family names and the typed family\n"
    "each yields (defaults in brackets):\n"
    "  \"gaussian\" -> gaussian_identity()\n"
    "  \"bernoulli\", \"binomial\" -> bernoulli_logit()\n"
    "  \"poisson\" -> poisson_log()\n"
    "  \"quasipoisson\" -> quasipoisson_log()\n"
    "  \"quasibinomial\" -> quasibinomial_logit()\n"
    "  \"gamma\" -> gamma_log()\n"
    "  \"inverse_gaussian\", \"inverse.gaussian\" -> inverse_gaussian_log()\n"
    "  \"negbin\", \"nb\" -> negbin_log(theta [2.0]), theta > 0\n"
    "  \"tdist\", \"scat\" -> tdist_identity(nu [5.0], sigma2 [1.0])\n"
    "  \"tweedie\", \"tw\" -> tweedie_log(tweedie_p [1.5], tweedie_phi [1.0]), 1 < p < 2\n"
    "  \"ocat\" -> ocat_identity(n_cats = r), r required, r >= 3\n"
    "  \"elf\", \"quantile\" -> elf_identity(tau [0.5], elf_sigma [0.0], elf_lambda [0.0]),\n"
    "      0 < tau < 1; a sigma or lambda of 0 is tuned automatically from a warm start\n\n"
    "Designs: \"cr\" (default; cubic regression spline with k knots), \"cr_stable\" (the same\n"
    "smooth, reparameterised for numerical stability) and \"re\" (random effect; ignores k).\n"
    "Returns a FittedGam.";

// The typed family of a name, with its defaults and the checks that need no data.
struct ParsedFamily {
  enum class Route { kSingleSmooth, kOcat, kQuantile } route = Route::kSingleSmooth;
  std::optional<fit::SingleSmoothFamily> single;
  std::uint64_t n_cats = 0;
  fit::QuantileRequest quantile;
};

struct FamilyArgs {
  std::optional<double> theta, nu, sigma2, tweedie_p, tweedie_phi, tau, elf_sigma, elf_lambda;
  std::optional<std::uint64_t> r;
};

ParsedFamily parse_family(const std::string& name, const FamilyArgs& a) {
  ParsedFamily out;
  if (name == "gaussian") {
    out.single = family::gaussian_identity();
  } else if (name == "bernoulli" || name == "binomial") {
    out.single = family::bernoulli_logit();
  } else if (name == "poisson") {
    out.single = family::poisson_log();
  } else if (name == "quasipoisson") {
    out.single = family::quasipoisson_log();
  } else if (name == "quasibinomial") {
    out.single = family::quasibinomial_logit();
  } else if (name == "gamma") {
    out.single = family::gamma_log();
  } else if (name == "inverse_gaussian" || name == "inverse.gaussian") {
    out.single = family::inverse_gaussian_log();
  } else if (name == "negbin" || name == "nb") {
    const double theta = a.theta.value_or(2.0);
    if (theta <= 0.0)
      raise_value_error("negbin theta must be > 0; got theta=" + format_number(theta));
    out.single = family::negbin_log(theta);
  } else if (name == "tdist" || name == "scat") {
    out.single = family::tdist_identity(a.nu.value_or(5.0), a.sigma2.value_or(1.0));
  } else if (name == "tweedie" || name == "tw") {
    const double p = a.tweedie_p.value_or(1.5);
    const double phi = a.tweedie_phi.value_or(1.0);
    if (!(p > 1.0 && p < 2.0)) {
      raise_value_error("tweedie p must be in (1, 2); got tweedie_p=" + format_number(p));
    }
    out.single = family::tweedie_log(p, phi);
  } else if (name == "ocat") {
    if (!a.r)
      raise_value_error("family='ocat' requires r=K (number of ordered categories, K >= 3)");
    if (*a.r < 3) raise_value_error("ocat requires r >= 3, got r=" + std::to_string(*a.r));
    out.route = ParsedFamily::Route::kOcat;
    out.n_cats = *a.r;
  } else if (name == "elf" || name == "quantile") {
    const double tau = a.tau.value_or(0.5);
    if (!(tau > 0.0 && tau < 1.0)) {
      raise_value_error("elf/quantile tau must be in (0, 1); got tau=" + format_number(tau));
    }
    out.route = ParsedFamily::Route::kQuantile;
    out.quantile.tau = tau;
    out.quantile.sigma = a.elf_sigma.value_or(0.0);
    out.quantile.lambda = a.elf_lambda.value_or(0.0);
  } else {
    raise_value_error("unknown family " + name +
                      "; supported: gaussian, bernoulli, poisson, quasipoisson, quasibinomial, "
                      "gamma, inverse_gaussian, negbin, tdist, tweedie, ocat, elf");
  }
  return out;
}

fit::DesignKind parse_design(const std::string& name) {
  if (name == "cr") return fit::DesignKind::kCr;
  if (name == "re") return fit::DesignKind::kRe;
  if (name == "cr_stable") return fit::DesignKind::kCrStable;
  raise_value_error("design must be 'cr', 're', or 'cr_stable'; got " + name);
}

py::object fit_entry(const py::object& family_name, const py::object& x, const py::object& y,
                     const py::object& weights, const py::object& k, const py::object& design,
                     const py::object& theta, const py::object& nu, const py::object& sigma2,
                     const py::object& tweedie_p, const py::object& tweedie_phi,
                     const py::object& r, const py::object& tau, const py::object& elf_sigma,
                     const py::object& elf_lambda) {
  const std::string name = to_string_arg(family_name, "family_name");
  const Matrix x_m = to_matrix_arg(x, "x");
  const Vector y_v = to_vector_arg(y, "y");
  const std::optional<Vector> w = to_optional_vector_arg(weights, "weights");
  const std::uint64_t k_value = to_unsigned_arg(k, "k");
  const std::string design_name = to_string_arg(design, "design");
  FamilyArgs args;
  args.theta = to_optional_float_arg(theta, "theta");
  args.nu = to_optional_float_arg(nu, "nu");
  args.sigma2 = to_optional_float_arg(sigma2, "sigma2");
  args.tweedie_p = to_optional_float_arg(tweedie_p, "tweedie_p");
  args.tweedie_phi = to_optional_float_arg(tweedie_phi, "tweedie_phi");
  args.r = to_optional_unsigned_arg(r, "r");
  args.tau = to_optional_float_arg(tau, "tau");
  args.elf_sigma = to_optional_float_arg(elf_sigma, "elf_sigma");
  args.elf_lambda = to_optional_float_arg(elf_lambda, "elf_lambda");

  ParsedFamily parsed = parse_family(name, args);
  switch (parsed.route) {
    case ParsedFamily::Route::kOcat: {
      fit::OcatRequest request{parsed.n_cats, design_name, k_value};
      return wrap_fitted(unwrap(fit::fit_ordered_categorical(request, x_m, y_v, w)));
    }
    case ParsedFamily::Route::kQuantile: {
      parsed.quantile.design = parse_design(design_name);
      parsed.quantile.k = k_value;
      return wrap_fitted(unwrap(fit::fit_quantile(parsed.quantile, x_m, y_v, w)));
    }
    case ParsedFamily::Route::kSingleSmooth:
      break;
  }
  fit::SingleSmoothRequest request{*parsed.single, parse_design(design_name), k_value};
  return wrap_fitted(unwrap(fit::fit_single_smooth(request, x_m, y_v, w)));
}

}  // namespace

void add_fit(py::module_& m) {
  m.def("fit", &fit_entry, kFitDoc, py::arg("family_name"), py::arg("x"), py::arg("y"),
        py::arg("weights") = py::none(), py::arg("k") = 10, py::arg("design") = "cr",
        py::arg("theta") = py::none(), py::arg("nu") = py::none(), py::arg("sigma2") = py::none(),
        py::arg("tweedie_p") = py::none(), py::arg("tweedie_phi") = py::none(),
        py::arg("r") = py::none(), py::arg("tau") = py::none(), py::arg("elf_sigma") = py::none(),
        py::arg("elf_lambda") = py::none());
}

}  // namespace zelki::python
