#include "inner/pirls.hpp"

#include <algorithm>
#include <cmath>
#include <type_traits>
#include <utility>
#include <variant>

#include "inner/weighted_gram.hpp"
#include "linalg/dense.hpp"

namespace zelki::inner {

namespace {

// Most halvings of one step before the iteration gives up on it.
constexpr int kMaxHalvings = 100;
// √ε of double precision, 2⁻²⁶: the relative size of a rise in the penalised deviance that is
// taken as rounding noise rather than as a worse iterate.
constexpr double kSqrtEpsilon = 1.4901161193847656e-08;
// Guards the relative deviance change against a zero deviance.
constexpr double kTinyDeviance = 1e-30;
// The ridge of the starting factor, relative to the largest diagonal magnitude (at least 1).
constexpr double kRelativeRidge = 1e-12;
// Eigenvalues of H_α this close to zero make its inverse meaningless.
constexpr double kMinEigenvalueMagnitude = 1e-300;

// Trial evaluation at a coefficient vector: η̃ = Xβ̃, μ̃ = g⁻¹(η̃), D̃ = Σ w_i d(y_i, μ̃_i), and
// whether every η̃_i, μ̃_i and d(y_i, μ̃_i) is finite. η̃ and μ̃ are written into buffers that
// live for the whole call.
struct Trial {
  double deviance = 0.0;
  bool all_finite = true;
};

template <class F>
Trial evaluate_trial(const F& family, const Matrix& x, const Vector& y, const Vector& w,
                     const Vector& beta, Vector& eta, Vector& mu) {
  eta.noalias() = x * beta;
  Trial trial;
  for (Eigen::Index i = 0; i < y.size(); ++i) {
    const double e = eta[i];
    const double m = family.inverse_link(e);
    mu[i] = m;
    const double d = family.unit_deviance(y[i], m);
    if (!(std::isfinite(e) && std::isfinite(m) && std::isfinite(d))) trial.all_finite = false;
    trial.deviance += w[i] * d;
  }
  return trial;
}

// Cholesky factor of the starting system Xᵀdiag(w)X + S_λ with a small relative ridge, for a
// call that makes no solve. NaN diagonal entries are skipped when sizing the ridge.
Result<Matrix> starting_factor(const Matrix& x, const Vector& w, const Matrix& s_lambda) {
  Matrix h = weighted_gram(x, w);
  h += s_lambda;
  double largest = 1.0;
  for (Eigen::Index i = 0; i < h.rows(); ++i) {
    const double d = std::abs(h(i, i));
    if (!std::isnan(d)) largest = std::max(largest, d);
  }
  h.diagonal().array() += kRelativeRidge * largest;
  return linalg::cholesky_lower(h);
}

// Final stage of the inverse-Gaussian fit: the observed rather than expected information.
// With α the observed weights and H_α = Xᵀdiag(α)X + S_λ it supplies log|H_α| and, per penalty
// k, tr(H_α⁻¹λ_kS_k) and dη/dρ_k = −X H_α⁻¹ λ_k S_k β̂, with the leverages and dα/dη. H_α may be
// indefinite, so it is inverted through its eigen-decomposition. When α or the decomposition
// is unusable the fit is returned without these quantities.
void add_observed_information(const family::InverseGaussianLog& family, const PirlsProblem& problem,
                              const Vector& rho, const Vector& w, const Matrix& s_lambda,
                              InnerFit& fit) {
  const Matrix& x = *problem.x;
  const Vector& y = *problem.y;
  const Eigen::Index n = x.rows();
  const Eigen::Index p = x.cols();

  Vector alpha(n);
  for (Eigen::Index i = 0; i < n; ++i) {
    alpha[i] = family.observed_weight(y[i], fit.mu[i], w[i]);
    if (!std::isfinite(alpha[i])) return;
  }
  Matrix h_alpha = weighted_gram(x, alpha);
  h_alpha += s_lambda;
  auto decomposed = linalg::symmetric_eigen(h_alpha);
  const auto* eigen = std::get_if<linalg::Eigensystem>(&decomposed);
  if (eigen == nullptr) return;
  for (Eigen::Index j = 0; j < p; ++j) {
    const double v = eigen->values[j];
    if (!std::isfinite(v) || std::abs(v) < kMinEigenvalueMagnitude) return;
  }
  const double log_det = eigen->values.array().abs().log().sum();
  // H_α⁻¹ = Σ_j v_j v_jᵀ / λ_j.
  const Matrix h_inv =
      eigen->vectors * eigen->values.cwiseInverse().asDiagonal() * eigen->vectors.transpose();

  // Leverages h_i = x_iᵀ H_α⁻¹ x_i, in row blocks so that no n×p product is held at once.
  constexpr Eigen::Index kLeverageBlockRows = 4096;
  Vector leverage(n);
  for (Eigen::Index start = 0; start < n; start += kLeverageBlockRows) {
    const Eigen::Index rows = std::min(kLeverageBlockRows, n - start);
    const auto x_block = x.middleRows(start, rows);
    leverage.segment(start, rows) = (x_block * h_inv).cwiseProduct(x_block).rowwise().sum();
  }

  Vector alpha_derivative(n);
  for (Eigen::Index i = 0; i < n; ++i) {
    alpha_derivative[i] = family.observed_weight_derivative(y[i], fit.mu[i], w[i]);
  }

  // Per penalty k: d_k = −H_α⁻¹ λ_k S_k β̂ and tr(H_α⁻¹ λ_k S_k) = Σ_jl (H_α⁻¹)_jl (λ_k S_k)_lj.
  const auto m = static_cast<Eigen::Index>(problem.penalties.size());
  Matrix directions(p, m);
  Vector trace(m);
  for (Eigen::Index k = 0; k < m; ++k) {
    const Matrix scaled = std::exp(rho[k]) * problem.penalties[static_cast<std::size_t>(k)];
    directions.col(k) = -(h_inv * (scaled * fit.beta));
    trace[k] = h_inv.cwiseProduct(scaled.transpose()).sum();
  }
  fit.log_det_h = log_det;
  fit.correction = IgCorrection{std::move(trace), std::move(leverage), std::move(alpha_derivative),
                                x * directions};
}

}  // namespace

template <family::Family F>
Result<InnerFit> pirls(const F& family, const PirlsProblem& problem, const Vector& rho) {
  ZELKI_ASSERT(problem.x != nullptr && problem.y != nullptr, "pirls: incomplete problem");
  const Matrix& x = *problem.x;
  const Vector& y = *problem.y;
  const Eigen::Index n = x.rows();
  const Eigen::Index p = x.cols();
  ZELKI_ASSERT(y.size() == n, "pirls: y of the wrong length");
  ZELKI_ASSERT(problem.weights == nullptr || problem.weights->size() == n,
               "pirls: weights of the wrong length");
  ZELKI_ASSERT(problem.initial_eta == nullptr || problem.initial_eta->size() == n ||
                   problem.initial_eta->size() == 1,
               "pirls: initial_eta must have length n or 1");

  const Matrix s_lambda = linalg::total_penalty(problem.penalties, rho);
  const Vector w = (problem.weights == nullptr) ? Vector::Ones(n) : *problem.weights;

  // Starting point: η₀ from the family's start through its guarded link, unless given.
  Vector eta(n);
  if (problem.initial_eta == nullptr) {
    const Vector mu0 = family.initial_mu(y);
    for (Eigen::Index i = 0; i < n; ++i) eta[i] = family.link_guarded(mu0[i]);
  } else if (problem.initial_eta->size() == n) {
    eta = *problem.initial_eta;
  } else {
    eta.setConstant((*problem.initial_eta)[0]);
  }
  Vector mu(n);
  for (Eigen::Index i = 0; i < n; ++i) mu[i] = family.inverse_link(eta[i]);
  double deviance = family.deviance(y, mu, &w);

  Vector beta = Vector::Zero(p);
  Vector working_weights = Vector::Ones(n);
  Vector working_response = y;
  double penalised = deviance;  // βᵀS_λβ = 0 at β = 0

  // Buffers of the trial iterate, allocated once and swapped with the iterate on acceptance.
  Vector beta_trial(p);
  Vector eta_trial(n);
  Vector mu_trial(n);

  Matrix factor;
  std::size_t iterations = 0;
  bool converged = false;
  for (std::size_t k = 1; k <= problem.max_iter; ++k) {
    iterations = k;
    // W_i = w_i / (V(μ_i) g′(μ_i)²), z_i = η_i + (y_i − μ_i) g′(μ_i).
    for (Eigen::Index i = 0; i < n; ++i) {
      const double g = family.link_derivative(mu[i]);
      working_weights[i] = w[i] / (family.variance(mu[i]) * g * g);
      working_response[i] = eta[i] + (y[i] - mu[i]) * g;
    }
    WeightedCross cross = weighted_cross(x, working_weights, working_response);
    cross.xtwx += s_lambda;
    auto solved = linalg::cholesky_solve_ridged(cross.xtwx, cross.xtwz);
    if (!solved.has_value()) {
      ZelkiError error = std::move(solved).error();
      if (auto* singular = std::get_if<SingularSystem>(&error)) {
        singular->message = "PIRLS factor: " + singular->message;
      }
      return error;
    }
    factor = std::move(solved->factor);
    beta_trial = std::move(solved->x);

    Trial trial = evaluate_trial(family, x, y, w, beta_trial, eta_trial, mu_trial);
    double penalised_trial = trial.deviance + beta_trial.dot(s_lambda * beta_trial);
    // A rise of the penalised deviance below t counts as rounding noise.
    const double threshold = (std::abs(penalised) + 0.1) * 10.0 * kSqrtEpsilon;
    // Non-finite values always reject; a rise beyond t rejects from the second iteration on,
    // so the first solve is taken whatever its penalised deviance, if it is finite.
    const auto rejected = [&] {
      return !std::isfinite(penalised_trial) || !trial.all_finite ||
             (k >= 2 && penalised_trial - penalised > threshold);
    };
    for (int halvings = 0; rejected() && halvings < kMaxHalvings; ++halvings) {
      beta_trial = (beta_trial + beta) / 2.0;
      trial = evaluate_trial(family, x, y, w, beta_trial, eta_trial, mu_trial);
      penalised_trial = trial.deviance + beta_trial.dot(s_lambda * beta_trial);
    }
    if (rejected()) break;  // keep the previous iterate, not converged

    const double deviance_old = deviance;
    beta.swap(beta_trial);
    eta.swap(eta_trial);
    mu.swap(mu_trial);
    deviance = trial.deviance;
    penalised = penalised_trial;
    // The relative change of the unpenalised deviance; never tested after the first solve,
    // which starts from an arbitrary point.
    if (k >= 2 && std::abs(deviance_old - deviance) / (std::abs(deviance_old) + kTinyDeviance) <
                      problem.tol) {
      converged = true;
      break;
    }
  }

  if (iterations == 0) {
    ZELKI_TRY(factor, starting_factor(x, w, s_lambda));
  }

  // Pearson statistic Σ W_i (z_i − η_i)² with the last working quantities and the returned η.
  double pearson = 0.0;
  for (Eigen::Index i = 0; i < n; ++i) {
    const double r = working_response[i] - eta[i];
    pearson += working_weights[i] * r * r;
  }

  InnerFit fit;
  fit.beta = std::move(beta);
  fit.eta = std::move(eta);
  fit.mu = std::move(mu);
  fit.working_weights = std::move(working_weights);
  fit.working_response = std::move(working_response);
  fit.chol_h = std::move(factor);
  fit.deviance = deviance;
  fit.pearson = pearson;
  fit.n = static_cast<std::size_t>(n);
  fit.p = static_cast<std::size_t>(p);
  fit.iterations = iterations;
  fit.converged = converged;
  if constexpr (std::is_same_v<F, family::InverseGaussianLog>) {
    add_observed_information(family, problem, rho, w, s_lambda, fit);
  }
  return fit;
}

Result<InnerFit> pirls(const family::ExponentialFamily& family, const PirlsProblem& problem,
                       const Vector& rho) {
  return std::visit([&](const auto& f) { return pirls(f, problem, rho); }, family);
}

#define ZELKI_PIRLS_INSTANCE(F) \
  template Result<InnerFit> pirls<F>(const F&, const PirlsProblem&, const Vector&);
ZELKI_PIRLS_INSTANCE(family::GaussianIdentity)
ZELKI_PIRLS_INSTANCE(family::BernoulliLogit)
ZELKI_PIRLS_INSTANCE(family::QuasibinomialLogit)
ZELKI_PIRLS_INSTANCE(family::PoissonLog)
ZELKI_PIRLS_INSTANCE(family::QuasipoissonLog)
ZELKI_PIRLS_INSTANCE(family::GammaLog)
ZELKI_PIRLS_INSTANCE(family::InverseGaussianLog)
ZELKI_PIRLS_INSTANCE(family::NegbinLog)
ZELKI_PIRLS_INSTANCE(family::TweedieLog)
ZELKI_PIRLS_INSTANCE(family::TdistIdentity)
#undef ZELKI_PIRLS_INSTANCE

}  // namespace zelki::inner
