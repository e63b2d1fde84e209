#include "fit/quantile.hpp"

#include <algorithm>
#include <cmath>
#include <vector>

#include "family/elf.hpp"
#include "fit/data_checks.hpp"
#include "fit/design_choice.hpp"
#include "inner/armijo.hpp"
#include "inner/weighted_gram.hpp"
#include "linalg/dense.hpp"
#include "outer/final_quantities.hpp"
#include "outer/newton.hpp"
#include "score/envelope.hpp"

namespace zelki::fit {

namespace {

// Inner-fit settings of the quantile fit.
constexpr std::size_t kInnerMaxIter = 50;
constexpr double kInnerTol = 1e-7;
constexpr std::size_t kLineSearchTrials = 20;
// Ridge of the warm-start system, relative to its largest diagonal magnitude.
constexpr double kWarmStartRidge = 1e-7;

struct WarmStart {
  Vector beta;              // penalised least squares shifted to the τ-quantile of its residuals
  double residual_var = 0;  // s² = Σ r_i² / n of the least-squares fit
};

// Penalised least squares at λ = 1 for every penalty, then the intercept-like shift δ that
// moves the fit to the τ-quantile q of its residuals: A δ = Xᵀ(q·1) with the same factor of A.
Result<WarmStart> warm_start(const Matrix& x, const Vector& y, const std::vector<Matrix>& penalties,
                             double tau) {
  const Eigen::Index n = x.rows();
  Matrix a = inner::weighted_gram(x, Vector::Ones(n));
  a += linalg::total_penalty(penalties, Vector::Zero(static_cast<Eigen::Index>(penalties.size())));
  double largest = 0.0;
  for (Eigen::Index i = 0; i < a.rows(); ++i) {
    const double d = std::abs(a(i, i));
    if (!std::isnan(d)) largest = std::max(largest, d);
  }
  a.diagonal().array() += kWarmStartRidge * largest;
  const Vector b = x.transpose() * y;
  ZELKI_TRY(const Matrix l, inner::cholesky_with_prefix(a, "ELF warm-start "));
  const auto solve = [&l](const Vector& rhs) {
    return linalg::solve_lower_transposed(l, linalg::solve_lower(l, rhs));
  };
  const Vector beta0 = solve(b);
  const Vector r = y - x * beta0;
  const double s2 = r.squaredNorm() / static_cast<double>(std::max<Eigen::Index>(n, 1));

  // q = the element m = round((n − 1)τ) (half away from zero, at most n − 1) of the sorted r.
  double q = 0.0;
  if (n > 0) {
    std::vector<double> sorted(r.data(), r.data() + n);
    std::sort(sorted.begin(), sorted.end());
    const double position = std::max(0.0, std::round(static_cast<double>(n - 1) * tau));
    const auto m = std::min(static_cast<std::size_t>(n - 1), static_cast<std::size_t>(position));
    q = sorted[m];
  }
  const Vector delta = solve(x.transpose() * Vector::Constant(n, q));
  return WarmStart{beta0 + delta, s2};
}

// σ = √(2π max(s², 1e-6)) · 0.05 / ln 4 · max(1/(4τ(1 − τ)), 1): a loss scale proportional to
// the residual spread, larger for extreme quantiles where fewer observations lie beyond the
// curve.
double automatic_sigma(double residual_var, double tau) {
  constexpr double kTwoPi = 6.283185307179586;
  constexpr double kLn4 = 1.3862943611198906;
  constexpr double kVarianceFloor = 1e-6;
  constexpr double kSpreadFraction = 0.05;
  const double tail_factor = std::max(1.0 / (4.0 * tau * (1.0 - tau)), 1.0);
  return std::sqrt(kTwoPi * std::max(residual_var, kVarianceFloor)) * kSpreadFraction / kLn4 *
         tail_factor;
}

}  // namespace

Result<FittedGam> fit_quantile(const QuantileRequest& request, const Matrix& x, const Vector& y,
                               const std::optional<Vector>& weights) {
  // The designs read column 0; knots and levels placed from non-finite values are meaningless.
  if (x.cols() > 0) ZELKI_CHECK(check_finite(x.col(0), "x[:, 0]"));
  ZELKI_TRY(design::Design design, build_single_smooth_design(request.design, x, request.k));
  const auto n = static_cast<std::size_t>(x.rows());
  ZELKI_CHECK(check_lengths(n, y, weights));
  if (design.penalties.size() != 1) {
    return InvalidParameter{"ELF/quantile is restricted to single-smooth fits in 94b; got " +
                            std::to_string(design.penalties.size()) + " terms"};
  }
  ZELKI_CHECK(check_finite(y, "y"));
  ZELKI_CHECK(check_weights(weights));

  const Matrix& model = design.x;
  const std::vector<Matrix>& penalties = design.penalties;
  ZELKI_TRY(const WarmStart start, warm_start(model, y, penalties, request.tau));
  const double sigma =
      request.sigma > 0.0 ? request.sigma : automatic_sigma(start.residual_var, request.tau);
  const double lambda = request.lambda > 0.0 ? request.lambda : sigma;
  const family::ElfIdentity elf = family::elf_identity(request.tau, sigma, lambda);

  // Every evaluation starts the Armijo fit from the warm start; the ELF objective is strictly
  // convex, so the start changes the iteration count only.
  inner::ArmijoProblem problem;
  problem.penalties = penalties;
  problem.x = &model;
  problem.y = &y;
  problem.family = elf;
  problem.initial_beta = &start.beta;
  problem.max_iter = kInnerMaxIter;
  problem.tol = kInnerTol;
  problem.max_step_halvings = kLineSearchTrials;
  const score::InnerFitFn inner_fit = [&problem](const Vector& rho, const Vector*) {
    return inner::armijo_fit(problem, rho);
  };

  // The criterion at fixed scale φ = 1 with the ELF density's normalising constant n·c as its
  // saturated term; prior weights enter neither.
  score::ScoreSpec criterion;
  criterion.penalties = &penalties;
  criterion.ranks = design.penalty_ranks;
  criterion.log_dets = design.penalty_log_dets;
  criterion.null_space_dim = design.null_space_dim;
  criterion.scale = score::ScaleRule::kFixed;
  criterion.sentinel = false;
  criterion.saturated.kind = score::SaturatedTerm::Kind::kConstant;
  criterion.saturated.constant = static_cast<double>(n) * family::elf_log_normaliser(elf);

  const outer::Evaluator evaluate = [&](const Vector& rho) -> Result<outer::Evaluation> {
    ZELKI_TRY(score::ScoreWithHessian s, score::score_with_hessian(criterion, inner_fit, rho));
    return outer::Evaluation{s.value, std::move(s.gradient), std::move(s.hessian)};
  };
  ZELKI_TRY(outer::NewtonResult newton, outer::outer_newton(evaluate, Vector::Zero(1)));

  ZELKI_TRY(inner::InnerFit final_fit, inner::armijo_fit(problem, newton.rho));
  outer::FinalQuantities final_q = outer::final_quantities(final_fit, penalties, newton.rho);

  FittedGam out;
  out.predictor = std::move(design.predictor);
  out.beta = std::move(final_fit.beta);
  out.rho = newton.rho;
  out.lambda = newton.rho.array().exp();
  // σ is reported as the scale, but the covariance is H⁻¹ itself: the ELF log-likelihood −d/2
  // already carries 1/σ in its curvature h = p(1 − p)/(λσ), so H⁻¹ is the posterior covariance
  // in the units of y², and scaling it by σ once more would make intervals depend on the units
  // in which y is measured.
  out.scale = sigma;
  out.edf_total = final_q.edf_total;
  out.edf_per_term = std::move(final_q.edf_per_term);
  out.n = n;
  out.n_iters = newton.iterations;
  out.converged = newton.converged && final_fit.converged;
  out.reml_value = newton.value;
  out.link_kind = family::LinkKind::Identity;
  out.vcov = std::move(final_q.h_inv);
  return out;
}

}  // namespace zelki::fit
