// Cubic regression spline basis: natural cubic spline interpolants of unit values at the knots,
// continued linearly outside the knot range, and their integrated squared second derivative.
#pragma once

#include <cstddef>
#include <vector>

#include "common/eigen.hpp"
#include "common/result.hpp"

namespace zelki::basis {

class CrBasis {
 public:
  // Validates a knot vector: at least 3 knots, strictly increasing.
  static Result<CrBasis> from_knots(Vector knots);

  const Vector& knots() const { return knots_; }
  std::size_t k() const { return static_cast<std::size_t>(knots_.size()); }

  // n×k basis matrix at the values of column 0 of x.
  Matrix evaluate(const Matrix& x) const;
  // n×k basis matrix at the given values.
  Matrix evaluate_values(const Eigen::Ref<const Vector>& values) const;

  // Exactly one k×k penalty, Dᵀ B⁻¹ D.
  std::vector<Matrix> penalties() const;

 private:
  explicit CrBasis(Vector knots) : knots_(std::move(knots)) {}
  Vector knots_;
};

// k knots at interpolated quantiles of the distinct values (evenly spaced when there are fewer
// distinct values than knots), validated.
Result<CrBasis> place_knots(const Eigen::Ref<const Vector>& values, std::size_t k);

}  // namespace zelki::basis
