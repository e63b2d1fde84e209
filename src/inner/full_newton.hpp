// The coefficients of an ordered-categorical model at fixed log smoothing parameters and fixed
// thresholds: Newton's method on the penalised deviance, written as weighted least squares with
// the deviance's second derivatives as weights, and step halving.
#pragma once

#include <cstddef>
#include <span>

#include "common/eigen.hpp"
#include "common/result.hpp"
#include "family/ocat.hpp"
#include "inner/inner_fit.hpp"

namespace zelki::inner {

// An ordered-categorical problem. It borrows its data: the caller keeps X, y, the weights, the
// starting predictor and the penalties alive while the problem is used.
struct FullNewtonProblem {
  std::span<const Matrix> penalties;    // S₀ … S_{m−1}, each p×p
  const Matrix* x = nullptr;            // n×p model matrix
  const Vector* y = nullptr;            // categories 1 … K (rounded and clamped)
  family::OcatIdentity family;          // K and the thresholds, fixed for the call
  const Vector* weights = nullptr;      // prior weights, length n; nullptr means all ones
  const Vector* initial_eta = nullptr;  // starting η, length n or 1; nullptr: interval midpoints
  // Stop when the largest coefficient change of an accepted step falls below tol (from the
  // second iteration on).
  double tol = 1e-9;
  std::size_t max_iter = 50;
};

// Minimises D(β) + βᵀS_λβ by solves of (XᵀWX + S_λ)β = XᵀWz with W = max(½ w d″, 1e-12) and
// z = η − d′/max(d″, 1e-12), halving a step (up to 100 times) while the penalised deviance is
// not finite or rises by more than a rounding threshold. The factor, weights and working
// response returned are recomputed at the returned η. A failed factorisation (no ridge) returns
// its SingularSystem "Cholesky failed: …" unchanged.
Result<InnerFit> full_newton_fit(const FullNewtonProblem& problem, const Vector& rho);

}  // namespace zelki::inner
