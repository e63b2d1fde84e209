#include "fit/exponential_fit.hpp"

#include <cmath>
#include <type_traits>

#include "fit/data_checks.hpp"
#include "inner/closed_form.hpp"
#include "inner/gaussian_criterion_fit.hpp"
#include "inner/pirls.hpp"
#include "inner/weighted_gram.hpp"
#include "outer/final_quantities.hpp"
#include "outer/newton.hpp"
#include "score/envelope.hpp"

namespace zelki::fit {

namespace {

using family::BernoulliLogit;
using family::GammaLog;
using family::GaussianIdentity;
using family::InverseGaussianLog;
using family::PoissonLog;
using family::QuasibinomialLogit;
using family::QuasipoissonLog;

// Inner-fit settings of every outer fit.
constexpr std::size_t kInnerMaxIter = 50;
constexpr double kInnerTol = 1e-9;

// How each family is scored and how its reported scale is estimated.
enum class ReportedScale { kGaussian, kFixed, kPearson };

struct FamilyRules {
  const char* name;
  ResponseRange range;
  score::ScaleRule score_scale;
  bool sentinel;
  ReportedScale reported_scale;
};

template <class F>
constexpr FamilyRules rules_of() {
  using score::ScaleRule;
  if constexpr (std::is_same_v<F, GaussianIdentity>) {
    return {"Gaussian", ResponseRange::kAny, ScaleRule::kProfiled, true, ReportedScale::kGaussian};
  } else if constexpr (std::is_same_v<F, BernoulliLogit>) {
    return {"Bernoulli", ResponseRange::kUnitInterval, ScaleRule::kFixed, false,
            ReportedScale::kFixed};
  } else if constexpr (std::is_same_v<F, PoissonLog>) {
    return {"Poisson", ResponseRange::kNonNegative, ScaleRule::kFixed, false,
            ReportedScale::kFixed};
  } else if constexpr (std::is_same_v<F, QuasipoissonLog>) {
    return {"QuasiPoisson", ResponseRange::kNonNegative, ScaleRule::kProfiled, true,
            ReportedScale::kPearson};
  } else if constexpr (std::is_same_v<F, QuasibinomialLogit>) {
    return {"QuasiBinomial", ResponseRange::kUnitInterval, ScaleRule::kProfiled, true,
            ReportedScale::kPearson};
  } else if constexpr (std::is_same_v<F, GammaLog>) {
    return {"Gamma", ResponseRange::kPositive, ScaleRule::kGamma, true, ReportedScale::kPearson};
  } else {
    static_assert(std::is_same_v<F, InverseGaussianLog>);
    return {"InverseGaussian", ResponseRange::kPositive, ScaleRule::kProfiled, true,
            ReportedScale::kPearson};
  }
}

double log_floored(double y) { return std::log(std::max(y, family::kMeanFloor)); }

// The saturated log-likelihood l₀ of the criterion, with its φ-free part summed once per fit.
template <class F>
score::SaturatedTerm saturated_term(const Vector& y) {
  using Kind = score::SaturatedTerm::Kind;
  const double n = static_cast<double>(y.size());
  score::SaturatedTerm term;
  term.n = n;
  if constexpr (std::is_same_v<F, PoissonLog>) {
    for (double v : y) {
      if (v > 0.0) term.constant += v * std::log(v) - v;
    }
  } else if constexpr (std::is_same_v<F, BernoulliLogit>) {
    for (double v : y) {
      if (v > 0.0 && v < 1.0) {
        const double t = family::clamp_probability(v);
        term.constant += t * std::log(t) + (1.0 - t) * std::log(1.0 - t);
      }
    }
  } else if constexpr (std::is_same_v<F, GammaLog>) {
    term.kind = Kind::kGamma;
    for (double v : y) term.constant -= log_floored(v);
  } else if constexpr (std::is_same_v<F, InverseGaussianLog>) {
    term.kind = Kind::kGaussian;
    for (double v : y) term.constant -= 1.5 * log_floored(v);
  } else {
    term.kind = Kind::kGaussian;
  }
  return term;
}

// Pearson statistic Σ w (y − μ̃)²/V(μ̃) of the quasi, Gamma and inverse-Gaussian scales.
template <class F>
double pearson_statistic(const Vector& y, const Vector& mu, const std::optional<Vector>& weights) {
  double total = 0.0;
  for (Eigen::Index i = 0; i < y.size(); ++i) {
    double residual = 0.0;
    double variance = 0.0;
    if constexpr (std::is_same_v<F, QuasibinomialLogit>) {
      const double m = family::clamp_probability(mu[i]);
      residual = y[i] - std::max(mu[i], family::kProbabilityMin);
      variance = m * (1.0 - m);
    } else {
      const double m = std::max(mu[i], family::kMeanFloor);
      residual = y[i] - m;
      if constexpr (std::is_same_v<F, QuasipoissonLog>) variance = m;
      if constexpr (std::is_same_v<F, GammaLog>) variance = m * m;
      if constexpr (std::is_same_v<F, InverseGaussianLog>) variance = m * m * m;
    }
    const double w = weights ? (*weights)[i] : 1.0;
    total += w * residual * residual / variance;
  }
  return total;
}

}  // namespace

template <class F>
Result<FittedGam> outer_fit(const F& family, design::Design design, std::size_t n, const Vector& y,
                            const std::optional<Vector>& weights) {
  constexpr FamilyRules rules = rules_of<F>();
  ZELKI_CHECK(check_lengths(n, y, weights));
  ZELKI_CHECK(check_response_range(y, rules.range, rules.name));
  ZELKI_CHECK(check_finite(y, "y"));
  ZELKI_CHECK(check_weights(weights));

  const Matrix& x = design.x;
  const std::vector<Matrix>& penalties = design.penalties;
  const Vector* w = weights ? &*weights : nullptr;

  // The inner fit at ρ. The Gaussian closed form reuses XᵀWX and XᵀWy formed once here, so a
  // criterion evaluation costs O(p³) plus one pass over X for the fitted values.
  // The final refit is the full inner fit from its own start, whatever path the search took.
  Matrix xtwx;
  Vector xtwy;
  inner::CentredCross centred;
  score::InnerFitFn inner_fit;
  std::function<Result<inner::InnerFit>(const Vector&)> final_inner_fit;
  if constexpr (std::is_same_v<F, GaussianIdentity>) {
    auto cross = inner::weighted_cross(x, w ? *w : Vector::Ones(x.rows()), y);
    xtwx = std::move(cross.xtwx);
    xtwy = std::move(cross.xtwz);
    centred = inner::centre_cross(penalties, xtwx, xtwy, y, w);
    inner_fit = [&centred](const Vector& rho, const Vector*) {
      return inner::gaussian_criterion_fit(centred, rho);
    };
    inner::GaussianProblem problem{penalties, &x, &y, &xtwx, &xtwy, w};
    final_inner_fit = [problem](const Vector& rho) { return inner::closed_form_fit(problem, rho); };
  } else {
    inner::PirlsProblem problem;
    problem.penalties = penalties;
    problem.x = &x;
    problem.y = &y;
    problem.weights = w;
    problem.max_iter = kInnerMaxIter;
    problem.tol = kInnerTol;
    inner_fit = [family, problem](const Vector& rho, const Vector* start_eta) {
      inner::PirlsProblem started = problem;
      started.initial_eta = start_eta;
      return inner::pirls(family, started, rho);
    };
    final_inner_fit = [family, problem](const Vector& rho) {
      return inner::pirls(family, problem, rho);
    };
  }

  score::ScoreSpec criterion;
  criterion.penalties = &penalties;
  criterion.ranks = design.penalty_ranks;
  criterion.log_dets = design.penalty_log_dets;
  criterion.null_space_dim = design.null_space_dim;
  for (const auto& b : design.shared_blocks) {
    criterion.shared_blocks.push_back({b.first_penalty, b.count, b.first_col, b.width, b.rank});
  }
  criterion.scale = rules.score_scale;
  criterion.sentinel = rules.sentinel;
  criterion.saturated = saturated_term<F>(y);

  // Each evaluation starts its inner fit from the linear predictor of the previous one: the
  // search moves ρ in small steps, so PIRLS then needs a fraction of its iterations.
  Vector last_eta;
  const outer::Evaluator evaluate = [&](const Vector& rho) -> Result<outer::Evaluation> {
    const Vector* start = last_eta.size() > 0 ? &last_eta : nullptr;
    ZELKI_TRY(score::ScoreWithHessian s,
              score::score_with_hessian(criterion, inner_fit, rho, start));
    last_eta = std::move(s.eta);
    return outer::Evaluation{s.value, std::move(s.gradient), std::move(s.hessian)};
  };
  const auto k_count = static_cast<Eigen::Index>(penalties.size());
  ZELKI_TRY(outer::NewtonResult newton, outer::outer_newton(evaluate, Vector::Zero(k_count)));

  ZELKI_TRY(inner::InnerFit final_fit, final_inner_fit(newton.rho));
  outer::FinalQuantities final_q =
      outer::final_quantities(final_fit, penalties, newton.rho, criterion.shared_blocks);
  const Vector lambda = newton.rho.array().exp();

  const double n_real = static_cast<double>(n);
  double scale = 1.0;
  if constexpr (rules.reported_scale == ReportedScale::kGaussian) {
    double penalty_term = 0.0;
    for (Eigen::Index k = 0; k < k_count; ++k) {
      const Matrix& s = penalties[static_cast<std::size_t>(k)];
      penalty_term += lambda[k] * final_fit.beta.dot(s * final_fit.beta);
    }
    const double residual_df = n_real - static_cast<double>(design.null_space_dim);
    scale = residual_df > 0.0 ? (final_fit.deviance + penalty_term) / residual_df : std::nan("");
  } else if constexpr (rules.reported_scale == ReportedScale::kPearson) {
    const double residual_df = n_real - final_q.edf_total;
    scale = residual_df > 0.0 ? pearson_statistic<F>(y, final_fit.mu, weights) / residual_df
                              : std::nan("");
  }

  FittedGam out;
  out.predictor = std::move(design.predictor);
  out.beta = std::move(final_fit.beta);
  out.rho = newton.rho;
  out.lambda = lambda;
  out.scale = scale;
  out.edf_total = final_q.edf_total;
  out.edf_per_term = std::move(final_q.edf_per_term);
  out.n = n;
  out.n_iters = newton.iterations;
  out.converged = newton.converged && final_fit.converged;
  out.reml_value = newton.value;
  out.link_kind = family.link_kind();
  out.vcov = outer::scaled_covariance(std::move(final_q.h_inv), scale);
  return out;
}

Result<FittedGam> outer_fit(const family::ExponentialFamily& family, design::Design design,
                            std::size_t n, const Vector& y, const std::optional<Vector>& weights) {
  return std::visit([&](const auto& f) { return outer_fit(f, std::move(design), n, y, weights); },
                    family);
}

template Result<FittedGam> outer_fit(const GaussianIdentity&, design::Design, std::size_t,
                                     const Vector&, const std::optional<Vector>&);
template Result<FittedGam> outer_fit(const BernoulliLogit&, design::Design, std::size_t,
                                     const Vector&, const std::optional<Vector>&);
template Result<FittedGam> outer_fit(const PoissonLog&, design::Design, std::size_t, const Vector&,
                                     const std::optional<Vector>&);
template Result<FittedGam> outer_fit(const QuasipoissonLog&, design::Design, std::size_t,
                                     const Vector&, const std::optional<Vector>&);
template Result<FittedGam> outer_fit(const QuasibinomialLogit&, design::Design, std::size_t,
                                     const Vector&, const std::optional<Vector>&);
template Result<FittedGam> outer_fit(const GammaLog&, design::Design, std::size_t, const Vector&,
                                     const std::optional<Vector>&);
template Result<FittedGam> outer_fit(const InverseGaussianLog&, design::Design, std::size_t,
                                     const Vector&, const std::optional<Vector>&);

}  // namespace zelki::fit
