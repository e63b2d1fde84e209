// Effective degrees of freedom and the posterior covariance at the chosen smoothing parameters.
#pragma once

#include <vector>

#include "common/eigen.hpp"
#include "inner/inner_fit.hpp"
#include "score/envelope.hpp"

namespace zelki::outer {

struct FinalQuantities {
  double edf_total = 0.0;  // tr(H⁻¹ XᵀWX)
  Vector edf_per_term;     // c_k − λ_k tr(H⁻¹ S_k), c_k the rows of S_k that are not all zero
  Matrix h_inv;            // H⁻¹
};

// Penalties that share one coefficient block (a tensor term's margins) share that block's
// effective degrees of freedom, tr over the block of H⁻¹XᵀWX, equally: counting each penalty's
// touched rows would count the block once per penalty.
FinalQuantities final_quantities(const inner::InnerFit& fit, const std::vector<Matrix>& penalties,
                                 const Vector& rho,
                                 const std::vector<score::SharedPenaltyBlock>& shared_blocks = {});

// scale·H⁻¹, or H⁻¹ itself when the scale is 1 or NaN.
Matrix scaled_covariance(Matrix h_inv, double scale);

}  // namespace zelki::outer
