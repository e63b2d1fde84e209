// The ordered-categorical likelihood: cut points and categories from their definitions,
// probabilities that sum to one and stay finite for any η, derivatives against finite
// differences, and the floored deviance of an underflowing probability.
#include "family/ocat.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace zelki::family {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();

TEST(OcatCutPoints, AreMinusOneThenCumulativeGaps) {
  EXPECT_EQ(ocat_cut_points(Vector{{0.0}}, 3), (Vector{{-kInf, -1.0, 0.0, kInf}}));
  const Vector four = ocat_cut_points(Vector{{std::log(2.0), 0.0}}, 4);
  EXPECT_EQ(four[0], -kInf);
  EXPECT_EQ(four[1], -1.0);
  EXPECT_DOUBLE_EQ(four[2], 1.0);
  EXPECT_DOUBLE_EQ(four[3], 2.0);
  EXPECT_EQ(four[4], kInf);
}

TEST(OcatCategory, RoundsHalvesAwayFromZeroAndClamps) {
  EXPECT_EQ(ocat_category(2.5, 3), 3u);
  EXPECT_EQ(ocat_category(1.4, 3), 1u);
  EXPECT_EQ(ocat_category(-4.0, 5), 1u);
  EXPECT_EQ(ocat_category(100.0, 5), 5u);
  EXPECT_EQ(ocat_category(std::nan(""), 5), 1u);
  EXPECT_EQ(ocat_round_label(-2.5), -3);
  EXPECT_EQ(ocat_round_label(1e300), std::numeric_limits<std::int64_t>::max());
  EXPECT_EQ(ocat_round_label(-kInf), std::numeric_limits<std::int64_t>::min());
  EXPECT_EQ(ocat_round_label(std::nan("")), 0);
}

// Over a range of η from far below the first cut point to far above the last, including
// values where e^(±η) overflows, the K probabilities are finite, in [0, 1] and sum to one.
TEST(OcatProbability, SumsToOneAndStaysFiniteForExtremeEta) {
  const Vector alpha = ocat_cut_points(Vector{{-0.5, 0.7, 0.1}}, 5);
  for (const double eta : {-1e308, -800.0, -40.0, -3.0, -1.0, 0.0, 0.3, 2.5, 40.0, 800.0, 1e308}) {
    double total = 0.0;
    for (std::size_t j = 1; j <= 5; ++j) {
      const double p = ocat_probability(alpha, j, eta);
      ASSERT_TRUE(std::isfinite(p)) << "eta " << eta << " category " << j;
      EXPECT_GE(p, 0.0);
      EXPECT_LE(p, 1.0);
      total += p;
    }
    // Five terms each rounded once: a few ulps of 1.
    EXPECT_NEAR(total, 1.0, 1e-15) << "eta " << eta;
  }
  // At η = 0 with K = 3 and θ = (0): F(−1), F(0) − F(−1), 1 − F(0).
  const Vector three = ocat_cut_points(Vector{{0.0}}, 3);
  const double f_minus_one = 1.0 / (1.0 + std::exp(1.0));
  EXPECT_NEAR(ocat_probability(three, 1, 0.0), f_minus_one, 1e-16);
  EXPECT_NEAR(ocat_probability(three, 2, 0.0), 0.5 - f_minus_one, 1e-16);
  EXPECT_NEAR(ocat_probability(three, 3, 0.0), 0.5, 1e-16);
}

// A middle category far from η is a difference of two tiny tails; it keeps its relative
// accuracy: P = F(u) − F(t) ≈ e^(−t) − e^(−u) for t, u ≫ 0.
TEST(OcatProbability, KeepsRelativeAccuracyInTheTails) {
  const double t = 50.0;
  const double u = 51.0;
  const double expected = std::exp(-t) - std::exp(-u);
  EXPECT_NEAR(ocat_interval_probability(t, u) / expected, 1.0, 1e-12);
  EXPECT_NEAR(ocat_interval_probability(-u, -t) / expected, 1.0, 1e-12);
}

TEST(OcatDeviance, FloorsAnUnderflowingProbability) {
  const OcatIdentity f = ocat_identity(3, Vector{{0.0}});
  // Category 3 at η = −1000: P = 1 − F(1000) underflows to 0.
  const Vector w{{2.0}};
  const double d = ocat_deviance(f, Vector{{3.0}}, Vector{{-1000.0}}, &w);
  EXPECT_DOUBLE_EQ(d, -2.0 * 2.0 * std::log(2.2250738585072014e-308));
}

// d′ and d″ against central differences of −2 ln P written with a naive logistic (accurate
// for these moderate arguments).
TEST(OcatDerivatives, MatchFiniteDifferences) {
  const OcatIdentity f = ocat_identity(4, Vector{{0.3, -0.4}});
  const Vector alpha = ocat_cut_points(f.thresholds, 4);
  const auto logistic = [](double x) { return 1.0 / (1.0 + std::exp(-x)); };
  const auto minus_two_log_p = [&](std::size_t j, double eta) {
    const double upper = j == 4 ? 1.0 : logistic(alpha[static_cast<Eigen::Index>(j)] - eta);
    const double lower = j == 1 ? 0.0 : logistic(alpha[static_cast<Eigen::Index>(j - 1)] - eta);
    return -2.0 * std::log(upper - lower);
  };
  const Vector y{{1.0, 2.0, 3.0, 4.0, 2.0, 3.0, 1.0, 4.0}};
  const Vector eta{{-2.0, -0.6, 0.4, 1.5, 3.0, -3.0, 4.0, -4.0}};
  const OcatDerivatives d = ocat_derivatives(f, y, eta);
  // The naive 1 − F(·) of an end category loses a few digits to cancellation (~1e-13 in −2 ln P),
  // so the step is 1e-3: truncation O(h²) ≈ 1e-7, rounding 1e-13/h² ≈ 1e-7 in the second
  // difference.
  constexpr double kStep = 1e-3;
  for (Eigen::Index i = 0; i < y.size(); ++i) {
    const auto j = ocat_category(y[i], 4);
    const double up = minus_two_log_p(j, eta[i] + kStep);
    const double mid = minus_two_log_p(j, eta[i]);
    const double down = minus_two_log_p(j, eta[i] - kStep);
    EXPECT_NEAR(d.first[i], (up - down) / (2.0 * kStep), 1e-5) << "row " << i;
    EXPECT_NEAR(d.second[i], (up - 2.0 * mid + down) / (kStep * kStep), 1e-5) << "row " << i;
    // −ln P is convex in η for a log-concave latent density.
    EXPECT_GT(d.second[i], 0.0);
  }
}

}  // namespace
}  // namespace zelki::family
