// The Tweedie family's shape parameters in the joint criterion: the transform from the joint
// vector with its bounds, the saturated log-density by the series of its compound Poisson–gamma
// representation, and the analytic derivatives of that log-density in ln φ and p.
#pragma once

#include "common/eigen.hpp"

namespace zelki::family {

// Bounds of the transform. φ is floored so that ln φ and 1/φ stay finite; p is kept away from 1
// (the Poisson limit, where the series needs ever more terms) and from 2 (the gamma limit, where
// α = (2 − p)/(1 − p) vanishes and the series degenerates).
inline constexpr double kTweediePhiMin = 1e-6;
inline constexpr double kTweediePMin = 1.05;
inline constexpr double kTweediePMax = 1.95;

struct TweedieShape {
  double p = 1.5;
  double phi = 1.0;
  // Where a bound holds, the shape value does not move with its coordinate: dp/dθ₂ = 0 or
  // dφ/d ln φ = 0 there.
  bool p_at_bound = false;
  bool phi_at_bound = false;
};

// φ = max(exp θ₁, 1e-6); p = 1 + 1/(1 + exp(−θ₂)), clamped to [1.05, 1.95].
TweedieShape tweedie_shape_from(double theta1, double theta2);

// ℓ(y; φ, p) = y^(2−p)/((1 − p)(2 − p)φ̃) − ln y + ln W(y), the log-density at μ = y, with
// W = Σ_{j≥1} exp(L_j) summed outward from its largest term; 0 for y ≤ 0. φ̃ = max(φ, 1e-12).
double tweedie_log_density(double y, double phi, double p);

// Σ_i ℓ(y_i; φ, p) over all observations, unweighted. The index-dependent parts of L_j are
// tabulated once and shared by every observation; results agree with the row-by-row
// tweedie_log_density to rounding.
double tweedie_saturated(const Vector& y, double phi, double p);

// Sums over the observations of the pieces of the analytic shape gradient (zero contributions
// from y_i ≤ 0 in the first four).
struct TweedieShapeDerivatives {
  double dlogw_dlogphi = 0.0;   // Σ ∂ ln W_i/∂ ln φ
  double dlogw_dp = 0.0;        // Σ ∂ ln W_i/∂p
  double power_term = 0.0;      // Σ y_i^(2−p)/((1 − p)(2 − p)φ)
  double dpower_term_dp = 0.0;  // Σ ∂/∂p [y_i^(2−p)/((1 − p)(2 − p)φ)]
  double ddeviance_dp = 0.0;    // ∂D/∂p at fixed μ, D = Σ w_i d(y_i, μ_i)
};

// w may be nullptr (all prior weights 1).
TweedieShapeDerivatives tweedie_shape_derivatives(const Vector& y, const Vector& mu,
                                                  const Vector* w, double p, double phi);

}  // namespace zelki::family
