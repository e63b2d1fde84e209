#include "inner/full_newton.hpp"

#include <algorithm>
#include <cmath>

#include "inner/weighted_gram.hpp"
#include "linalg/dense.hpp"

namespace zelki::inner {

namespace {

// Floor of the working weights and of d″ in the working response: the deviance of an
// observation far inside its category is flat in η, and its weight must not vanish exactly.
constexpr double kMinCurvature = 1e-12;
// Most halvings of one step before the iteration gives up on it.
constexpr int kMaxHalvings = 100;
// √ε of double precision, 2⁻²⁶: a rise of the penalised deviance below (|P| + 0.1)·10·√ε is
// taken as rounding noise rather than as a worse iterate.
constexpr double kSqrtEpsilon = 1.4901161193847656e-08;

// Newton's working quantities at η: W_i = max(½ w_i d″_i, 1e-12), z_i = η_i − d′_i/max(d″_i,
// 1e-12).
struct Working {
  Vector weights;
  Vector response;
};

Working working_at(const family::OcatIdentity& family, const Vector& y, const Vector& w,
                   const Vector& eta) {
  const family::OcatDerivatives d = family::ocat_derivatives(family, y, eta);
  const Eigen::Index n = y.size();
  Working out{Vector(n), Vector(n)};
  for (Eigen::Index i = 0; i < n; ++i) {
    out.weights[i] = std::max(0.5 * w[i] * d.second[i], kMinCurvature);
    out.response[i] = eta[i] - d.first[i] / std::max(d.second[i], kMinCurvature);
  }
  return out;
}

// η₀: the midpoint of each observation's cut-point interval, the open ends replaced by −2 below
// category 1 and α_{K−1} + 1 above category K.
Vector interval_midpoints(const family::OcatIdentity& family, const Vector& y) {
  Vector alpha = family::ocat_cut_points(family.thresholds, family.n_cats);
  const auto k = static_cast<Eigen::Index>(family.n_cats);
  alpha[0] = -2.0;
  alpha[k] = alpha[k - 1] + 1.0;
  Vector eta(y.size());
  for (Eigen::Index i = 0; i < y.size(); ++i) {
    const auto j = static_cast<Eigen::Index>(family::ocat_category(y[i], family.n_cats));
    eta[i] = 0.5 * (alpha[j - 1] + alpha[j]);
  }
  return eta;
}

bool all_finite(const Vector& v) { return v.allFinite(); }

}  // namespace

Result<InnerFit> full_newton_fit(const FullNewtonProblem& problem, const Vector& rho) {
  ZELKI_ASSERT(problem.x != nullptr && problem.y != nullptr, "full_newton_fit: incomplete problem");
  const Matrix& x = *problem.x;
  const Vector& y = *problem.y;
  const Eigen::Index n = x.rows();
  const Eigen::Index p = x.cols();
  ZELKI_ASSERT(y.size() == n, "full_newton_fit: y of the wrong length");
  ZELKI_ASSERT(problem.weights == nullptr || problem.weights->size() == n,
               "full_newton_fit: weights of the wrong length");
  ZELKI_ASSERT(problem.initial_eta == nullptr || problem.initial_eta->size() == n ||
                   problem.initial_eta->size() == 1,
               "full_newton_fit: initial_eta must have length n or 1");
  const family::OcatIdentity& family = problem.family;

  const Matrix s_lambda = linalg::total_penalty(problem.penalties, rho);
  const Vector w = problem.weights == nullptr ? Vector::Ones(n) : *problem.weights;

  Vector eta;
  if (problem.initial_eta == nullptr) {
    eta = interval_midpoints(family, y);
  } else if (problem.initial_eta->size() == n) {
    eta = *problem.initial_eta;
  } else {
    eta = Vector::Constant(n, (*problem.initial_eta)[0]);
  }
  double deviance = family::ocat_deviance(family, y, eta, &w);
  Vector beta = Vector::Zero(p);
  double penalised = deviance;  // βᵀS_λβ = 0 at β = 0

  std::size_t iterations = 0;
  bool converged = false;
  for (std::size_t k = 1; k <= problem.max_iter; ++k) {
    iterations = k;
    const Working working = working_at(family, y, w, eta);
    WeightedCross cross = weighted_cross(x, working.weights, working.response);
    cross.xtwx += s_lambda;
    ZELKI_TRY(const Matrix l, linalg::cholesky_lower(cross.xtwx));
    Vector beta_trial = linalg::solve_lower_transposed(l, linalg::solve_lower(l, cross.xtwz));

    Vector eta_trial = x * beta_trial;
    double deviance_trial = family::ocat_deviance(family, y, eta_trial, &w);
    double penalised_trial = deviance_trial + beta_trial.dot(s_lambda * beta_trial);
    const double threshold = (std::abs(penalised) + 0.1) * 10.0 * kSqrtEpsilon;
    // Non-finite trials always reject; a rise beyond the threshold rejects from the second
    // iteration on, so the first finite solve is taken as it is.
    const auto rejected = [&] {
      return !std::isfinite(penalised_trial) || !all_finite(eta_trial) ||
             (k > 1 && penalised_trial - penalised > threshold);
    };
    int halvings = 0;
    while (rejected() && halvings < kMaxHalvings) {
      beta_trial = 0.5 * (beta_trial + beta);
      eta_trial.noalias() = x * beta_trial;
      deviance_trial = family::ocat_deviance(family, y, eta_trial, &w);
      penalised_trial = deviance_trial + beta_trial.dot(s_lambda * beta_trial);
      ++halvings;
    }
    if (rejected()) break;

    double change = 0.0;
    for (Eigen::Index j = 0; j < p; ++j) {
      const double c = std::abs(beta_trial[j] - beta[j]);
      if (!std::isnan(c)) change = std::max(change, c);
    }
    beta = std::move(beta_trial);
    eta = std::move(eta_trial);
    deviance = deviance_trial;
    penalised = penalised_trial;
    if (k > 1 && change < problem.tol) {
      converged = true;
      break;
    }
  }

  // Final stage at the returned η: fresh weights, working response and factor (no ridge).
  const Working working = working_at(family, y, w, eta);
  Matrix h = weighted_gram(x, working.weights);
  h += s_lambda;
  ZELKI_TRY(Matrix chol_h, linalg::cholesky_lower(h));
  const Vector shift = working.response - eta;
  const double pearson = working.weights.dot(shift.cwiseProduct(shift));

  InnerFit fit;
  fit.beta = std::move(beta);
  fit.mu = eta;
  fit.eta = std::move(eta);
  fit.working_weights = working.weights;
  fit.working_response = working.response;
  fit.chol_h = std::move(chol_h);
  fit.deviance = deviance;
  fit.pearson = pearson;
  fit.n = static_cast<std::size_t>(n);
  fit.p = static_cast<std::size_t>(p);
  fit.iterations = iterations;
  fit.converged = converged;
  return fit;
}

}  // namespace zelki::inner
