// The negative binomial's shape parameter in the joint criterion: its transform from the joint
// vector and the saturated log-likelihood term.
#pragma once

#include "common/eigen.hpp"

namespace zelki::family {

// θ_nb = exp(θ₁): the overdispersion lives on the log scale, so every real θ₁ is admissible.
inline double negbin_theta_from(double theta1) { return std::exp(theta1); }

// l₀ = Σ_i [ln Γ(y_i + θ) − ln Γ(θ) + y_i ln(y_i/(y_i + θ)) + θ ln(θ/(y_i + θ))], the
// log-likelihood at μ = y without its θ-free part −ln Γ(y + 1). Each term is 0 at y_i = 0.
double negbin_saturated(const Vector& y, double theta);

}  // namespace zelki::family
