// The damped Newton iteration that minimises every smoothing-parameter criterion.
#pragma once

#include <cstddef>
#include <functional>

#include "common/eigen.hpp"
#include "common/result.hpp"

namespace zelki::outer {

struct Evaluation {
  double value = 0.0;
  Vector gradient;
  Matrix hessian;
};

using Evaluator = std::function<Result<Evaluation>(const Vector&)>;

struct NewtonOptions {
  // Converged when max |g_i| < gradient_tol·(|V| + 1).
  double gradient_tol = 5e-7;
  // Converged when |V − V_prev| / max(|V|, 1) < relative_change_tol, after min_steps_for_change
  // accepted steps.
  double relative_change_tol = 1e-7;
  std::size_t min_steps_for_change = 3;
  // Newton steps are shortened to at most this length in their largest coordinate.
  double max_step = 5.0;
  // The line search halves the step until it falls below this fraction (ten trial points).
  double min_step_factor = 0.001;
  // After a failed line search the fit counts as converged if max |g_i| < this·(|V| + 1).
  double loose_gradient_tol = 0.001;
  std::size_t max_steps = 50;
};

struct NewtonResult {
  Vector rho;
  double value = 0.0;
  Vector gradient;
  std::size_t iterations = 0;
  bool converged = false;
};

// Minimises the evaluated criterion from ρ₀. Fails with the first evaluation's error, or with
// NotConverged after max_steps accepted steps.
Result<NewtonResult> outer_newton(const Evaluator& evaluate, Vector rho0,
                                  const NewtonOptions& options = {});

// A positive definite version of a Hessian: eigenvalues floored at 1e-8.
Matrix condition_hessian(const Matrix& hessian);

// max_i |v_i|, NaN entries skipped, 0 for an empty vector.
double max_abs_skip_nan(const Vector& v);

}  // namespace zelki::outer
