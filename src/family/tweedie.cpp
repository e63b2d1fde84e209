#include "family/tweedie.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <vector>

#include "common/gamma_functions.hpp"
#include "family/family.hpp"

namespace zelki::family {

namespace {

// The series works with φ̃ = max(φ, 1e-12) so that ln φ̃ is finite.
constexpr double kSeriesPhiFloor = 1e-12;
// Terms more than 2⁻¹⁰⁴ below the mode term are dropped: 104 ln 2. Beyond the relative
// precision of a double by a wide margin, so the cut changes nothing in the sum.
constexpr double kSeriesCut = 72.0873067782343;
// The plain density sums at most 1001 terms past the mode; the derivative pass runs up to
// this index. The cut ends both far earlier for every realistic (y, φ, p).
constexpr std::int64_t kDensityTermsPastMode = 1001;
constexpr std::int64_t kDerivativeMaxIndex = 9999999;
// The table of index-dependent parts reaches 64 indices past the largest mode.
constexpr std::int64_t kTableMargin = 64;
// Above this the table would cost more memory than it saves time; larger indices are computed
// directly.
constexpr std::int64_t kMaxTabulated = std::int64_t{1} << 20;
// Modes are capped so that the index arithmetic stays exact in 64-bit integers and doubles.
constexpr double kMaxModeIndex = 9007199254740992.0;  // 2⁵³

// The y-independent constants of the series at (φ, p):
//   α = (2 − p)/(1 − p) < 0,  g = ln φ̃/(1 − p) + α ln(p − 1) − ln(2 − p),
//   ∂g/∂p = (ln φ̃ + ln(p − 1))/(1 − p)² − α/(1 − p) + 1/(2 − p).
struct SeriesConstants {
  double p;
  double phi;
  double alpha;
  double g;
  double dg_dp;
  double inv_one_minus_p_sq;  // 1/(1 − p)² = ∂α/∂p
};

SeriesConstants series_constants(double phi, double p) {
  SeriesConstants c{};
  c.p = p;
  c.phi = std::max(phi, kSeriesPhiFloor);
  c.alpha = (2.0 - p) / (1.0 - p);
  const double log_phi = std::log(c.phi);
  const double log_pm1 = std::log(p - 1.0);
  c.g = log_phi / (1.0 - p) + c.alpha * log_pm1 - std::log(2.0 - p);
  c.inv_one_minus_p_sq = 1.0 / ((1.0 - p) * (1.0 - p));
  c.dg_dp = (log_phi + log_pm1) * c.inv_one_minus_p_sq - c.alpha / (1.0 - p) + 1.0 / (2.0 - p);
  return c;
}

// j* = ⌊y^(2−p)/((2 − p)φ̃)⌋, the index of the largest term; NaN counts as 0.
std::int64_t mode_index(double y, const SeriesConstants& c) {
  const double j = std::floor(std::pow(y, 2.0 - c.p) / ((2.0 - c.p) * c.phi));
  if (!(j >= 0.0)) return 0;
  return static_cast<std::int64_t>(std::min(j, kMaxModeIndex));
}

// The index-dependent parts of L_j = a_j + j·(g − α ln y) and ∂L_j/∂p:
//   a_j = −ln Γ(j + 1) − ln Γ(−α j),   b_j = ψ(−α j)/(1 − p)².
// Tabulated for j = 1 … J, computed directly beyond.
class IndexParts {
 public:
  IndexParts(const SeriesConstants& c, std::int64_t count, bool with_derivative) : c_(c) {
    const auto size = static_cast<std::size_t>(std::clamp<std::int64_t>(count, 0, kMaxTabulated));
    a_.resize(size);
    if (with_derivative) b_.resize(size);
    for (std::size_t i = 0; i < size; ++i) {
      const auto j = static_cast<double>(i + 1);
      a_[i] = direct_a(j);
      if (with_derivative) b_[i] = direct_b(j);
    }
  }

  double a(std::int64_t j) const {
    const auto i = static_cast<std::size_t>(j - 1);
    return i < a_.size() ? a_[i] : direct_a(static_cast<double>(j));
  }
  double b(std::int64_t j) const {
    const auto i = static_cast<std::size_t>(j - 1);
    return i < b_.size() ? b_[i] : direct_b(static_cast<double>(j));
  }

 private:
  double direct_a(double j) const { return -ln_gamma(j + 1.0) - ln_gamma(-c_.alpha * j); }
  double direct_b(double j) const { return digamma(-c_.alpha * j) * c_.inv_one_minus_p_sq; }

