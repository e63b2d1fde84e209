#include "fit/ordered_categorical.hpp"

#include <cmath>
#include <string>
#include <vector>

#include "common/format.hpp"
#include "family/ocat.hpp"
#include "fit/data_checks.hpp"
#include "fit/design_choice.hpp"
#include "inner/full_newton.hpp"
#include "outer/final_quantities.hpp"
#include "outer/newton.hpp"
#include "score/ocat_shape.hpp"
#include "score/shape_aware.hpp"

namespace zelki::fit {

namespace {

// Inner-fit settings of the ordered-categorical fit.
constexpr std::size_t kInnerMaxIter = 50;
constexpr double kInnerTol = 1e-9;

// Every response must round (halves away from zero) to a category 1 … K; the first row that
// does not is reported. NaN rounds to 0 and fails.
Status check_categories(const Vector& y, std::size_t n_cats) {
  for (Eigen::Index i = 0; i < y.size(); ++i) {
    const std::int64_t label = family::ocat_round_label(y[i]);
    if (label < 1 || static_cast<std::uint64_t>(label) > n_cats) {
      return InvalidParameter{"Ocat requires y to be an integer in 1..=" + std::to_string(n_cats) +
                              "; got y=" + format_number(y[i]) + " at row " + std::to_string(i)};
    }
  }
  return Ok{};
}

}  // namespace

Result<OcatFit> fit_ordered_categorical_with_thresholds(const OcatRequest& request, const Matrix& x,
                                                        const Vector& y,
                                                        const std::optional<Vector>& weights) {
  ZELKI_TRY(const DesignKind kind, parse_design_name(request.design_name));
  // The designs read column 0; knots and levels placed from non-finite values are meaningless.
  if (x.cols() > 0) ZELKI_CHECK(check_finite(x.col(0), "x[:, 0]"));
  ZELKI_TRY(design::Design design, build_single_smooth_design(kind, x, request.k));
  const auto n = static_cast<std::size_t>(x.rows());
  ZELKI_CHECK(check_lengths(n, y, weights));
  const std::size_t n_cats = request.n_cats;
  if (n_cats < 3) {
    return InvalidParameter{
        "Ocat requires n_cats ≥ 3 (≤ 2 levels collapses to Bernoulli — use bernoulli_logit "
        "instead); got n_cats=" +
        std::to_string(n_cats)};
  }
  ZELKI_CHECK(check_categories(y, n_cats));
  // The thresholds start at 0: every gap between adjacent cut points equal to 1.
  const Vector initial_thresholds = Vector::Zero(static_cast<Eigen::Index>(n_cats - 2));
  if (static_cast<std::size_t>(initial_thresholds.size()) != n_cats - 2) {
    return InvalidParameter{
        "Ocat init_theta length must equal n_cats - 2 = " + std::to_string(n_cats - 2) +
        " (log-gap thresholds between adjacent categories above the first); got " +
        std::to_string(initial_thresholds.size())};
  }
  if (design.penalties.size() != 1) {
    return InvalidParameter{"ocat is restricted to single-smooth fits in 94b; got " +
                            std::to_string(design.penalties.size()) + " terms"};
  }
  ZELKI_CHECK(check_weights(weights));

  const Matrix& model = design.x;
  const std::vector<Matrix>& penalties = design.penalties;
  const Vector* w = weights ? &*weights : nullptr;
  score::OcatData data;
  data.x = &model;
  data.penalties = penalties;
  data.y = &y;
  data.weights = w;
  data.n_cats = n_cats;
  data.max_iter = kInnerMaxIter;
  data.tol = kInnerTol;
  const score::OcatShapeFamily shape_family(data);
  score::JointContext context;
  context.family = &shape_family;
  context.x = &model;
  context.penalty = &penalties[0];
  context.penalty_rank = design.penalty_ranks[0];
  context.penalty_log_det = design.penalty_log_dets[0];
  context.null_space_dim = design.null_space_dim;

  // θ = (ρ, t₁ … t_{K−2}) from (0, initial thresholds). Each evaluation starts its fits from the
  // linear predictor of the previous one, which the search moves in small steps.
  Vector theta0(static_cast<Eigen::Index>(n_cats - 1));
  theta0[0] = 0.0;
  theta0.tail(initial_thresholds.size()) = initial_thresholds;
  Vector last_eta;
  const outer::Evaluator evaluate = [&](const Vector& theta) -> Result<outer::Evaluation> {
    const Vector* start = last_eta.size() > 0 ? &last_eta : nullptr;
    ZELKI_TRY(score::JointEval e, score::joint_eval_with_hessian(context, theta, start));
    last_eta = std::move(e.eta);
    return outer::Evaluation{e.value, std::move(e.gradient), std::move(e.hessian)};
  };
  ZELKI_TRY(outer::NewtonResult newton, outer::outer_newton(evaluate, theta0));

  // Final refit at ρ̂ with the fitted thresholds, from the family's own start.
  const Vector rho = newton.rho.head(1);
  ZELKI_TRY(inner::InnerFit final_fit, shape_family.fit(newton.rho, nullptr));
  outer::FinalQuantities final_q = outer::final_quantities(final_fit, penalties, rho);

  FittedGam out;
  out.predictor = std::move(design.predictor);
  out.beta = std::move(final_fit.beta);
  out.rho = rho;
  out.lambda = rho.array().exp();
  out.scale = 1.0;
  out.edf_total = final_q.edf_total;
  out.edf_per_term = std::move(final_q.edf_per_term);
  out.n = n;
  out.n_iters = newton.iterations;
  out.converged = newton.converged && final_fit.converged;
  out.reml_value = newton.value;
  out.link_kind = family::LinkKind::Identity;
  out.vcov = std::move(final_q.h_inv);
  return OcatFit{std::move(out), newton.rho.tail(static_cast<Eigen::Index>(n_cats - 2))};
}

Result<FittedGam> fit_ordered_categorical(const OcatRequest& request, const Matrix& x,
                                          const Vector& y, const std::optional<Vector>& weights) {
  Result<OcatFit> fit = fit_ordered_categorical_with_thresholds(request, x, y, weights);
  if (!fit.has_value()) return std::move(fit).error();
  return std::move(fit->model);
}

}  // namespace zelki::fit
