// Weighted cross-products XᵀWX and XᵀWz in one blocked pass over the rows of X, without
// materialising the p×n matrix XᵀW.
#pragma once

#include "common/eigen.hpp"

namespace zelki::inner {

struct WeightedCross {
  Matrix xtwx;  // XᵀWX, both triangles filled
  Vector xtwz;  // XᵀWz
};

// XᵀWX and XᵀWz for W = diag(w). Negative weights are allowed (the observed-information
// weights of the inverse-Gaussian fit can be negative).
WeightedCross weighted_cross(const Matrix& x, const Vector& w, const Vector& z);

// XᵀWX alone.
Matrix weighted_gram(const Matrix& x, const Vector& w);

}  // namespace zelki::inner
