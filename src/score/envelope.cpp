#include "score/envelope.hpp"

#include <algorithm>
#include <cmath>

#include "common/gamma_functions.hpp"
#include "linalg/cholesky_inverse.hpp"
#include "linalg/dense.hpp"

namespace zelki::score {

namespace {

constexpr double kLog2Pi = 1.8378770664093453;  // ln 2π
constexpr double kScaleFloor = 1e-8;
constexpr double kSentinelValue = 1e12;
constexpr double kHessianStep = 1e-5;

struct SharedBlockLogDet {
  double log_det = 0.0;
  Vector gradient;  // ∂ log|S_b|₊ / ∂ρ_j = λ_j tr(S_b⁺ S_j), one entry per penalty of the block
};

// log|S_b|₊ of S_b = Σ_j λ_j S_j on a shared block, from its `rank` largest eigenvalues (the rank
// of the sum does not depend on λ > 0), with S_b⁺ from the same eigenpairs.
SharedBlockLogDet shared_block_log_det(const SharedPenaltyBlock& block,
                                       const std::vector<Matrix>& penalties, const Vector& lambda) {
  const Eigen::Index w = block.width;
  const Eigen::Index c0 = block.first_col;
  Matrix sum = Matrix::Zero(w, w);
  for (std::size_t j = 0; j < block.count; ++j) {
    const std::size_t k = block.first_penalty + j;
    sum += lambda[static_cast<Eigen::Index>(k)] * penalties[k].block(c0, c0, w, w);
  }
  auto eigen = linalg::symmetric_eigen(0.5 * (sum + sum.transpose()));
  ZELKI_ASSERT(std::holds_alternative<linalg::Eigensystem>(eigen),
               "eigen-decomposition of a finite symmetric penalty sum failed");
  const auto& system = std::get<linalg::Eigensystem>(eigen);
  const auto r = static_cast<Eigen::Index>(block.rank);
  // Ascending order: the positive part is the last r eigenpairs.
  const auto values = system.values.tail(r);
  const auto vectors = system.vectors.rightCols(r);
  SharedBlockLogDet out;
  out.log_det = values.array().log().sum();
  const Matrix pinv = vectors * values.cwiseInverse().asDiagonal() * vectors.transpose();
  out.gradient.resize(static_cast<Eigen::Index>(block.count));
  for (std::size_t j = 0; j < block.count; ++j) {
    const std::size_t k = block.first_penalty + j;
    out.gradient[static_cast<Eigen::Index>(j)] =
        lambda[static_cast<Eigen::Index>(k)] *
        linalg::trace_of_product(pinv, penalties[k].block(c0, c0, w, w));
  }
  return out;
}

}  // namespace

double SaturatedTerm::value(double phi) const {
  switch (kind) {
    case Kind::kConstant:
      return constant;
    case Kind::kGaussian:
      return constant - 0.5 * n * (kLog2Pi + std::log(phi));
    case Kind::kGamma: {
      const double nu = 1.0 / phi;
      return constant + n * (nu * std::log(nu) - nu - ln_gamma(nu));
    }
  }
  return constant;
}

double gamma_scale(double penalised_deviance, double n, double null_space_dim) {
  constexpr int kMaxNewton = 30;
  constexpr double kFlatDerivative = 1e-15;
  constexpr double kRelativeStep = 1e-12;
  const double dp = penalised_deviance;
  const double mp = null_space_dim;
  // F(φ) is (up to a factor) the derivative of the Gamma criterion in φ; F′ its derivative.
  const auto f = [&](double phi) {
    return mp * phi + 2.0 * n * (std::log(phi) + digamma(1.0 / phi)) + dp;
  };
  const auto f_prime = [&](double phi) {
    const double nu = 1.0 / phi;
    return (2.0 * n / phi) * (1.0 - nu * trigamma(nu)) + mp;
  };
  const double tolerance = (std::abs(dp) + mp + 1.0) * 1e-10;
  double phi = std::max(dp / (n - mp), kScaleFloor);
  for (int iter = 0; iter < kMaxNewton; ++iter) {
    const double value = f(phi);
    if (std::abs(value) < tolerance) break;
    const double slope = f_prime(phi);
    if (std::abs(slope) < kFlatDerivative) break;
    double next = phi - value / slope;
    if (std::isnan(next)) next = 0.1 * phi;
    // Keep each step within a factor of ten, and φ above its floor.
    next = std::clamp(next, 0.1 * phi, 10.0 * phi);
    next = std::max(next, kScaleFloor);
    if (std::isinf(next)) break;
    if (std::abs(next - phi) < kRelativeStep * phi) {
      phi = next;
      break;
    }
    phi = next;
  }
  return std::max(phi, kScaleFloor);
}

ScoreEval score_from_fit(const ScoreSpec& criterion, const inner::InnerFit& fit,
                         const Vector& rho) {
  const std::vector<Matrix>& penalties = *criterion.penalties;
  const auto k_count = static_cast<Eigen::Index>(penalties.size());
  ZELKI_ASSERT(rho.size() >= k_count, "score: fewer log smoothing parameters than penalties");
  const Vector lambda = rho.head(k_count).array().exp();

  // H⁻¹ once, reused for every trace tr(H⁻¹ S_k).
  const Matrix h_inv = linalg::inverse_from_cholesky(fit.chol_h);
  Vector q(k_count), t(k_count);
  double t_lambda = 0.0;
  double q_lambda = 0.0;
  for (Eigen::Index k = 0; k < k_count; ++k) {
    const auto& s = penalties[static_cast<std::size_t>(k)];
    q[k] = fit.beta.dot(s * fit.beta);
    t[k] = linalg::trace_of_product(h_inv, s);
    t_lambda += lambda[k] * t[k];
    q_lambda += lambda[k] * q[k];
  }
  const double log_det_h =
      fit.log_det_h ? *fit.log_det_h : 2.0 * fit.chol_h.diagonal().array().log().sum();

  // ½ log|S_λ|₊. A penalty with a block of its own contributes ½ (r_k ρ_k + ℓ_k); penalties that
  // share a block contribute ½ log|Σ λ_k S_k|₊ of that block, whose ρ-derivative is
  // ½ λ_k tr((Σ λ_j S_j)⁺ S_k) in place of ½ r_k.
  double half_log_det_s = 0.0;
  Vector log_det_s_gradient(k_count);  // ∂ ½ log|S_λ|₊ / ∂ρ_k
  std::vector<bool> shared(static_cast<std::size_t>(k_count), false);
  for (const SharedPenaltyBlock& block : criterion.shared_blocks) {
    const SharedBlockLogDet part = shared_block_log_det(block, penalties, lambda);
    half_log_det_s += 0.5 * part.log_det;
    for (std::size_t j = 0; j < block.count; ++j) {
      const auto k = static_cast<Eigen::Index>(block.first_penalty + j);
      log_det_s_gradient[k] = 0.5 * part.gradient[static_cast<Eigen::Index>(j)];
      shared[static_cast<std::size_t>(k)] = true;
    }
  }
  for (Eigen::Index k = 0; k < k_count; ++k) {
    const auto uk = static_cast<std::size_t>(k);
    if (shared[uk]) continue;
    half_log_det_s +=
        0.5 * (static_cast<double>(criterion.ranks[uk]) * rho[k] + criterion.log_dets[uk]);
    log_det_s_gradient[k] = 0.5 * static_cast<double>(criterion.ranks[uk]);
  }

  const double dp = fit.deviance + q_lambda;
  const double n = static_cast<double>(fit.n);
  const double p = static_cast<double>(fit.p);
  const double mp = static_cast<double>(criterion.null_space_dim);
  if (criterion.sentinel &&
      (fit.deviance <= 0.0 || dp <= 0.0 || (p - t_lambda) >= n || (n - mp) <= 0.0)) {
    return ScoreEval{kSentinelValue, Vector::Zero(k_count)};
  }

  double phi = 1.0;
  if (criterion.scale == ScaleRule::kProfiled) {
    phi = std::max(dp / std::max(n - mp, 1.0), kScaleFloor);
  } else if (criterion.scale == ScaleRule::kGamma) {
    phi = gamma_scale(dp, n, mp);
  }
  const double l0 = criterion.saturated.value(phi);
  const double value = 0.5 * log_det_h + dp / (2.0 * phi) - 0.5 * mp * (kLog2Pi + std::log(phi)) -
                       half_log_det_s - l0;

  Vector gradient(k_count);
  for (Eigen::Index k = 0; k < k_count; ++k) {
    gradient[k] = 0.5 * lambda[k] * t[k] + lambda[k] * q[k] / (2.0 * phi) - log_det_s_gradient[k];
  }
  if (fit.correction) {
    // Observed-information fits: the trace comes from H_α and the weights move with η, so
    // dV/dρ_k gains ½ Σ_i h_i α′_i dη_i/dρ_k.
    const auto& c = *fit.correction;
    const Vector ab = c.a.cwiseProduct(c.b);
    for (Eigen::Index k = 0; k < k_count; ++k) {
      gradient[k] = 0.5 * c.trace[k] + lambda[k] * q[k] / (2.0 * phi) - log_det_s_gradient[k] +
                    0.5 * ab.dot(c.c.col(k));
    }
  }
  return ScoreEval{value, std::move(gradient)};
}

Result<ScoreEval> envelope_score(const ScoreSpec& criterion, const InnerFitFn& inner_fit,
                                 const Vector& rho, const Vector* start_eta) {
  ZELKI_TRY(const inner::InnerFit fit, inner_fit(rho, start_eta));
  return score_from_fit(criterion, fit, rho);
}

Result<ScoreWithHessian> score_with_hessian(const ScoreSpec& criterion, const InnerFitFn& inner_fit,
                                            const Vector& rho, const Vector* start_eta) {
  ZELKI_TRY(inner::InnerFit centre_fit, inner_fit(rho, start_eta));
  ScoreEval centre = score_from_fit(criterion, centre_fit, rho);
  const Vector* warm = centre_fit.eta.size() > 0 ? &centre_fit.eta : nullptr;
  const Eigen::Index k_count = centre.gradient.size();
  Matrix hessian(k_count, k_count);
  for (Eigen::Index j = 0; j < k_count; ++j) {
    Vector plus = rho;
    Vector minus = rho;
    plus[j] += kHessianStep;
    minus[j] -= kHessianStep;
    ZELKI_TRY(const ScoreEval up, envelope_score(criterion, inner_fit, plus, warm));
    ZELKI_TRY(const ScoreEval down, envelope_score(criterion, inner_fit, minus, warm));
    hessian.col(j) = (up.gradient - down.gradient) / (2.0 * kHessianStep);
  }
  const Matrix symmetric = 0.5 * (hessian + hessian.transpose());
  return ScoreWithHessian{centre.value, std::move(centre.gradient), symmetric,
                          std::move(centre_fit.eta)};
}

}  // namespace zelki::score
