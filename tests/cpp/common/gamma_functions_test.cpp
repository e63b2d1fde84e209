// ln Γ against Python's math.lgamma; ψ and ψ′ against closed forms and their recurrences.
#include "common/gamma_functions.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <numbers>

namespace zelki {
namespace {

struct LnGammaCase {
  double x;
  double expected;
};

constexpr LnGammaCase kLnGammaCases[] = {
#include "common/gamma_functions_reference.inc"
};

// The Lanczos approximation with g = 7 is accurate to about 1e-15 relative in Γ, i.e. absolute
// in ln Γ; ln Γ itself adds rounding of its own size for large arguments.
constexpr double kLnGammaTol = 2e-14;

TEST(LnGamma, MatchesPythonLgamma) {
  for (const auto& c : kLnGammaCases) {
    EXPECT_NEAR(ln_gamma(c.x), c.expected, kLnGammaTol * std::max(1.0, std::abs(c.expected)))
        << "x = " << c.x;
  }
}

// The asymptotic series stops at x⁻⁸ (ψ) and x⁻⁹ (ψ′) from x ≥ 6: the first omitted terms are
// 1.3e-10 and 2.1e-10 there, which bounds the error everywhere (the recurrence only adds rounding).
constexpr double kPolygammaTol = 5e-10;
constexpr double kEulerGamma = 0.5772156649015329;

TEST(Polygamma, MatchesClosedForms) {
  const double pi2 = std::numbers::pi * std::numbers::pi;
  EXPECT_NEAR(digamma(1.0), -kEulerGamma, kPolygammaTol);
  EXPECT_NEAR(digamma(0.5), -kEulerGamma - 2.0 * std::numbers::ln2, kPolygammaTol);
  EXPECT_NEAR(trigamma(1.0), pi2 / 6.0, kPolygammaTol);
  EXPECT_NEAR(trigamma(0.5), pi2 / 2.0, kPolygammaTol);
}

TEST(Polygamma, SatisfiesRecurrencesAndDerivativeRelations) {
  // Across the switch to the asymptotic series at 6: ψ(x + 1) = ψ(x) + 1/x,
  // ψ′(x + 1) = ψ′(x) − 1/x², and ψ = (ln Γ)′ by central differences (step 1e-5, error ~1e-10).
  for (const double x : {0.3, 2.0, 5.5, 5.999, 6.0, 12.0, 250.0}) {
    EXPECT_NEAR(digamma(x + 1.0), digamma(x) + 1.0 / x, kPolygammaTol);
    EXPECT_NEAR(trigamma(x + 1.0), trigamma(x) - 1.0 / (x * x), kPolygammaTol);
    const double h = 1e-5;
    EXPECT_NEAR((ln_gamma(x + h) - ln_gamma(x - h)) / (2.0 * h), digamma(x), 1e-8);
    // The two evaluations may take different numbers of recurrence steps, so their series errors
    // (up to kPolygammaTol each) do not cancel: the difference quotient carries up to
    // 2·kPolygammaTol/(2h).
    EXPECT_NEAR((digamma(x + h) - digamma(x - h)) / (2.0 * h), trigamma(x),
                1e-6 * trigamma(x) + kPolygammaTol / h);
  }
}

}  // namespace
}  // namespace zelki
