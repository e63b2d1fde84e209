// The coefficients of a quantile (ELF) model at fixed log smoothing parameters: damped Newton
// steps on the penalised ELF objective, each step halved until the objective does not rise.
#pragma once

#include <cstddef>
#include <span>
#include <string_view>

#include "common/eigen.hpp"
#include "common/result.hpp"
#include "family/elf.hpp"
#include "inner/inner_fit.hpp"

namespace zelki::inner {

// An ELF problem. It borrows its data: the caller keeps X, y, the penalties and the starting
// coefficients alive while the problem is used. Prior weights play no part in the objective.
struct ArmijoProblem {
  std::span<const Matrix> penalties;     // S₀ … S_{m−1}, each p×p
  const Matrix* x = nullptr;             // n×p model matrix
  const Vector* y = nullptr;             // response, length n
  family::ElfIdentity family;            // τ, σ, λ of the loss
  const Vector* initial_beta = nullptr;  // starting coefficients, length p; nullptr means zeros
  // Stop when the largest coefficient change of an accepted step falls below tol.
  double tol = 1e-7;
  std::size_t max_iter = 50;
  // Trial points of one line search (step factors 1, ½, …).
  std::size_t max_step_halvings = 20;
};

// F(β) = Σ_i d(y_i, x_iᵀβ) + βᵀS_λβ, or +∞ as soon as one unit deviance is not finite.
double elf_objective(const ArmijoProblem& problem, const Matrix& s_lambda, const Vector& beta);

// Minimises F by Newton steps with the Hessian Xᵀdiag(h)X + S_λ (plus a ridge of 1e-7 of its
// largest diagonal magnitude, at least 1), accepting the first of the halved steps whose
// objective rises by at most 1e-10. The returned factor is that of the ridged Hessian at the
// returned β, with h as working weights. A failed factorisation inside the iteration returns
// SingularSystem "ELF Cholesky: …"; in the final stage "Cholesky failed: …".
Result<InnerFit> armijo_fit(const ArmijoProblem& problem, const Vector& rho);

// The Cholesky factor of A, a failure reported as SingularSystem "{prefix}Cholesky: {LAPACK
// message}" instead of the plain "Cholesky failed: …".
Result<Matrix> cholesky_with_prefix(const Matrix& a, std::string_view prefix);

}  // namespace zelki::inner
