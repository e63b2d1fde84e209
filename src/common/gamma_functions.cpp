#include "common/gamma_functions.hpp"

#include <array>
#include <cmath>
#include <numbers>

namespace zelki {

namespace {
// The asymptotic series of ψ (to x⁻⁸) and ψ′ (to x⁻⁹) are used from x ≥ 6, where their first
// omitted terms are about 1e-10 and 2e-10; the recurrences ψ(x) = ψ(x + 1) − 1/x and
// ψ′(x) = ψ′(x + 1) + 1/x² move smaller arguments up. That accuracy is far beyond what the scale
// and shape estimates that use them need, and keeps their values those of the defined series.
constexpr double kAsymptoticStart = 6.0;
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
  // ψ(x) ~ ln x − 1/(2x) − 1/(12x²) + 1/(120x⁴) − 1/(252x⁶) + 1/(240x⁸).
  const double x2 = x * x;
  const double x4 = x2 * x2;
  const double x6 = x4 * x2;
  const double x8 = x4 * x4;
  return result + std::log(x) - 1.0 / (2.0 * x) - 1.0 / (12.0 * x2) + 1.0 / (120.0 * x4) -
         1.0 / (252.0 * x6) + 1.0 / (240.0 * x8);
}

double trigamma(double x) {
  if (x < kLowestRecurrenceStart) return std::nan("");
  double result = 0.0;
  while (x < kAsymptoticStart) {
    result += 1.0 / (x * x);
    x += 1.0;
  }
  // ψ′(x) ~ 1/x + 1/(2x²) + 1/(6x³) − 1/(30x⁵) + 1/(42x⁷) − 1/(30x⁹).
  const double x2 = x * x;
  const double x3 = x2 * x;
  const double x5 = x3 * x2;
  const double x7 = x5 * x2;
  const double x9 = x7 * x2;
  return result + 1.0 / x + 1.0 / (2.0 * x2) + 1.0 / (6.0 * x3) - 1.0 / (30.0 * x5) +
         1.0 / (42.0 * x7) - 1.0 / (30.0 * x9);
}

}  // namespace zelki
