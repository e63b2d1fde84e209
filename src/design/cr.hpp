// The centred, scaled cubic regression spline term of one covariate column and the "cr" design.
#pragma once

#include <cstddef>

#include "common/eigen.hpp"
#include "common/result.hpp"
#include "design/design.hpp"

namespace zelki::design {

// A cubic regression spline term under the sum-to-zero constraint.
struct CrTerm {
  Vector knots;     // the k knots of the basis
  Matrix centring;  // Z, k×(k−1), orthonormal columns orthogonal to the basis column sums
  Matrix block;     // X_c = B·Z, n×(k−1)
  Matrix penalty;   // S_c = Zᵀ S′ Z, (k−1)×(k−1), S′ the penalty scaled to the basis
};

// The pieces a centred cubic regression spline is built from: the knots, the basis evaluated at
// the data (n×k), the centring Z and the centred, scaled penalty.
struct CrPieces {
  Vector knots;
  Matrix basis;
  Matrix centring;
  Matrix penalty;
};
Result<CrPieces> cr_pieces(const Matrix& x, std::size_t column, std::size_t k);

// The term of column `column` of x (which must exist) with basis size k. Fails when the knots
// cannot be placed (k < 3, a column with a single distinct value).
Result<CrTerm> cr_term(const Matrix& x, std::size_t column, std::size_t k);

// [1 | X_c] with the embedded penalty: p = k, penalty rank k − 2 and a two-dimensional null
// space (the intercept and the straight line through the centred term).
Result<Design> cr_design(const Matrix& x, std::size_t k);

}  // namespace zelki::design