  SeriesConstants c_;
  std::vector<double> a_;
  std::vector<double> b_;
};

// The series of one y > 0. S = Σ exp(L_j − L_max) over the kept indices, with the
// e^{L_j}-weighted means of j and ∂L_j/∂p when derivatives are asked for.
struct SeriesSum {
  double log_w = 0.0;
  double mean_index = 0.0;
  double mean_dl_dp = 0.0;
};

template <bool kDerivatives>
SeriesSum sum_series(double y, const SeriesConstants& c, const IndexParts& parts) {
  const double log_y = std::log(y);
  const double slope = c.g - c.alpha * log_y;  // L_j = a_j + j·slope
  // ∂L_j/∂p = j·(∂g/∂p − ln y/(1 − p)²) + j·b_j
  const double dslope_dp = c.dg_dp - log_y * c.inv_one_minus_p_sq;
  const std::int64_t mode = mode_index(y, c);
  const std::int64_t k = std::max<std::int64_t>(mode, 1);
  const double l_max = parts.a(k) + static_cast<double>(k) * slope;
  const double threshold = l_max - kSeriesCut;

  double s = 0.0;
  double s_index = 0.0;
  double s_dl_dp = 0.0;
  const auto add = [&](std::int64_t j, double l) {
    const double e = std::exp(l - l_max);
    s += e;
    if constexpr (kDerivatives) {
      const auto jd = static_cast<double>(j);
      s_index += jd * e;
      s_dl_dp += jd * (dslope_dp + parts.b(j)) * e;
    }
  };
  const std::int64_t last = kDerivatives ? kDerivativeMaxIndex : k + kDensityTermsPastMode;
  for (std::int64_t j = k; j <= std::max(last, k); ++j) {
    const double l = parts.a(j) + static_cast<double>(j) * slope;
    add(j, l);
    if (l < threshold) break;
  }
  if (mode > 1) {
    for (std::int64_t j = k - 1; j >= 1; --j) {
      const double l = parts.a(j) + static_cast<double>(j) * slope;
      add(j, l);
      if (l < threshold) break;
    }
  }
  SeriesSum out;
  out.log_w = l_max + std::log(s);
  if constexpr (kDerivatives) {
    out.mean_index = s_index / s;
    out.mean_dl_dp = s_dl_dp / s;
  }
  return out;
}

// J = 64 + max(1, the largest mode over the positive responses).
std::int64_t table_size(const Vector& y, const SeriesConstants& c) {
  std::int64_t largest = 1;
  for (const double v : y) {
    if (v > 0.0) largest = std::max(largest, mode_index(v, c));
  }
  return std::min(largest, kMaxTabulated) + kTableMargin;
}

}  // namespace

TweedieShape tweedie_shape_from(double theta1, double theta2) {
  TweedieShape shape;
  const double phi = std::exp(theta1);
  shape.phi_at_bound = !(phi > kTweediePhiMin);
  shape.phi = shape.phi_at_bound ? kTweediePhiMin : phi;
  const double p = 1.0 + 1.0 / (1.0 + std::exp(-theta2));
  shape.p_at_bound = !(p >= kTweediePMin && p <= kTweediePMax);
  shape.p = std::clamp(p, kTweediePMin, kTweediePMax);
  return shape;
}

double tweedie_log_density(double y, double phi, double p) {
  if (!(y > 0.0)) return 0.0;
  const SeriesConstants c = series_constants(phi, p);
  const IndexParts direct(c, 0, false);
  const double t = std::pow(y, 2.0 - p);
  return t / ((1.0 - p) * (2.0 - p) * c.phi) - std::log(y) + sum_series<false>(y, c, direct).log_w;
}

double tweedie_saturated(const Vector& y, double phi, double p) {
  const SeriesConstants c = series_constants(phi, p);
  const IndexParts parts(c, table_size(y, c), false);
  const double power_scale = 1.0 / ((1.0 - p) * (2.0 - p) * c.phi);
  double total = 0.0;
  for (const double v : y) {
    if (!(v > 0.0)) continue;
    total +=
        std::pow(v, 2.0 - p) * power_scale - std::log(v) + sum_series<false>(v, c, parts).log_w;
  }
  return total;
}

TweedieShapeDerivatives tweedie_shape_derivatives(const Vector& y, const Vector& mu,
                                                  const Vector* w, double p, double phi) {
  const SeriesConstants c = series_constants(phi, p);
  const IndexParts parts(c, table_size(y, c), true);
  const double one_minus_p = 1.0 - p;
  const double two_minus_p = 2.0 - p;
  const double power_scale = 1.0 / (one_minus_p * two_minus_p * c.phi);
  // ∂/∂p [1/((1 − p)(2 − p))] · (1 − p)(2 − p) = 1/(1 − p)² − 1/(2 − p)² in product form.
  const double dscale_ratio = c.inv_one_minus_p_sq - 1.0 / (two_minus_p * two_minus_p);
  TweedieShapeDerivatives out;
  for (Eigen::Index i = 0; i < y.size(); ++i) {
    const double v = y[i];
    const double m = floor_mean(mu[i]);
    const double log_m = std::log(m);
    const double m_1mp = std::pow(m, one_minus_p);
    const double m_2mp = m * m_1mp;
    // ∂d/∂p = 2[(y m^(1−p) ln m − y^(2−p) ln y)/(1 − p) + (y^(2−p) ln y − m^(2−p) ln m)/(2 − p)
    //          + (y^(2−p) − y m^(1−p))/(1 − p)² − (y^(2−p) − m^(2−p))/(2 − p)²],
    // the terms with y^(2−p) or ln y being 0 for y ≤ 0.
    double t = 0.0;
    double t_log_y = 0.0;
    if (v > 0.0) {
      const double log_y = std::log(v);
      t = std::pow(v, two_minus_p);
      t_log_y = t * log_y;
      const SeriesSum series = sum_series<true>(v, c, parts);
      out.dlogw_dlogphi += series.mean_index / one_minus_p;
      out.dlogw_dp += series.mean_dl_dp;
      out.power_term += t * power_scale;
      out.dpower_term_dp += (t / c.phi) * (dscale_ratio - log_y / (one_minus_p * two_minus_p));
    }
    const double y_m = (v > 0.0) ? v * m_1mp : 0.0;
    const double dd =
        2.0 * ((y_m * log_m - t_log_y) / one_minus_p + (t_log_y - m_2mp * log_m) / two_minus_p +
               (t - y_m) * c.inv_one_minus_p_sq - (t - m_2mp) / (two_minus_p * two_minus_p));
    out.ddeviance_dp += (w == nullptr) ? dd : (*w)[i] * dd;
  }
  return out;
}

}  // namespace zelki::family
