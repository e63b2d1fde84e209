// The REML/LAML criterion in the log smoothing parameters ρ, its envelope gradient (coefficients
// and working weights held at the inner solution) and a central-difference Hessian.
#pragma once

#include <cstddef>
#include <functional>
#include <vector>

#include "common/eigen.hpp"
#include "common/result.hpp"
#include "inner/inner_fit.hpp"

namespace zelki::score {

// How the scale φ enters the criterion.
enum class ScaleRule {
  kFixed,     // φ = 1 (Poisson, Bernoulli, quantile)
  kProfiled,  // φ̂ = max(D_p / (n − M_p), 1e-8) (Gaussian, quasi families, inverse Gaussian)
  kGamma,     // φ̂ solves the Gamma criterion's stationarity equation by Newton's method
};

// The saturated log-likelihood l₀(φ) = constant + a φ-dependent part over n observations.
struct SaturatedTerm {
  enum class Kind {
    kConstant,  // l₀ = constant
    kGaussian,  // l₀ = constant − (n/2) ln(2πφ)
    kGamma,     // l₀ = constant + n (ν ln ν − ν − ln Γ(ν)), ν = 1/φ
  };
  Kind kind = Kind::kConstant;
  double constant = 0.0;
  double n = 0.0;
  double value(double phi) const;
};

// Penalties first_penalty … first_penalty + count − 1 act on the coefficient block
// [first_col, first_col + width) together; `rank` is the rank of their sum.
struct SharedPenaltyBlock {
  std::size_t first_penalty = 0;
  std::size_t count = 0;
  Eigen::Index first_col = 0;
  Eigen::Index width = 0;
  std::size_t rank = 0;
};

// What the criterion reads besides the inner fit.
struct ScoreSpec {
  const std::vector<Matrix>* penalties = nullptr;  // S_k, each p×p
  std::vector<std::size_t> ranks;                  // r_k
  std::vector<double> log_dets;                    // ℓ_k, log pseudo-determinants
  std::size_t null_space_dim = 0;                  // M_p
  // Overlapping penalties: log|S_λ|₊ of each block is taken from the weighted sum itself.
  std::vector<SharedPenaltyBlock> shared_blocks;
  ScaleRule scale = ScaleRule::kFixed;
  bool sentinel = false;  // degenerate fits give 1e12 with a zero gradient
  SaturatedTerm saturated;
};

struct ScoreEval {
  double value = 0.0;
  Vector gradient;
};

struct ScoreWithHessian {
  double value = 0.0;
  Vector gradient;
  Matrix hessian;
  Vector eta;  // linear predictor of the inner fit at ρ (empty if the fit does not report it)
};

// The inner fit at ρ. An iterative fit may start from start_eta (nullptr: its own start); the
// optimum does not depend on the start, only the number of iterations does.
using InnerFitFn =
    std::function<Result<inner::InnerFit>(const Vector& rho, const Vector* start_eta)>;

// Criterion value and gradient from an inner fit made at ρ.
ScoreEval score_from_fit(const ScoreSpec& criterion, const inner::InnerFit& fit, const Vector& rho);

// Runs the inner fit at ρ and scores it.
Result<ScoreEval> envelope_score(const ScoreSpec& criterion, const InnerFitFn& inner_fit,
                                 const Vector& rho, const Vector* start_eta = nullptr);

// Adds the Hessian as central differences (step 1e-5) of the gradient, symmetrised. The
// perturbed inner fits start from the linear predictor of the fit at ρ, which they differ from
// by O(1e-5): they then converge in the minimum of iterations.
Result<ScoreWithHessian> score_with_hessian(const ScoreSpec& criterion, const InnerFitFn& inner_fit,
                                            const Vector& rho, const Vector* start_eta = nullptr);

// The Gamma scale: the root of M_p φ + 2n (ln φ + ψ(1/φ)) + D_p by safeguarded Newton steps.
double gamma_scale(double penalised_deviance, double n, double null_space_dim);

}  // namespace zelki::score
