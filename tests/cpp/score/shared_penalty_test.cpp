// A tensor term's two margin penalties act on one block: the criterion takes log|λ_A S_A + λ_B
// S_B|₊ of that block, and its analytic gradient must be the derivative of its value.
#include <gtest/gtest.h>

#include <cmath>
#include <random>

#include "design/additive.hpp"
#include "inner/closed_form.hpp"
#include "inner/weighted_gram.hpp"
#include "linalg/dense.hpp"
#include "score/envelope.hpp"

namespace zelki::score {
namespace {

TEST(SharedPenaltyScore, GaussianTensorGradientIsTheDerivativeOfTheValue) {
  constexpr Eigen::Index kRows = 300;
  std::mt19937 gen(5);
  std::uniform_real_distribution<double> unif(0.0, 1.0);
  std::normal_distribution<double> noise(0.0, 0.2);
  Matrix x(kRows, 2);
  Vector y(kRows);
  for (Eigen::Index i = 0; i < kRows; ++i) {
    x(i, 0) = unif(gen);
    x(i, 1) = unif(gen);
    y[i] = std::sin(3.0 * x(i, 0)) * std::cos(2.0 * x(i, 1)) + noise(gen);
  }
  const auto design = design::additive_design(x, {design::TensorTermSpec{0, 1, 5, 5}});
  ASSERT_TRUE(design.has_value());
  ASSERT_EQ(design->shared_blocks.size(), 1u);

  ScoreSpec criterion;
  criterion.penalties = &design->penalties;
  criterion.ranks = design->penalty_ranks;
  criterion.log_dets = design->penalty_log_dets;
  criterion.null_space_dim = design->null_space_dim;
  for (const auto& b : design->shared_blocks) {
    criterion.shared_blocks.push_back({b.first_penalty, b.count, b.first_col, b.width, b.rank});
  }
  criterion.scale = ScaleRule::kProfiled;
  criterion.sentinel = true;
  criterion.saturated.kind = SaturatedTerm::Kind::kGaussian;
  criterion.saturated.n = static_cast<double>(kRows);

  const auto cross = inner::weighted_cross(design->x, Vector::Ones(kRows), y);
  const inner::GaussianProblem problem{design->penalties, &design->x,  &y,
                                       &cross.xtwx,       &cross.xtwz, nullptr};
  const InnerFitFn inner_fit = [&problem](const Vector& rho, const Vector*) {
    return inner::closed_form_fit(problem, rho);
  };

  // Points with the two smoothing parameters far apart, where the sum of penalties is dominated
  // by one margin, as well as balanced ones.
  for (const Vector& rho : {Vector{{0.0, 0.0}}, Vector{{-2.0, 4.0}}, Vector{{5.0, -3.0}}}) {
    const auto at = envelope_score(criterion, inner_fit, rho);
    ASSERT_TRUE(at.has_value());
    // Central differences with step h: truncation O(h²), rounding O(ε·|V|/h).
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

  // At equal smoothing parameters log|S_A + S_B|₊ differs from log|S_A|₊ + log|S_B|₊: the value
  // must not be the one a separate-rank formula gives.
  ScoreSpec separate = criterion;
  separate.shared_blocks.clear();
  const Vector zero = Vector::Zero(2);
  EXPECT_GT(std::abs(envelope_score(criterion, inner_fit, zero)->value -
                     envelope_score(separate, inner_fit, zero)->value),
            1e-3);
}

}  // namespace
}  // namespace zelki::score
