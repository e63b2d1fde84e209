#include "family/ocat.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <string>

#include "common/assert.hpp"
#include "family/logistic.hpp"

namespace zelki::family {

namespace {

// Smallest normal double: the floor of a category probability before its logarithm.
constexpr double kProbabilityFloor = 2.2250738585072014e-308;
constexpr double kInf = std::numeric_limits<double>::infinity();

struct Interval {
  double lower;  // t = α_{j−1} − η
  double upper;  // u = α_j − η
};

Interval interval_of(const Vector& cut_points, std::size_t category, double eta) {
  return Interval{cut_points[static_cast<Eigen::Index>(category - 1)] - eta,
                  cut_points[static_cast<Eigen::Index>(category)] - eta};
}

}  // namespace

OcatIdentity ocat_identity(std::size_t n_cats, Vector thresholds) {
  ZELKI_ASSERT(n_cats >= 3, "Ocat requires R ≥ 3, got " + std::to_string(n_cats));
  ZELKI_ASSERT(static_cast<std::size_t>(thresholds.size()) == n_cats - 2,
               "Ocat thresholds length must equal n_cats - 2");
  return OcatIdentity{n_cats, std::move(thresholds)};
}

Vector ocat_cut_points(const Vector& thresholds, std::size_t n_cats) {
  const auto k = static_cast<Eigen::Index>(n_cats);
  Vector alpha(k + 1);
  alpha[0] = -kInf;
  alpha[1] = -1.0;
  for (Eigen::Index j = 2; j <= k - 1; ++j) alpha[j] = alpha[j - 1] + std::exp(thresholds[j - 2]);
  alpha[k] = kInf;
  return alpha;
}

std::int64_t ocat_round_label(double y) {
  if (std::isnan(y)) return 0;
  const double r = std::round(y);  // halves away from zero
  // 2⁶³ is exactly representable; every double below it in magnitude converts exactly.
  constexpr double kTwo63 = 9223372036854775808.0;
  if (r >= kTwo63) return std::numeric_limits<std::int64_t>::max();
  if (r < -kTwo63) return std::numeric_limits<std::int64_t>::min();
  return static_cast<std::int64_t>(r);
}

std::size_t ocat_category(double y, std::size_t n_cats) {
  const std::int64_t label = ocat_round_label(y);
  if (label < 1) return 1;
  if (static_cast<std::uint64_t>(label) > n_cats) return n_cats;
  return static_cast<std::size_t>(label);
}

double ocat_interval_probability(double t, double u) {
  if (t == -kInf) return u == kInf ? 1.0 : logistic_cdf(u);
  if (u == kInf) return 1.0 / (1.0 + std::exp(t));  // 1 − F(t); e^t = ∞ gives 0
  const double v = std::exp(-std::abs(t));
  const double w = std::exp(-std::abs(u));
  // Both arguments on one side of 0: a difference of two small tails, each written with
  // e^(−|·|) so that the subtraction loses no more than the ratio of the two tails.
  if (u < 0.0) return w / (w + 1.0) - v / (v + 1.0);
  if (t > 0.0) return (v - w) / ((v + 1.0) * (w + 1.0));
  // t ≤ 0 ≤ u: F(u) − F(t) = (1 − e^t e^(−u)) / ((1 + e^t)(1 + e^(−u))).
  return (1.0 - v * w) / ((v + 1.0) * (w + 1.0));
}

double ocat_probability(const Vector& cut_points, std::size_t category, double eta) {
  const Interval i = interval_of(cut_points, category, eta);
  return ocat_interval_probability(i.lower, i.upper);
}

double ocat_deviance(const OcatIdentity& family, const Vector& y, const Vector& eta,
                     const Vector* weights) {
  ZELKI_ASSERT(eta.size() == y.size(), "ocat_deviance: length mismatch between y and eta");
  ZELKI_ASSERT(weights == nullptr || weights->size() == y.size(),
               "ocat_deviance: weights of the wrong length");
  const Vector alpha = ocat_cut_points(family.thresholds, family.n_cats);
  double total = 0.0;
  for (Eigen::Index i = 0; i < y.size(); ++i) {
    const double p = ocat_probability(alpha, ocat_category(y[i], family.n_cats), eta[i]);
    const double w = weights == nullptr ? 1.0 : (*weights)[i];
    total += -2.0 * w * std::log(std::max(p, kProbabilityFloor));
  }
  return total;
}

OcatDerivatives ocat_derivatives(const OcatIdentity& family, const Vector& y, const Vector& eta) {
  ZELKI_ASSERT(eta.size() == y.size(), "ocat_derivatives: length mismatch between y and eta");
  const Vector alpha = ocat_cut_points(family.thresholds, family.n_cats);
  OcatDerivatives out{Vector(y.size()), Vector(y.size())};
  for (Eigen::Index i = 0; i < y.size(); ++i) {
    const Interval iv = interval_of(alpha, ocat_category(y[i], family.n_cats), eta[i]);
    const double p = std::max(ocat_interval_probability(iv.lower, iv.upper), kProbabilityFloor);
    // t and u both move by −1 with η: P′ = F′(t) − F′(u), P″ = F″(u) − F″(t).
    const double dp = logistic_density(iv.lower) - logistic_density(iv.upper);
    const double d2p =
        logistic_density_derivative(iv.upper) - logistic_density_derivative(iv.lower);
    out.first[i] = -2.0 * dp / p;
    out.second[i] = 2.0 * (dp * dp / p - d2p) / p;
  }
  return out;
}

}  // namespace zelki::family
