// Log-gamma, digamma and trigamma for the saturated likelihood terms and the shape parameters.
#pragma once

namespace zelki {

// ln Γ(x) by the Lanczos approximation (g = 7, nine coefficients), with the reflection
// formula below x = 0.5.
double ln_gamma(double x);

// ψ(x) = d ln Γ/dx: upward recurrence to x ≥ 6, then the asymptotic series.
double digamma(double x);

// ψ′(x): upward recurrence to x ≥ 6, then the asymptotic series.
double trigamma(double x);

}  // namespace zelki
