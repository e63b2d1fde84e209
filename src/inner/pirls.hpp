// Penalised iteratively re-weighted least squares with step halving: the coefficients of a
// non-Gaussian model at fixed log smoothing parameters, one instance per family.
#pragma once

#include <cstddef>
#include <span>

#include "common/eigen.hpp"
#include "common/result.hpp"
#include "family/family.hpp"
#include "inner/inner_fit.hpp"

namespace zelki::inner {

// A PIRLS problem. It borrows its data: the caller keeps X, y, the weights, the starting
// predictor and the penalties alive while the problem is used. The family and its parameters
// are passed to pirls() separately.
struct PirlsProblem {
  std::span<const Matrix> penalties;    // S₀ … S_{m−1}, each p×p
  const Matrix* x = nullptr;            // n×p model matrix
  const Vector* y = nullptr;            // response, length n
  const Vector* weights = nullptr;      // prior weights, length n; nullptr means all ones
  const Vector* initial_eta = nullptr;  // starting η, length n or 1 (one value for every row)
  // Iteration limit; 0 returns the starting point with the factor of Xᵀdiag(w)X + S_λ.
  std::size_t max_iter = 50;
  // Stop when the relative change of the unpenalised deviance falls below tol.
  double tol = 1e-9;
};

// Minimises D(β) + βᵀS_λβ, S_λ = Σ_k exp(ρ_k) S_k, by weighted least-squares solves of
// (XᵀWX + S_λ)β = XᵀWz, halving each step until the penalised deviance does not rise by more
// than a rounding threshold. A failed factorisation returns SingularSystem with the text
// "PIRLS factor: " before the factorisation message. For the inverse-Gaussian family the result
// also carries log|H_α| and the per-penalty gradient correction of the observed information.
template <family::Family F>
Result<InnerFit> pirls(const F& family, const PirlsProblem& problem, const Vector& rho);

// The same, dispatched on the family held by the variant.
Result<InnerFit> pirls(const family::ExponentialFamily& family, const PirlsProblem& problem,
                       const Vector& rho);

#define ZELKI_PIRLS_INSTANCE(F) \
  extern template Result<InnerFit> pirls<F>(const F&, const PirlsProblem&, const Vector&);
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
