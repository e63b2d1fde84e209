// The ordered-categorical driver recovers the cut points of simulated data within sampling
// error.
#include "fit/ordered_categorical.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <random>

namespace zelki::fit {
namespace {

TEST(OrderedCategoricalFit, RecoversTheCutPoints) {
  // n = 4000 latent logistic draws around 0.3 + sin(2πt), cut at (−1, 0, 1.5): thresholds
  // (ln 1, ln 1.5).
  constexpr Eigen::Index kRows = 4000;
  std::mt19937 gen(5);
  std::uniform_real_distribution<double> unif(0.0, 1.0);
  const double cuts[] = {-1.0, 0.0, 1.5};
  Matrix x(kRows, 1);
  Vector y(kRows);
  for (Eigen::Index i = 0; i < kRows; ++i) {
    x(i, 0) = unif(gen);
    const double u = unif(gen);
    const double latent = 0.3 + std::sin(2.0 * M_PI * x(i, 0)) + std::log(u / (1.0 - u));
    int j = 1;
    while (j <= 3 && latent > cuts[j - 1]) ++j;
    y[i] = j;
  }
  const auto fit = fit_ordered_categorical_with_thresholds(OcatRequest{4, "cr", 10}, x, y, {});
  ASSERT_TRUE(fit.has_value());
  EXPECT_TRUE(fit->model.converged);
  const double gap1 = std::exp(fit->thresholds[0]);
  const double gap2 = std::exp(fit->thresholds[1]);
  // Each gap is estimated from the ~2000 observations near its two cut points; its sampling sd
  // is about 0.05, so 0.2 is four sd.
  EXPECT_NEAR(gap1, 1.0, 0.2);
  EXPECT_NEAR(gap2, 1.5, 0.2);
  // The intercept takes the latent shift 0.3 (the smooth is centred).
  EXPECT_NEAR(fit->model.beta[0], 0.3, 0.15);
}

}  // namespace
}  // namespace zelki::fit
