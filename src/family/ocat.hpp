// The ordered-categorical family: a latent logistic variable with location η falls into one of
// K ordered categories between cut points α₀ = −∞ < α₁ = −1 < α₂ < … < α_{K−1} < α_K = +∞,
// so P(category j) = F(α_j − η) − F(α_{j−1} − η) with F the logistic distribution function.
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/eigen.hpp"

namespace zelki::family {

// K categories and the K − 2 thresholds θ: the logarithms of the gaps α_j − α_{j−1} for
// j = 2 … K − 1. The first finite cut point is pinned at −1 because the model matrix carries
// an intercept, which would otherwise trade off against a shift of every cut point.
struct OcatIdentity {
  std::size_t n_cats = 3;
  Vector thresholds;
};

// The family; K ≥ 3 and K − 2 thresholds are internal assertions (the drivers check first).
OcatIdentity ocat_identity(std::size_t n_cats, Vector thresholds);

// α₀ … α_K: −∞, −1, α_{j−1} + exp(θ_{j−2}) for j = 2 … K − 1, +∞.
Vector ocat_cut_points(const Vector& thresholds, std::size_t n_cats);

// y rounded to the nearest integer, halves away from zero, as a signed 64-bit integer:
// saturating beyond its range, 0 for NaN.
std::int64_t ocat_round_label(double y);

// The category 1 … K of a response: its rounded label clamped to that range.
std::size_t ocat_category(double y, std::size_t n_cats);

// F(u) − F(t) for t < u (t = −∞ or u = +∞ allowed), by formulas in e^(−|t|) and e^(−|u|) that
// neither overflow nor cancel catastrophically.
double ocat_interval_probability(double t, double u);

// The probability of each observation's category given η, from precomputed cut points.
double ocat_probability(const Vector& cut_points, std::size_t category, double eta);

// D = Σ_i −2 w_i ln max(P_i, DBL_MIN); absent weights count as ones. Never infinite: a
// probability that underflows is floored at the smallest normal double.
double ocat_deviance(const OcatIdentity& family, const Vector& y, const Vector& eta,
                     const Vector* weights);

// d′_i and d″_i, the first two derivatives of −2 ln P_i in η_i (without prior weights).
struct OcatDerivatives {
  Vector first;
  Vector second;
};
OcatDerivatives ocat_derivatives(const OcatIdentity& family, const Vector& y, const Vector& eta);

}  // namespace zelki::family
