#include "common/special_functions.hpp"

#include <array>
#include <cmath>
#include <numbers>

namespace zelki {

namespace {
// Below this the asymptotic series of ψ and ψ′ (Bernoulli-number terms up to x⁻¹² and x⁻¹³) are
// not accurate to double precision: at x = 10 their first omitted terms, 1/(12 x¹⁴) and
// 7/(6 x¹⁵), are below 1e-15. The recurrences ψ(x) = ψ(x + 1) − 1/x and ψ′(x) = ψ′(x + 1) + 1/x²
// move the argument up.
constexpr double kAsymptoticStart = 10.0;
// Far below zero the recurrence would need unboundedly many steps (and never moves −∞); such
// arguments have no meaningful value here.
constexpr double kLowestRecurrenceStart = -1e7;
}  // namespace

double ln_gamma(double x) {
  constexpr std::array<double, 9> kLanczos = {
      0.99999999999980993,  676.5203681218851,     -1259.1392167224028,
      771.32342877765313,   -176.61502916214059,   12.507343278686905,
      -0.13857109526572012, 9.9843695780195716e-6, 1.5056327351493116e-7};
  constexpr double kHalfLog2Pi = 0.9189385332046727;  // ½ ln 2π
  if (x < 0.5) {
    // Reflection: Γ(x) Γ(1 − x) = π / sin(πx); the logarithm of |Γ| for negative x, where
    // sin(πx) may be negative.
    return std::log(std::numbers::pi / std::abs(std::sin(std::numbers::pi * x))) -
           ln_gamma(1.0 - x);
  }
  const double z = x - 1.0;
  double a = kLanczos[0];
  for (std::size_t j = 1; j < kLanczos.size(); ++j) a += kLanczos[j] / (z + static_cast<double>(j));
  const double t = z + 7.5;
  return kHalfLog2Pi + (z + 0.5) * std::log(t) - t + std::log(a);
}

double digamma(double x) {
  if (x < kLowestRecurrenceStart) return std::nan("");
  double result = 0.0;
  while (x < kAsymptoticStart) {
    result -= 1.0 / x;
    x += 1.0;
  }
  // ψ(x) ~ ln x − 1/(2x) − Σ_k B_2k/(2k x^2k), in Horner form in 1/x².
  const double z = 1.0 / (x * x);
  const double series =
      z * (1.0 / 12.0 -
           z * (1.0 / 120.0 -
                z * (1.0 / 252.0 - z * (1.0 / 240.0 - z * (1.0 / 132.0 - z * (691.0 / 32760.0))))));
  return result + std::log(x) - 1.0 / (2.0 * x) - series;
}

double trigamma(double x) {
  if (x < kLowestRecurrenceStart) return std::nan("");
  double result = 0.0;
  while (x < kAsymptoticStart) {
    result += 1.0 / (x * x);
    x += 1.0;
  }
  // ψ′(x) ~ 1/x + 1/(2x²) + Σ_k B_2k/x^(2k+1), in Horner form in 1/x².
  const double z = 1.0 / (x * x);
  const double series =
      z * (1.0 / 6.0 -
           z * (1.0 / 30.0 -
                z * (1.0 / 42.0 - z * (1.0 / 30.0 - z * (5.0 / 66.0 - z * (691.0 / 2730.0))))));
  return result + 1.0 / x + 1.0 / (2.0 * x * x) + series / x;
}

}  // namespace zelki
