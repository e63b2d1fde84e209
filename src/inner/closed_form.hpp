// Penalised least squares of the Gaussian family at fixed log smoothing parameters, from cross
// products formed once per fit: each call costs one p×p factorisation and one pass over X.
#pragma once

#include <span>

#include "common/eigen.hpp"
#include "common/result.hpp"
#include "inner/inner_fit.hpp"

namespace zelki::inner {

// A Gaussian problem. It borrows its data: the caller keeps X, y, the cross products and the
// penalties alive for as long as the problem is used.
struct GaussianProblem {
  std::span<const Matrix> penalties;  // S₀ … S_{m−1}, each p×p
  const Matrix* x = nullptr;          // n×p model matrix, column 0 the intercept
  const Vector* y = nullptr;          // response, length n
  const Matrix* xtwx = nullptr;       // XᵀWX with W = diag(prior weights), or XᵀX
  const Vector* xtwy = nullptr;       // XᵀWy, or Xᵀy
  const Vector* weights = nullptr;    // prior weights, length n; nullptr means all ones
};

// β̂ = (XᵀWX + S_λ)⁻¹XᵀWy (with the 1e-12 relative ridge of the solve), η = μ = Xβ̂ and the
// weighted residual sum of squares as deviance and Pearson statistic. rho holds at least one
// entry per penalty. A failed factorisation returns its SingularSystem error unchanged.
Result<InnerFit> closed_form_fit(const GaussianProblem& problem, const Vector& rho);

}  // namespace zelki::inner
