// The saturated terms and transforms of the negative binomial, scaled t and Tweedie families;
// the Tweedie series against its compound Poisson–gamma definition, and its analytic shape
// derivatives against finite differences.
#include <gtest/gtest.h>

#include <cmath>
#include <numbers>

#include "family/family.hpp"
#include "family/negbin.hpp"
#include "family/tdist.hpp"
#include "family/tweedie.hpp"

namespace zelki::family {
namespace {

// Tweedie density of y > 0 as a compound Poisson–gamma sum, written from its definition:
// N ~ Poisson(λ) with λ = μ^(2−p)/(φ(2−p)), Y = Σ_{k≤N} G_k, G_k ~ Gamma(shape a, scale s),
// a = (2 − p)/(p − 1), s = φ(p − 1)μ^(p−1). f(y) = Σ_{N≥1} P(N) · gamma density of shape Na.
double compound_poisson_gamma_log_density(double y, double mu, double phi, double p) {
  const double lambda = std::pow(mu, 2.0 - p) / (phi * (2.0 - p));
  const double a = (2.0 - p) / (p - 1.0);
  const double s = phi * (p - 1.0) * std::pow(mu, p - 1.0);
  double total = 0.0;
  for (int n = 1; n < 5000; ++n) {
    const double shape = n * a;
    const double log_term = -lambda + n * std::log(lambda) - std::lgamma(n + 1.0) +
                            (shape - 1.0) * std::log(y) - y / s - std::lgamma(shape) -
                            shape * std::log(s);
    total += std::exp(log_term);
  }
  return std::log(total);
}

struct TweedieCase {
  double y;
  double phi;
  double p;
};

class TweedieSeriesTest : public ::testing::TestWithParam<TweedieCase> {};

// Both sides sum the same positive terms in a different order and parameterisation; rounding of
// a few hundred exp/lgamma evaluations stays far below 1e-10 relative.
constexpr double kDensityTol = 1e-10;

TEST_P(TweedieSeriesTest, SaturatedDensityMatchesCompoundPoissonGamma) {
  const auto& c = GetParam();
  // At μ = y the log-density is the saturated term itself...
  const double at_y = compound_poisson_gamma_log_density(c.y, c.y, c.phi, c.p);
  EXPECT_NEAR(tweedie_log_density(c.y, c.phi, c.p), at_y,
              kDensityTol * std::max(1.0, std::abs(at_y)));
  // ...and elsewhere it falls by d(y, μ)/(2φ), the unit deviance of the family.
  const double mu = 0.7 * c.y + 0.4;
  const double at_mu = compound_poisson_gamma_log_density(c.y, mu, c.phi, c.p);
  const double d = tweedie_log(c.p, c.phi).unit_deviance(c.y, mu);
  EXPECT_NEAR(tweedie_log_density(c.y, c.phi, c.p) - d / (2.0 * c.phi), at_mu,
              kDensityTol * std::max(1.0, std::abs(at_mu)));
}

// Central differences with step h have truncation error O(h²·f‴) ~ 1e-8 here, rounding
// O(ε·|ℓ|/h) ~ 1e-9.
constexpr double kFdStep = 1e-5;
constexpr double kFdTol = 1e-6;

TEST_P(TweedieSeriesTest, ShapeDerivativesMatchFiniteDifferences) {
  const auto& c = GetParam();
  const Vector y = Vector::Constant(1, c.y);
  const Vector mu = Vector::Constant(1, 0.8 * c.y + 0.3);
  const Vector w = Vector::Constant(1, 1.7);
  const TweedieShapeDerivatives d = tweedie_shape_derivatives(y, mu, &w, c.p, c.phi);
  const double h = kFdStep;
  // ℓ = y^(2−p)/((1−p)(2−p)φ) − ln y + ln W.
  const double power = std::pow(c.y, 2.0 - c.p) / ((1.0 - c.p) * (2.0 - c.p) * c.phi);
  EXPECT_NEAR(d.power_term, power, 1e-14 * std::abs(power));
  const double dl_dlogphi = (tweedie_log_density(c.y, c.phi * std::exp(h), c.p) -
                             tweedie_log_density(c.y, c.phi * std::exp(-h), c.p)) /
                            (2.0 * h);
  EXPECT_NEAR(-d.power_term + d.dlogw_dlogphi, dl_dlogphi,
              kFdTol * std::max(1.0, std::abs(dl_dlogphi)));
  const double dl_dp =
      (tweedie_log_density(c.y, c.phi, c.p + h) - tweedie_log_density(c.y, c.phi, c.p - h)) /
      (2.0 * h);
  EXPECT_NEAR(d.dpower_term_dp + d.dlogw_dp, dl_dp, kFdTol * std::max(1.0, std::abs(dl_dp)));
  const double dd_dp = (tweedie_log(c.p + h, c.phi).deviance(y, mu, &w) -
                        tweedie_log(c.p - h, c.phi).deviance(y, mu, &w)) /
                       (2.0 * h);
  EXPECT_NEAR(d.ddeviance_dp, dd_dp, kFdTol * std::max(1.0, std::abs(dd_dp)));
  // ∂ ln W/∂ ln φ is the mean series index over (1 − p) < 0.
  EXPECT_LT(d.dlogw_dlogphi, 0.0);
}

INSTANTIATE_TEST_SUITE_P(Cases, TweedieSeriesTest,
                         ::testing::Values(TweedieCase{0.3, 1.0, 1.5}, TweedieCase{2.0, 1.0, 1.5},
                                           TweedieCase{7.5, 0.5, 1.2}, TweedieCase{1.0, 2.0, 1.8},
                                           TweedieCase{40.0, 0.3, 1.6},
                                           TweedieCase{0.05, 0.2, 1.1}));

TEST(TweedieSeries, NonPositiveResponsesAndCachedSumAgreeWithRowByRow) {
  EXPECT_EQ(tweedie_log_density(0.0, 1.0, 1.5), 0.0);
  EXPECT_EQ(tweedie_log_density(-1.0, 1.0, 1.5), 0.0);
  // The tabulated per-index parts reproduce the direct evaluation to rounding.
  const Vector y{{0.0, 0.2, 1.0, 3.5, 12.0, 150.0}};
  for (const double p : {1.07, 1.5, 1.93}) {
    double direct = 0.0;
    for (const double v : y) direct += tweedie_log_density(v, 0.8, p);
    EXPECT_NEAR(tweedie_saturated(y, 0.8, p), direct, 1e-12 * std::abs(direct)) << "p = " << p;
  }
}

TEST(TweedieTransform, MapsAndBounds) {
  EXPECT_DOUBLE_EQ(tweedie_shape_from(0.0, 0.0).p, 1.5);
  EXPECT_EQ(tweedie_shape_from(0.0, -10.0).p, kTweediePMin);
  EXPECT_TRUE(tweedie_shape_from(0.0, -10.0).p_at_bound);
  EXPECT_EQ(tweedie_shape_from(0.0, 10.0).p, kTweediePMax);
  EXPECT_EQ(tweedie_shape_from(-20.0, 0.0).phi, kTweediePhiMin);
  EXPECT_TRUE(tweedie_shape_from(-20.0, 0.0).phi_at_bound);
  EXPECT_FALSE(tweedie_shape_from(std::log(0.3), 0.0).phi_at_bound);
  EXPECT_DOUBLE_EQ(tweedie_shape_from(std::log(0.3), 0.0).phi, 0.3);
}

TEST(NegbinSaturated, ZeroCountsContributeNothingAndOthersMatchLgamma) {
  for (const double theta : {0.1, 1.0, 37.0}) {
    EXPECT_EQ(negbin_saturated(Vector::Zero(4), theta), 0.0);
    // Independent evaluation: the negative-binomial log-probability at μ = y plus ln Γ(y + 1).
    const Vector y{{0.0, 1.0, 4.0, 25.0}};
    double expected = 0.0;
    for (const double v : y) {
      expected += std::lgamma(v + theta) - std::lgamma(theta) +
                  theta * std::log(theta / (theta + v)) +
                  (v > 0 ? v * std::log(v / (theta + v)) : 0.0);
    }
    EXPECT_NEAR(negbin_saturated(y, theta), expected, 1e-12 * std::max(1.0, std::abs(expected)));
  }
  EXPECT_DOUBLE_EQ(negbin_theta_from(std::log(3.0)), 3.0);
}

TEST(TdistSaturated, MatchesClosedForm) {
  const double one = std::lgamma(3.0) - std::lgamma(2.5) - 0.5 * std::log(5.0 * std::numbers::pi);
  EXPECT_NEAR(tdist_saturated(1, 5.0, 1.0), one, 1e-14);
  EXPECT_NEAR(tdist_saturated(10, 5.0, 4.0), 10.0 * (one - 0.5 * std::log(4.0)), 1e-13);
  const TdistShape shape = tdist_shape_from(std::log(2.0), std::log(3.0));
  EXPECT_DOUBLE_EQ(shape.sigma2, 2.0);
  EXPECT_DOUBLE_EQ(shape.nu, 5.0);
}

}  // namespace
}  // namespace zelki::family
