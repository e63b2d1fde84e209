// The full-Newton ordered-categorical fit: it reaches the minimiser of the penalised deviance
// (gradient written here from the logistic model itself), returns its start untouched when
// allowed no iteration, and stays finite when every observation sits in one end category.
#include "inner/full_newton.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

#include "inner/inner_test_data.hpp"

namespace zelki::inner {
namespace {

constexpr Eigen::Index kRows = 500;
constexpr Eigen::Index kCols = 6;

// Latent logistic draws around a smooth truth, cut at the family's cut points.
Vector ordinal_response(const Matrix& x, const family::OcatIdentity& f, unsigned seed) {
  std::mt19937 gen(seed);
  std::uniform_real_distribution<double> unif(0.0, 1.0);
  const Vector alpha = family::ocat_cut_points(f.thresholds, f.n_cats);
  const Vector eta = x * Vector{{0.2, 0.9, -0.7, 0.5, 0.0, -0.3}};
  Vector y(x.rows());
  for (Eigen::Index i = 0; i < x.rows(); ++i) {
    const double u = unif(gen);
    const double latent = eta[i] + std::log(u / (1.0 - u));
    Eigen::Index j = 1;
    while (j < alpha.size() - 1 && latent > alpha[j]) ++j;
    y[i] = static_cast<double>(j);
  }
  return y;
}

class FullNewtonTest : public ::testing::Test {
 protected:
  Matrix x = testdata::model_matrix(kRows, kCols, 21);
  family::OcatIdentity f = family::ocat_identity(4, Vector{{0.4, 0.1}});
  Vector y = ordinal_response(x, f, 22);
  Vector w = testdata::positive_weights(kRows, 23);
  std::vector<Matrix> penalties = testdata::two_penalties(kCols);
  Vector rho{{1.0, -0.5}};

  FullNewtonProblem problem() const {
    FullNewtonProblem pr;
    pr.penalties = penalties;
    pr.x = &x;
    pr.y = &y;
    pr.family = f;
    pr.weights = &w;
    return pr;
  }
};

// ∇_β [Σ −2 w_i ln P_i + βᵀS_λβ], with ∂(−2 ln P)/∂η = −2(F′(t) − F′(u))/P and F′ = F(1 − F),
// P = F(u) − F(t): the plain textbook expressions, valid for the moderate η of this problem.
Vector penalised_gradient(const Matrix& x, const Vector& y, const Vector& w,
                          const family::OcatIdentity& f, const Vector& beta,
                          const Matrix& s_lambda) {
  const Vector alpha = family::ocat_cut_points(f.thresholds, f.n_cats);
  const auto cdf = [](double v) {
    return std::isinf(v) ? (v > 0 ? 1.0 : 0.0) : 1.0 / (1.0 + std::exp(-v));
  };
  const Vector eta = x * beta;
  Vector dd(eta.size());
  for (Eigen::Index i = 0; i < eta.size(); ++i) {
    const auto j = static_cast<Eigen::Index>(y[i]);
    const double ft = cdf(alpha[j - 1] - eta[i]);
    const double fu = cdf(alpha[j] - eta[i]);
    dd[i] = -2.0 * w[i] * (ft * (1.0 - ft) - fu * (1.0 - fu)) / (fu - ft);
  }
  return x.transpose() * dd + 2.0 * s_lambda * beta;
}

TEST_F(FullNewtonTest, ReachesTheMinimiserOfThePenalisedDeviance) {
  const auto fit = full_newton_fit(problem(), rho);
  ASSERT_TRUE(fit.has_value());
  EXPECT_TRUE(fit->converged);
  const Matrix s_lambda = std::exp(rho[0]) * penalties[0] + std::exp(rho[1]) * penalties[1];
  const Vector grad = penalised_gradient(x, y, w, f, fit->beta, s_lambda);
  // Newton converges quadratically; after a coefficient change below 1e-9 the gradient is at
  // rounding level relative to Σ w_i |∂d_i/∂η| ~ n.
  EXPECT_LT(grad.cwiseAbs().maxCoeff(), 1e-8 * static_cast<double>(kRows));
  // The returned factor is that of XᵀWX + S_λ at the returned η, without a ridge.
  const Matrix h = x.transpose() * fit->working_weights.asDiagonal() * x + s_lambda;
  EXPECT_LT((fit->chol_h * fit->chol_h.transpose() - h).cwiseAbs().maxCoeff(),
            1e-12 * h.cwiseAbs().maxCoeff());
  EXPECT_NEAR(fit->deviance, family::ocat_deviance(f, y, fit->eta, &w), 1e-9 * fit->deviance);
}

TEST_F(FullNewtonTest, ZeroIterationsReturnTheIntervalMidpoints) {
  FullNewtonProblem pr = problem();
  pr.max_iter = 0;
  const auto fit = full_newton_fit(pr, rho);
  ASSERT_TRUE(fit.has_value());
  EXPECT_EQ(fit->iterations, 0u);
  EXPECT_FALSE(fit->converged);
  EXPECT_TRUE(fit->beta.isZero());
  // Cut points −1, −1 + e^0.4, that + e^0.1: category 1 starts at −1.5, category K half a unit
  // above the last finite cut point.
  const Vector alpha = family::ocat_cut_points(f.thresholds, 4);
  const double expected[] = {-1.5, 0.5 * (alpha[1] + alpha[2]), 0.5 * (alpha[2] + alpha[3]),
                             alpha[3] + 0.5};
  for (Eigen::Index i = 0; i < kRows; ++i) {
    ASSERT_DOUBLE_EQ(fit->eta[i], expected[static_cast<int>(y[i]) - 1]) << "row " << i;
  }
}

TEST_F(FullNewtonTest, AllInTheFirstCategoryStaysFinite) {
  const Vector ones = Vector::Ones(kRows);
  FullNewtonProblem pr = problem();
  pr.y = &ones;
  const auto fit = full_newton_fit(pr, rho);
  ASSERT_TRUE(fit.has_value());
  EXPECT_TRUE(std::isfinite(fit->deviance));
  EXPECT_TRUE(fit->beta.allFinite());
  // η is pushed down, far below the first cut point.
  EXPECT_LT(fit->eta.maxCoeff(), -5.0);
}

}  // namespace
}  // namespace zelki::inner
