// The Gaussian closed form against the dense normal equations, and the blocked weighted cross
// products against the textbook products.
#include "inner/closed_form.hpp"

#include <gtest/gtest.h>

#include <string>
#include <variant>

#include "inner/inner_test_data.hpp"
#include "inner/weighted_gram.hpp"

namespace zelki::inner {
namespace {

// Well-conditioned problems of size ≤ 10: solutions agree to a few hundred ulps.
constexpr double kSolveTol = 1e-10;

struct ClosedFormCase {
  const char* name;
  bool weighted;
  Vector rho;
};

class ClosedFormTest : public ::testing::TestWithParam<ClosedFormCase> {};

TEST_P(ClosedFormTest, SolvesTheRidgedNormalEquations) {
  const auto& c = GetParam();
  const Eigen::Index n = 80;
  const Eigen::Index p = 7;
  const Matrix x = testdata::model_matrix(n, p, 3);
  const Vector y = x * Vector::LinSpaced(p, 1.0, -1.0) + 0.2 * testdata::positive_weights(n, 9);
  const Vector w = c.weighted ? testdata::positive_weights(n, 5) : Vector::Ones(n);
  const auto penalties = testdata::two_penalties(p);

  const Matrix xtwx = x.transpose() * w.asDiagonal() * x;
  const Vector xtwy = x.transpose() * w.asDiagonal() * y;
  GaussianProblem problem{.penalties = penalties,
                          .x = &x,
                          .y = &y,
                          .xtwx = &xtwx,
                          .xtwy = &xtwy,
                          .weights = c.weighted ? &w : nullptr};
  const auto fit = closed_form_fit(problem, c.rho);
  ASSERT_TRUE(fit.has_value());

  // Dense textbook solution of (XᵀWX + S_λ + εI)β = XᵀWy, ε = 1e-12·max(1, max H_ii).
  Matrix h = xtwx + std::exp(c.rho[0]) * penalties[0] + std::exp(c.rho[1]) * penalties[1];
  const Matrix h_exact = h;
  h.diagonal().array() += 1e-12 * std::max(1.0, h.diagonal().maxCoeff());
  const Vector beta = h.fullPivLu().solve(xtwy);
  EXPECT_LT((fit->beta - beta).norm(), kSolveTol * beta.norm());

  const Vector f = x * beta;
  const double rss = (w.array() * (y - f).array().square()).sum();
  EXPECT_NEAR(fit->deviance, rss, kSolveTol * rss);
  EXPECT_EQ(fit->pearson, fit->deviance);
  EXPECT_LT((fit->eta - f).norm(), kSolveTol * f.norm());
  EXPECT_EQ(fit->eta, fit->mu);
  EXPECT_EQ(fit->working_weights, w);
  EXPECT_EQ(fit->working_response, y);
  // The factor is that of H itself, without the ridge.
  EXPECT_LT((fit->chol_h * fit->chol_h.transpose() - h_exact).norm(), kSolveTol * h_exact.norm());
  EXPECT_EQ(fit->iterations, 1u);
  EXPECT_TRUE(fit->converged);
  EXPECT_FALSE(fit->log_det_h.has_value());
  EXPECT_FALSE(fit->correction.has_value());
}

INSTANTIATE_TEST_SUITE_P(
    Problems, ClosedFormTest,
    ::testing::Values(ClosedFormCase{"Unweighted", false, Vector{{0.0, 1.0}}},
                      ClosedFormCase{"Weighted", true, Vector{{2.0, -1.0}}},
                      // Penalties switched off: ordinary weighted least squares up to the ridge.
                      ClosedFormCase{"NoPenalty", true, Vector{{-60.0, -60.0}}}),
    [](const ::testing::TestParamInfo<ClosedFormCase>& c) { return std::string(c.param.name); });

TEST(ClosedForm, DoubledWeightsDoubleTheResidualsAndKeepTheCoefficients) {
  const Eigen::Index n = 50;
  const Eigen::Index p = 5;
  const Matrix x = testdata::model_matrix(n, p, 11);
  const Vector y = testdata::positive_weights(n, 12);
  const auto penalties = testdata::two_penalties(p);
  const Vector rho{{0.5, 0.5}};
  const Vector two = Vector::Constant(n, 2.0);
  const Matrix xtx = x.transpose() * x;
  const Vector xty = x.transpose() * y;
  const Matrix xtwx = 2.0 * xtx;
  const Vector xtwy = 2.0 * xty;
  // Doubling XᵀWX without doubling S_λ changes β; halve ρ's effect by shifting it by ln 2.
  const Vector rho2 = rho.array() + std::log(2.0);
  const auto plain =
      closed_form_fit({.penalties = penalties, .x = &x, .y = &y, .xtwx = &xtx, .xtwy = &xty}, rho);
  const auto doubled = closed_form_fit(
      {.penalties = penalties, .x = &x, .y = &y, .xtwx = &xtwx, .xtwy = &xtwy, .weights = &two},
      rho2);
  ASSERT_TRUE(plain.has_value() && doubled.has_value());
  EXPECT_LT((plain->beta - doubled->beta).norm(), kSolveTol * plain->beta.norm());
  EXPECT_NEAR(doubled->deviance, 2.0 * plain->deviance, kSolveTol * plain->deviance);
}

TEST(ClosedForm, IndefiniteSystemIsSingular) {
  const Eigen::Index n = 20;
  const Matrix x = testdata::model_matrix(n, 3, 1);
  const Vector y = Vector::Ones(n);
  const auto penalties = testdata::two_penalties(3);
  Matrix xtwx = x.transpose() * x;
  xtwx(0, 0) = -1.0;
  const Vector xtwy = x.transpose() * y;
  const auto fit = closed_form_fit(
      {.penalties = penalties, .x = &x, .y = &y, .xtwx = &xtwx, .xtwy = &xtwy}, Vector{{0.0, 0.0}});
  ASSERT_FALSE(fit.has_value());
  const auto* error = std::get_if<SingularSystem>(&fit.error());
  ASSERT_NE(error, nullptr);
  EXPECT_EQ(error->message.rfind("Cholesky failed: ", 0), 0u) << error->message;
}

// Several row blocks, a ragged last block and negative weights (as in observed information).
TEST(WeightedCross, MatchesTextbookProductsAcrossBlocks) {
  const Eigen::Index n = 20011;
  const Eigen::Index p = 4;
  const Matrix x = testdata::model_matrix(n, p, 21);
  Vector w = testdata::positive_weights(n, 22);
  for (Eigen::Index i = 0; i < n; i += 7) w[i] = -0.3 * w[i];
  const Vector z = testdata::positive_weights(n, 23);
  const auto cross = weighted_cross(x, w, z);
  const Matrix xtwx = x.transpose() * w.asDiagonal() * x;
  const Vector xtwz = x.transpose() * w.asDiagonal() * z;
  // Sums of n terms in a different order: relative error O(n·ε) at worst, far less in practice.
  EXPECT_LT((cross.xtwx - xtwx).norm(), 1e-11 * xtwx.norm());
  EXPECT_LT((cross.xtwz - xtwz).norm(), 1e-11 * xtwz.norm());
  EXPECT_EQ(cross.xtwx, cross.xtwx.transpose());
}

}  // namespace
}  // namespace zelki::inner
