#include "outer/newton.hpp"

#include <cmath>
#include <limits>

#include "linalg/dense.hpp"

namespace zelki::outer {

namespace {
constexpr double kEigenFloor = 1e-8;
// A trial must improve the value by more than this relative amount to be accepted.
constexpr double kRelativeDecrease = 1e-10;
}  // namespace

double max_abs_skip_nan(const Vector& v) {
  double m = 0.0;
  for (Eigen::Index i = 0; i < v.size(); ++i) {
    if (!std::isnan(v[i])) m = std::max(m, std::abs(v[i]));
  }
  return m;
}

Matrix condition_hessian(const Matrix& hessian) {
  const Eigen::Index k = hessian.rows();
  if (k == 0) return hessian;
  if (k == 1) {
    Matrix out = hessian;
    out(0, 0) = std::max(out(0, 0), kEigenFloor);
    return out;
  }
  const Matrix symmetric = 0.5 * (hessian + hessian.transpose());
  auto eigen = linalg::symmetric_eigen(symmetric);
  if (auto* system = std::get_if<linalg::Eigensystem>(&eigen)) {
    const Vector floored = system->values.cwiseMax(kEigenFloor);
    return system->vectors * floored.asDiagonal() * system->vectors.transpose();
  }
  Matrix out = symmetric;
  for (Eigen::Index i = 0; i < k; ++i) out(i, i) = std::max(out(i, i), kEigenFloor);
  return out;
}

Result<NewtonResult> outer_newton(const Evaluator& evaluate, Vector rho0,
                                  const NewtonOptions& options) {
  Vector rho = std::move(rho0);
  ZELKI_TRY(Evaluation current, evaluate(rho));
  double previous_value = std::numeric_limits<double>::infinity();
  std::size_t steps = 0;

  while (true) {
    const double gamma = max_abs_skip_nan(current.gradient);
    const double v = current.value;
    if (gamma < options.gradient_tol * (std::abs(v) + 1.0)) break;
    if (steps >= options.min_steps_for_change &&
        std::abs(v - previous_value) / std::max(std::abs(v), 1.0) < options.relative_change_tol) {
      break;
    }

    // Newton direction on the conditioned Hessian; steepest descent if that system is singular.
    const Vector neg_gradient = -current.gradient;
    auto solved = linalg::lu_solve(condition_hessian(current.hessian), neg_gradient);
    Vector direction =
        std::holds_alternative<Vector>(solved) ? std::get<Vector>(std::move(solved)) : neg_gradient;
    const double longest = max_abs_skip_nan(direction);
    if (longest > options.max_step) direction *= options.max_step / longest;

    const double threshold = v - kRelativeDecrease * std::abs(v);
    bool accepted = false;
    for (double alpha = 1.0; alpha >= options.min_step_factor; alpha *= 0.5) {
      const Vector trial_rho = rho + alpha * direction;
      auto trial = evaluate(trial_rho);
      if (!trial.has_value()) continue;
      if (!std::isfinite(trial->value) || !(trial->value < threshold)) continue;
      previous_value = v;
      rho = trial_rho;
      current = std::move(trial).value();
      ++steps;
      accepted = true;
      break;
    }
    if (!accepted) {
      // No trial decreased the criterion: stop here, converged only under a looser test.
      const bool loose = gamma < options.loose_gradient_tol * (std::abs(v) + 1.0);
      return NewtonResult{std::move(rho), v, std::move(current.gradient), steps + 1, loose};
    }
    if (steps == options.max_steps) {
      return NotConverged{steps, max_abs_skip_nan(current.gradient)};
    }
  }
  return NewtonResult{std::move(rho), current.value, std::move(current.gradient), steps, true};
}

}  // namespace zelki::outer
