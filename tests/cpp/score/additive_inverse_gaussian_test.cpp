// The inverse-Gaussian criterion of an additive model with two smoothing parameters: its
// analytic gradient (with the observed-information correction applied to every component) must
// be the derivative of its value.
#include <gtest/gtest.h>

#include <cmath>
#include <random>

#include "design/additive.hpp"
#include "family/family.hpp"
#include "inner/pirls.hpp"
#include "score/envelope.hpp"

namespace zelki::score {
namespace {

TEST(AdditiveInverseGaussianScore, GradientIsTheDerivativeOfTheValue) {
  constexpr Eigen::Index kRows = 400;
  std::mt19937 gen(21);
  std::uniform_real_distribution<double> unif(0.0, 1.0);
  std::normal_distribution<double> noise(0.0, 0.3);
  Matrix x(kRows, 2);
  Vector y(kRows);
  for (Eigen::Index i = 0; i < kRows; ++i) {
    x(i, 0) = unif(gen);
    x(i, 1) = unif(gen);
    const double eta = 0.5 + std::sin(2.0 * M_PI * x(i, 0)) + 0.5 * x(i, 1) * x(i, 1);
    y[i] = std::exp(eta + noise(gen));
  }
  const auto design =
      design::additive_design(x, {design::CrTermSpec{0, 8}, design::CrTermSpec{1, 6}});
  ASSERT_TRUE(design.has_value());

  ScoreSpec criterion;
  criterion.penalties = &design->penalties;
  criterion.ranks = design->penalty_ranks;
  criterion.log_dets = design->penalty_log_dets;
  criterion.null_space_dim = design->null_space_dim;
  criterion.scale = ScaleRule::kProfiled;
  criterion.sentinel = true;
  criterion.saturated.kind = SaturatedTerm::Kind::kGaussian;
  criterion.saturated.n = static_cast<double>(kRows);
  for (const double v : y) criterion.saturated.constant -= 1.5 * std::log(v);

  // The criterion is differentiated with β̂ held at the inner optimum, so the value must come
  // from a fit converged far beyond the outer tolerance.
  inner::PirlsProblem problem;
  problem.penalties = design->penalties;
  problem.x = &design->x;
  problem.y = &y;
  problem.max_iter = 200;
  problem.tol = 1e-15;
  const InnerFitFn inner_fit = [&problem](const Vector& rho, const Vector*) {
    return inner::pirls(family::inverse_gaussian_log(), problem, rho);
  };

  for (const Vector& rho : {Vector{{1.0, -0.5}}, Vector{{-1.0, 3.0}}}) {
    const auto at = envelope_score(criterion, inner_fit, rho);
    ASSERT_TRUE(at.has_value());
    // Central differences with step h: truncation error O(h²) times the third derivative.
    constexpr double kStep = 1e-4;
    for (Eigen::Index k = 0; k < 2; ++k) {
      Vector plus = rho, minus = rho;
      plus[k] += kStep;
      minus[k] -= kStep;
      const double fd = (envelope_score(criterion, inner_fit, plus)->value -
                         envelope_score(criterion, inner_fit, minus)->value) /
                        (2.0 * kStep);
      EXPECT_NEAR(at->gradient[k], fd, 1e-5 * std::max(1.0, std::abs(fd)))
          << "component " << k << " at rho = " << rho.transpose();
    }
  }
}

}  // namespace
}  // namespace zelki::score
