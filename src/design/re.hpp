// The random-effect term of one covariate column: an indicator column per distinct value (level)
// with a ridge penalty on the level effects, and the "re" design.
#pragma once

#include <cstddef>
#include <vector>

#include "common/eigen.hpp"
#include "common/result.hpp"
#include "design/design.hpp"

namespace zelki::design {

struct ReTerm {
  std::vector<double> levels;  // the L distinct values, ascending
  Matrix block;                // X_r, n×L indicators
  Matrix penalty;              // I_L
};

// The distinct values of a column, ascending. Values are compared as numbers, so 0.0 and −0.0
// are one level; NaN is never a level. Fails with "Re basis: x is empty" when no level remains.
Result<std::vector<double>> re_levels(const Eigen::Ref<const Vector>& column);

// X[r, m] = 1 when column[r] equals levels[m] (ascending, distinct), else 0. A value equal to no
// level gives a row of zeros.
Matrix re_indicators(const Eigen::Ref<const Vector>& column, const std::vector<double>& levels);

// The term of column `column` of x (which must exist).
Result<ReTerm> re_term(const Matrix& x, std::size_t column);

// [1 | X_r] with penalty diag(0, 1, …, 1): p = L + 1, rank L, log-determinant 0 and the
// intercept as the only unpenalised direction.
Result<Design> re_design(const Matrix& x);

}  // namespace zelki::design
