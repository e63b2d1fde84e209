// The scaled t's shape parameters in the joint criterion: their transform from the joint vector
// and the saturated log-likelihood term.
#pragma once

#include <cmath>
#include <cstddef>

namespace zelki::family {

struct TdistShape {
  double nu = 5.0;
  double sigma2 = 1.0;
};

// σ² = exp(θ₁), ν = 2 + exp(θ₂): ν stays above 2, where the variance is finite.
inline TdistShape tdist_shape_from(double theta1, double theta2) {
  return TdistShape{2.0 + std::exp(theta2), std::exp(theta1)};
}

// l₀ = n [ln Γ((ν + 1)/2) − ln Γ(ν/2) − ½ ln(π ν σ²)], the log-density of the t at a zero
// residual, once per observation.
double tdist_saturated(std::size_t n, double nu, double sigma2);

}  // namespace zelki::family
