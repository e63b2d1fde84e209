// Shared data and dense reference computations of the design tests.
#pragma once

#include <cmath>
#include <string>

#include "common/eigen.hpp"
#include "common/error.hpp"
#include "common/result.hpp"

namespace zelki::design::design_test {

// n covariate values spread unevenly over about [−1, 2], all distinct, in no particular order.
inline Matrix covariate(Eigen::Index n) {
  Matrix x(n, 1);
  for (Eigen::Index i = 0; i < n; ++i) {
    const double u = static_cast<double>(i) / static_cast<double>(n - 1);
    x(i, 0) = 3.0 * u * u - 1.0 + 0.01 * std::sin(17.0 * static_cast<double>(i));
  }
  return x;
}

// A smooth signal plus deterministic wiggles, so that no model matrix fits it exactly.
inline Vector response(const Matrix& x) {
  Vector y(x.rows());
  for (Eigen::Index i = 0; i < x.rows(); ++i) {
    y[i] = std::sin(3.0 * x(i, 0)) + 0.3 * std::cos(11.0 * static_cast<double>(i));
  }
  return y;
}

// Fitted values of the penalised least-squares problem min ‖y − Xβ‖² + λ βᵀSβ, by a dense
// solve of the normal equations (XᵀX + λS) β = Xᵀy; λ = 0 with S = 0 is ordinary least squares.
inline Vector penalised_fitted_values(const Matrix& x, const Matrix& s, double lambda,
                                      const Vector& y) {
  const Matrix a = x.transpose() * x + lambda * s;
  const Vector beta = a.colPivHouseholderQr().solve(x.transpose() * y);
  return x * beta;
}

// Residual of the least-squares projection of v onto the columns of a, relative to ‖v‖.
inline double relative_projection_residual(const Matrix& a, const Vector& v) {
  const Vector coef = a.colPivHouseholderQr().solve(v);
  return (v - a * coef).norm() / v.norm();
}

// The message of an InvalidParameter or Linalg error, or a marker when there is none.
template <class T>
std::string error_message(const Result<T>& result) {
  if (result.has_value()) return "<no error>";
  if (const auto* e = std::get_if<InvalidParameter>(&result.error())) return e->message;
  if (const auto* e = std::get_if<Linalg>(&result.error())) return "Linalg: " + e->message;
  return "<other error: " + display(result.error()) + ">";
}

}  // namespace zelki::design::design_test
