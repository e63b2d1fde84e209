// Unit deviances, guards and links of the exponential families, checked against hand-derived
// values and against properties every deviance must have.
#include "family/family.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>
#include <string>

namespace zelki::family {
namespace {

// Hand-derived values involve one or two libm calls each.
constexpr double kRoundingTol = 1e-14;

struct DevianceCase {
  const char* name;
  std::function<double(double, double)> deviance;
  double y;
  double mu;
  double expected;
};

class UnitDevianceTest : public ::testing::TestWithParam<DevianceCase> {};

TEST_P(UnitDevianceTest, MatchesHandDerivedValue) {
  const auto& c = GetParam();
  const double d = c.deviance(c.y, c.mu);
  ASSERT_TRUE(std::isfinite(d));
  EXPECT_NEAR(d, c.expected, kRoundingTol * std::max(1.0, std::abs(c.expected)));
}

double bernoulli(double y, double mu) { return bernoulli_logit().unit_deviance(y, mu); }
double poisson(double y, double mu) { return poisson_log().unit_deviance(y, mu); }

const double kOneMinus = 0.999999999999999;

INSTANTIATE_TEST_SUITE_P(
    Families, UnitDevianceTest,
    ::testing::Values(
        DevianceCase{"BernoulliZero", bernoulli, 0.0, 0.3, 2.0 * std::log(1.0 / 0.7)},
        DevianceCase{"BernoulliOne", bernoulli, 1.0, 0.3, 2.0 * std::log(1.0 / 0.3)},
        // μ = 1 and μ = 0 are clamped, so y = 0 at μ = 1 costs 2 ln(1/(1 − m_b)), not ∞.
        DevianceCase{"BernoulliClampedAtOne", bernoulli, 0.0, 1.0,
                     2.0 * std::log(1.0 / (1.0 - kOneMinus))},
        DevianceCase{"BernoulliClampedAtZero", bernoulli, 1.0, 0.0, 2.0 * std::log(1.0 / 1e-15)},
        DevianceCase{"BernoulliInterior", bernoulli, 0.3, 0.6,
                     2.0 * (0.3 * std::log(0.3 / 0.6) + 0.7 * std::log(0.7 / 0.4))},
        DevianceCase{"PoissonZero", poisson, 0.0, 2.5, 5.0},
        DevianceCase{"PoissonZeroFlooredMean", poisson, 0.0, -1.0, 2e-300},
        DevianceCase{"PoissonPositive", poisson, 3.0, 2.0, 2.0 * (3.0 * std::log(1.5) - 1.0)},
        DevianceCase{"GammaFlooredResponse",
                     [](double y, double mu) { return gamma_log().unit_deviance(y, mu); }, 0.0, 1.0,
                     2.0 * (std::log(1.0 / 1e-300) + (1e-300 - 1.0))},
        DevianceCase{"GammaPositive",
                     [](double y, double mu) { return gamma_log().unit_deviance(y, mu); }, 2.0, 1.0,
                     2.0 * (std::log(0.5) + 1.0)},
        // No factor 2: (2 − 1)²/(2·1²).
        DevianceCase{
            "InverseGaussian",
            [](double y, double mu) { return inverse_gaussian_log().unit_deviance(y, mu); }, 2.0,
            1.0, 0.5},
        DevianceCase{"NegbinZero",
                     [](double y, double mu) { return negbin_log(2.0).unit_deviance(y, mu); }, 0.0,
                     3.0, 4.0 * std::log(2.5)},
        DevianceCase{"NegbinPositive",
                     [](double y, double mu) { return negbin_log(2.0).unit_deviance(y, mu); }, 4.0,
                     3.0, 2.0 * (4.0 * std::log(4.0 / 3.0) - 6.0 * std::log(6.0 / 5.0))},
        // 2·4^0.5/0.5 = 8.
        DevianceCase{"TweedieZero",
                     [](double y, double mu) { return tweedie_log(1.5, 1.0).unit_deviance(y, mu); },
                     0.0, 4.0, 8.0},
        DevianceCase{"TweediePositive",
                     [](double y, double mu) { return tweedie_log(1.5, 1.0).unit_deviance(y, mu); },
                     1.0, 4.0, 2.0 * (1.0 / (-0.5 * 0.5) - 0.5 / -0.5 + 2.0 / 0.5)},
        DevianceCase{
            "TdistAtMean",
            [](double y, double mu) { return tdist_identity(5.0, 2.0).unit_deviance(y, mu); }, 1.5,
            1.5, 0.0},
        DevianceCase{
            "TdistResidual",
            [](double y, double mu) { return tdist_identity(5.0, 2.0).unit_deviance(y, mu); }, 4.0,
            1.0, 6.0 * std::log(1.0 + 9.0 / 10.0)}),
    [](const ::testing::TestParamInfo<DevianceCase>& c) { return std::string(c.param.name); });

// Every deviance is zero at y = μ and positive elsewhere, with its minimum in μ at y: a check of
// each formula as a whole, including the Tweedie and negative-binomial constants.
template <class F>
void expect_minimised_at_response(const F& family, double y) {
  EXPECT_NEAR(family.unit_deviance(y, y), 0.0, 1e-13) << y;
  EXPECT_GT(family.unit_deviance(y, 0.9 * y), 0.0);
  EXPECT_GT(family.unit_deviance(y, 1.1 * y), 0.0);
}

TEST(UnitDeviance, VanishesAtTheResponseForEveryFamily) {
  for (double y : {0.2, 0.7}) {
    expect_minimised_at_response(bernoulli_logit(), y);
    expect_minimised_at_response(quasibinomial_logit(), y);
  }
  for (double y : {0.3, 2.0, 17.0}) {
    expect_minimised_at_response(gaussian_identity(), y);
    expect_minimised_at_response(poisson_log(), y);
    expect_minimised_at_response(quasipoisson_log(), y);
    expect_minimised_at_response(gamma_log(), y);
    expect_minimised_at_response(inverse_gaussian_log(), y);
    expect_minimised_at_response(negbin_log(3.0), y);
    expect_minimised_at_response(tweedie_log(1.3, 1.0), y);
    expect_minimised_at_response(tdist_identity(4.0, 0.5), y);
  }
}

TEST(Deviance, SumsWeightedUnitDeviancesInRowOrder) {
  const Vector y{{0.0, 1.0, 3.0}};
  const Vector mu{{0.5, 2.0, 2.5}};
  const Vector w{{2.0, 0.0, 0.5}};
  const auto f = poisson_log();
  EXPECT_DOUBLE_EQ(f.deviance(y, mu, &w),
                   2.0 * f.unit_deviance(0.0, 0.5) + 0.5 * f.unit_deviance(3.0, 2.5));
  EXPECT_DOUBLE_EQ(
      f.deviance(y, mu, nullptr),
      f.unit_deviance(0.0, 0.5) + f.unit_deviance(1.0, 2.0) + f.unit_deviance(3.0, 2.5));
}

TEST(Link, LogisticSaturatesWithoutNaN) {
  EXPECT_EQ(inverse_link(LinkKind::Logit, 800.0), 1.0);
  EXPECT_EQ(inverse_link(LinkKind::Logit, -800.0), 0.0);
  EXPECT_EQ(bernoulli_logit().inverse_link(-800.0), 0.0);
  EXPECT_NEAR(inverse_link(LinkKind::Logit, std::log(3.0)), 0.75, kRoundingTol);
}

TEST(Link, NamesAreTheStoredOnes) {
  EXPECT_STREQ(link_name(LinkKind::Identity), "Identity");
  EXPECT_STREQ(link_name(LinkKind::Log), "Log");
  EXPECT_STREQ(link_name(LinkKind::Logit), "Logit");
}

TEST(StartingValues, AreGuardedOnTheLinkScale) {
  const Vector y{{0.0, 1.0, 4.0}};
  // Poisson: μ₀ = max(y, 0.1), so y = 0 starts at η₀ = ln 0.1.
  const Vector mu_p = poisson_log().initial_mu(y);
  EXPECT_EQ(mu_p[0], 0.1);
  EXPECT_EQ(poisson_log().link_guarded(mu_p[0]), std::log(0.1));
  // Bernoulli: μ₀ = (y + 0.5)/2 = 0.25 and 0.75, η₀ = ∓ln 3.
  const Vector mu_b = bernoulli_logit().initial_mu(y.head(2));
  EXPECT_NEAR(bernoulli_logit().link_guarded(mu_b[0]), -std::log(3.0), kRoundingTol);
  EXPECT_NEAR(bernoulli_logit().link_guarded(mu_b[1]), std::log(3.0), kRoundingTol);
  // Guards: a zero mean and a probability of one give finite predictors.
  EXPECT_EQ(gamma_log().link_guarded(0.0), std::log(1e-300));
  EXPECT_NEAR(bernoulli_logit().link_guarded(1.0), std::log(kOneMinus / (1.0 - kOneMinus)),
              kRoundingTol);
  // Scaled t: (y_i + ȳ)/2 with ȳ = 5/3.
  const Vector mu_t = tdist_identity(5.0, 1.0).initial_mu(y);
  EXPECT_NEAR(mu_t[2], (4.0 + 5.0 / 3.0) / 2.0, kRoundingTol);
}

TEST(Variance, FloorsAndRawMeans) {
  EXPECT_EQ(bernoulli_logit().variance(1.0), 1e-300);
  EXPECT_EQ(poisson_log().variance(-2.0), 1e-300);
  EXPECT_EQ(inverse_gaussian_log().variance(2.0), 8.0);
  EXPECT_EQ(negbin_log(2.0).variance(2.0), 4.0);
  EXPECT_EQ(tdist_identity(5.0, 0.25).variance(100.0), 0.25);
  EXPECT_EQ(bernoulli_logit().link_derivative(0.5), 4.0);
}

// α′ is dα/dη: compare with a central difference of α(μ = e^η) in η, on rows with f > 0 and
// f ≤ 0 (y ≤ μ/2), where dividing by a replaced f would give a wrong value.
TEST(InverseGaussianObservedWeight, DerivativeMatchesFiniteDifference) {
  const auto f = inverse_gaussian_log();
  constexpr double kStep = 1e-5;
  // Central difference error O(h²·α‴) plus rounding O(ε·α/h): about 1e-9 relative.
  constexpr double kFdTol = 1e-7;
  for (double y : {0.1, 0.5, 1.0, 2.0, 7.0}) {
    for (double w : {1.0, 2.5}) {
      const double eta = std::log(1.3);
      const auto alpha = [&](double e) { return f.observed_weight(y, std::exp(e), w); };
      const double fd = (alpha(eta + kStep) - alpha(eta - kStep)) / (2.0 * kStep);
      const double exact = f.observed_weight_derivative(y, std::exp(eta), w);
      EXPECT_NEAR(exact, fd, kFdTol * std::max(1.0, std::abs(fd))) << "y=" << y << " w=" << w;
    }
  }
}

TEST(InverseGaussianObservedWeight, AtTheResponseIsFisherWeightWithDerivativeMinusThree) {
  const auto f = inverse_gaussian_log();
  for (double mu : {0.2, 1.0, 30.0}) {
    const double w = 1.7;
    const double alpha = f.observed_weight(mu, mu, w);
    // Fisher weight w/(V g′²) = w/μ for the log link and V = μ³.
    EXPECT_NEAR(alpha, w / mu, kRoundingTol * w / mu);
    EXPECT_NEAR(f.observed_weight_derivative(mu, mu, w), -3.0 * alpha, 1e-13 * alpha);
  }
}

}  // namespace
}  // namespace zelki::family
