#include "fit/shape_aware_fit.hpp"

#include <cmath>
#include <string>
#include <type_traits>

#include "common/format.hpp"
#include "family/negbin.hpp"
#include "family/tdist.hpp"
#include "family/tweedie.hpp"
#include "fit/data_checks.hpp"
#include "outer/final_quantities.hpp"
#include "outer/newton.hpp"
#include "score/shape_aware.hpp"
#include "score/shape_aware_families.hpp"

namespace zelki::fit {

namespace {

using family::NegbinLog;
using family::TdistIdentity;
using family::TweedieLog;

// Inner-fit settings of every outer fit.
constexpr std::size_t kInnerMaxIter = 50;
constexpr double kInnerTol = 1e-9;

bool positive_finite(double v) { return std::isfinite(v) && v > 0.0; }

// The starting shape values, then (for the count-like families) the sign of y.
template <class F>
Status check_start(const F& family, const Vector& y) {
  if constexpr (std::is_same_v<F, TdistIdentity>) {
    if (!(family.nu > 2.0) || std::isinf(family.nu)) {
      return InvalidParameter{
          "scat/TDist degrees-of-freedom init_nu must be > 2 (finite variance); got init_nu=" +
          format_number(family.nu)};
    }
    if (!positive_finite(family.sigma2)) {
      return InvalidParameter{
          "scat/TDist scale init_sigma2 must be a positive finite scalar; got init_sigma2=" +
          format_number(family.sigma2)};
    }
    return Ok{};
  } else if constexpr (std::is_same_v<F, NegbinLog>) {
    if (!std::isfinite(family.theta)) {
      return InvalidParameter{
          "NegBin overdispersion init_theta must be a positive finite scalar (small θ → high "
          "variance, large θ → Poisson limit); got init_theta=" +
          format_number(family.theta)};
    }
    return check_response_range(y, ResponseRange::kNonNegative, "NegBin");
  } else {
    static_assert(std::is_same_v<F, TweedieLog>);
    if (!positive_finite(family.phi)) {
      return InvalidParameter{
          "Tweedie dispersion init_phi must be a positive finite scalar; got "
          "init_phi=" +
          format_number(family.phi)};
    }
    return check_response_range(y, ResponseRange::kNonNegative, "Tweedie");
  }
}

// θ₀ = (0, transformed starting shape values).
template <class F>
Vector starting_theta(const F& family) {
  if constexpr (std::is_same_v<F, TdistIdentity>) {
    return Vector{{0.0, std::log(family.sigma2), std::log(family.nu - 2.0)}};
  } else if constexpr (std::is_same_v<F, NegbinLog>) {
    return Vector{{0.0, std::log(family.theta)}};
  } else {
    return Vector{{0.0, std::log(family.phi), std::log((family.p - 1.0) / (2.0 - family.p))}};
  }
}

template <class F>
struct ShapeFamilyOf;
template <>
struct ShapeFamilyOf<NegbinLog> {
  using type = score::NegbinShapeFamily;
};
template <>
struct ShapeFamilyOf<TdistIdentity> {
  using type = score::TdistShapeFamily;
};
template <>
struct ShapeFamilyOf<TweedieLog> {
  using type = score::TweedieShapeFamily;
};

// The record's scale: the fitted θ, σ² or φ (after its floor).
template <class F>
double reported_scale(const Vector& theta) {
  if constexpr (std::is_same_v<F, TdistIdentity>) {
    return family::tdist_shape_from(theta[1], theta[2]).sigma2;
  } else if constexpr (std::is_same_v<F, NegbinLog>) {
    return family::negbin_theta_from(theta[1]);
  } else {
    return family::tweedie_shape_from(theta[1], theta[2]).phi;
  }
}

// The dispersion by which H⁻¹ becomes the posterior covariance of β. The negative binomial and
// the scaled t carry their shape inside the working weights (1/V(μ) with V = μ + μ²/θ, or
// 1/σ²), so H⁻¹ is already the covariance; only the Tweedie weights μ^(2−p) leave φ outside.
template <class F>
double covariance_dispersion(const Vector& theta) {
  if constexpr (std::is_same_v<F, TweedieLog>) {
    return family::tweedie_shape_from(theta[1], theta[2]).phi;
  } else {
    static_cast<void>(theta);
    return 1.0;
  }
}

}  // namespace

template <class F>
Result<FittedGam> shape_aware_fit(const F& family, design::Design design, std::size_t n,
                                  const Vector& y, const std::optional<Vector>& weights) {
  ZELKI_CHECK(check_lengths(n, y, weights));
  ZELKI_CHECK(check_start(family, y));
  const Vector theta0 = starting_theta(family);
  if (design.penalties.size() != 1) {
    return InvalidParameter{
        "shape-aware families (TDist/scat, NegBin, Tweedie, Ocat) are restricted to "
        "single-smooth fits in 94b; got " +
        std::to_string(design.penalties.size()) + " terms"};
  }
  ZELKI_CHECK(check_finite(y, "y"));
  ZELKI_CHECK(check_weights(weights));

  // Every evaluation borrows the design's matrix and penalty, y and the weights.
  score::ShapeData data;
  data.x = &design.x;
  data.penalties = design.penalties;
  data.y = &y;
  data.weights = weights ? &*weights : nullptr;
  data.max_iter = kInnerMaxIter;
  data.tol = kInnerTol;
  const typename ShapeFamilyOf<F>::type shape_family(data);
  score::JointContext context;
  context.family = &shape_family;
  context.x = &design.x;
  context.penalty = &design.penalties[0];
  context.penalty_rank = design.penalty_ranks[0];
  context.penalty_log_det = design.penalty_log_dets[0];
  context.null_space_dim = design.null_space_dim;

  // Each evaluation starts its central fit from the linear predictor of the previous one.
  Vector last_eta;
  const outer::Evaluator evaluate = [&](const Vector& theta) -> Result<outer::Evaluation> {
    const Vector* start = last_eta.size() > 0 ? &last_eta : nullptr;
    ZELKI_TRY(score::JointEval e, score::joint_eval_with_hessian(context, theta, start));
    last_eta = std::move(e.eta);
    return outer::Evaluation{e.value, std::move(e.gradient), std::move(e.hessian)};
  };
  ZELKI_TRY(outer::NewtonResult newton, outer::outer_newton(evaluate, theta0));
  const Vector& theta = newton.rho;

  // The final refit is the full inner fit from its own start, whatever path the search took.
  ZELKI_TRY(inner::InnerFit final_fit, shape_family.fit(theta, nullptr));
  const Vector rho = theta.head(1);
  outer::FinalQuantities final_q = outer::final_quantities(final_fit, design.penalties, rho);

  FittedGam out;
  out.predictor = std::move(design.predictor);
  out.beta = std::move(final_fit.beta);
  out.rho = rho;
  out.lambda = rho.array().exp();
  out.scale = reported_scale<F>(theta);
  out.edf_total = final_q.edf_total;
  out.edf_per_term = std::move(final_q.edf_per_term);
  out.n = n;
  out.n_iters = newton.iterations;
  out.converged = newton.converged && final_fit.converged;
  out.reml_value = newton.value;
  out.link_kind = family.link_kind();
  out.vcov = outer::scaled_covariance(std::move(final_q.h_inv), covariance_dispersion<F>(theta));
  return out;
}

template Result<FittedGam> shape_aware_fit(const NegbinLog&, design::Design, std::size_t,
                                           const Vector&, const std::optional<Vector>&);
template Result<FittedGam> shape_aware_fit(const TdistIdentity&, design::Design, std::size_t,
                                           const Vector&, const std::optional<Vector>&);
template Result<FittedGam> shape_aware_fit(const TweedieLog&, design::Design, std::size_t,
                                           const Vector&, const std::optional<Vector>&);

}  // namespace zelki::fit
