// The cubic regression spline term rotated into the eigenbasis of its penalty ("cr_stable"):
// the same column space and penalised fit as "cr", with a diagonal penalty.
#pragma once

#include <cstddef>

#include "common/eigen.hpp"
#include "common/result.hpp"
#include "design/design.hpp"

namespace zelki::design {

struct StableReparam {
  Matrix reparam_v;  // V, q×q orthogonal, columns ordered by decreasing eigenvalue of S_c
  Matrix penalty;    // Vᵀ S_c V: diagonal up to rounding, non-increasing
};

// The eigenbasis of inner_penalty, which must be q×q. Fails with InvalidParameter on a shape
// mismatch and with Linalg when the eigen-decomposition fails.
Result<StableReparam> stable_reparam(const Matrix& inner_penalty, Eigen::Index q);

struct CrStableTerm {
  Vector knots;      // the k knots of the basis
  Matrix centring;   // Z, k×(k−1)
  Matrix reparam_v;  // V, (k−1)×(k−1)
  Matrix block;      // X_s = (B·Z)·V, n×(k−1)
  Matrix penalty;    // S_s = Vᵀ S_c V
};

// The term of column `column` of x (which must exist) with basis size k.
Result<CrStableTerm> cr_stable_term(const Matrix& x, std::size_t column, std::size_t k);

// [1 | X_s] with the embedded penalty: p = k.
Result<Design> cr_stable_design(const Matrix& x, std::size_t k);

}  // namespace zelki::design
