// PIRLS: the fitted coefficients minimise the penalised deviance, the iteration limits and the
// failure text behave as documented, and the inverse-Gaussian observed-information stage agrees
// with dense formulas written from the log-likelihood.
#include "inner/pirls.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <random>
#include <string>
#include <variant>
#include <vector>

#include "inner/inner_test_data.hpp"

namespace zelki::inner {
namespace {

using family::Family;

constexpr Eigen::Index kRows = 300;
constexpr Eigen::Index kCols = 6;

// Responses drawn around a smooth truth on the scale of each family.
Vector truth_eta(const Matrix& x) { return x * Vector{{0.3, 0.8, -0.5, 0.4, 0.0, -0.2}}; }

Vector poisson_response(const Matrix& x, unsigned seed) {
  std::mt19937 gen(seed);
  const Vector eta = truth_eta(x);
  Vector y(x.rows());
  for (Eigen::Index i = 0; i < x.rows(); ++i) {
    y[i] = std::poisson_distribution<int>(std::exp(eta[i]))(gen);
  }
  return y;
}

Vector bernoulli_response(const Matrix& x, unsigned seed) {
  std::mt19937 gen(seed);
  const Vector eta = truth_eta(x);
  Vector y(x.rows());
  for (Eigen::Index i = 0; i < x.rows(); ++i) {
    y[i] = std::bernoulli_distribution(1.0 / (1.0 + std::exp(-eta[i])))(gen) ? 1.0 : 0.0;
  }
  return y;
}

// Positive responses with multiplicative log-normal noise, for the Gamma and inverse Gaussian.
Vector positive_response(const Matrix& x, unsigned seed) {
  std::mt19937 gen(seed);
  std::normal_distribution<double> noise(0.0, 0.4);
  const Vector eta = truth_eta(x);
  Vector y(x.rows());
  for (Eigen::Index i = 0; i < x.rows(); ++i) y[i] = std::exp(eta[i] + noise(gen));
  return y;
}

// Gradient of D(β) + βᵀS_λβ in β, computed from the likelihood rather than from the working
// quantities of the iteration.
using Gradient = std::function<Vector(const Matrix& x, const Vector& y, const Vector& w,
                                      const Vector& beta, const Matrix& s_lambda)>;

// Canonical links (Poisson/log, Bernoulli/logit): ∂D/∂β = −2 Xᵀ diag(w)(y − μ).
Gradient canonical_gradient(family::LinkKind kind) {
  return [kind](const Matrix& x, const Vector& y, const Vector& w, const Vector& beta,
                const Matrix& s_lambda) -> Vector {
    const Vector eta = x * beta;
    Vector mu(eta.size());
    for (Eigen::Index i = 0; i < eta.size(); ++i) mu[i] = family::inverse_link(kind, eta[i]);
    return -2.0 * x.transpose() * (w.array() * (y - mu).array()).matrix() + 2.0 * s_lambda * beta;
  };
}

// Gamma with log link: d = 2[ln(μ/y) + (y − μ)/μ], ∂d/∂η = 2(1 − y/μ).
Vector gamma_gradient(const Matrix& x, const Vector& y, const Vector& w, const Vector& beta,
                      const Matrix& s_lambda) {
  const Vector mu = (x * beta).array().exp();
  return x.transpose() * (2.0 * w.array() * (1.0 - y.array() / mu.array())).matrix() +
         2.0 * s_lambda * beta;
}

// Inverse Gaussian with log link: d = (y − μ)²/(yμ²), ∂d/∂η = 2(μ − y)/μ².
Vector inverse_gaussian_gradient(const Matrix& x, const Vector& y, const Vector& w,
                                 const Vector& beta, const Matrix& s_lambda) {
  const Vector mu = (x * beta).array().exp();
  return x.transpose() *
             (2.0 * w.array() * (mu.array() - y.array()) / mu.array().square()).matrix() +
         2.0 * s_lambda * beta;
}

struct MinimiserCase {
  const char* name;
  family::ExponentialFamily family;
  std::function<Vector(const Matrix&, unsigned)> response;
  Gradient gradient;
  bool weighted;
};

class PirlsMinimiserTest : public ::testing::TestWithParam<MinimiserCase> {};

TEST_P(PirlsMinimiserTest, ZeroesThePenalisedDevianceGradient) {
  const auto& c = GetParam();
  const Matrix x = testdata::model_matrix(kRows, kCols, 4);
  const Vector y = c.response(x, 8);
  const Vector w = c.weighted ? testdata::positive_weights(kRows, 6) : Vector::Ones(kRows);
  const auto penalties = testdata::two_penalties(kCols);
  const Vector rho{{1.0, -0.5}};
  PirlsProblem problem{
      .penalties = penalties, .x = &x, .y = &y, .weights = c.weighted ? &w : nullptr};
  const auto fit = pirls(c.family, problem, rho);
  ASSERT_TRUE(fit.has_value()) << display(fit.error());
  EXPECT_TRUE(fit->converged);
  // The deviance test is never made after the first solve.
  EXPECT_GE(fit->iterations, 2u);
  EXPECT_LE(fit->iterations, 25u);

  const Matrix s_lambda = std::exp(rho[0]) * penalties[0] + std::exp(rho[1]) * penalties[1];
  const Vector g0 = c.gradient(x, y, w, Vector::Zero(kCols), s_lambda);
  const Vector g = c.gradient(x, y, w, fit->beta, s_lambda);
  // The relative deviance change below 1e-9 leaves a gradient of order √1e-9 of its starting
  // size for the linearly converging non-canonical fits; Newton (canonical) fits do far better.
  EXPECT_LT(g.norm(), 1e-4 * g0.norm()) << "gradient " << g.transpose();

  // The record is consistent with β̂.
  EXPECT_LT((fit->eta - x * fit->beta).norm(), 1e-12 * fit->eta.norm());
  const double pearson =
      (fit->working_weights.array() * (fit->working_response - fit->eta).array().square()).sum();
  EXPECT_NEAR(fit->pearson, pearson, 1e-12 * pearson);
}

INSTANTIATE_TEST_SUITE_P(
    Families, PirlsMinimiserTest,
    ::testing::Values(
        MinimiserCase{"Poisson", family::poisson_log(), poisson_response,
                      canonical_gradient(family::LinkKind::Log), false},
        MinimiserCase{"PoissonWeighted", family::quasipoisson_log(), poisson_response,
                      canonical_gradient(family::LinkKind::Log), true},
        MinimiserCase{"Bernoulli", family::bernoulli_logit(), bernoulli_response,
                      canonical_gradient(family::LinkKind::Logit), false},
        MinimiserCase{"BernoulliWeighted", family::quasibinomial_logit(), bernoulli_response,
                      canonical_gradient(family::LinkKind::Logit), true},
        MinimiserCase{"Gamma", family::gamma_log(), positive_response, gamma_gradient, true},
        MinimiserCase{"InverseGaussian", family::inverse_gaussian_log(), positive_response,
                      inverse_gaussian_gradient, false}),
    [](const ::testing::TestParamInfo<MinimiserCase>& c) { return std::string(c.param.name); });

class PirlsLimitsTest : public ::testing::Test {
 protected:
  const Matrix x = testdata::model_matrix(kRows, kCols, 14);
  const Vector y = poisson_response(x, 15);
  const Vector w = testdata::positive_weights(kRows, 16);
  const std::vector<Matrix> penalties = testdata::two_penalties(kCols);
  const Vector rho{{0.0, 0.0}};
  const Matrix s_lambda = penalties[0] + penalties[1];
};

TEST_F(PirlsLimitsTest, ZeroIterationsReturnTheStartWithTheRidgedFactor) {
  const auto fit =
      pirls(family::poisson_log(),
            {.penalties = penalties, .x = &x, .y = &y, .weights = &w, .max_iter = 0}, rho);
  ASSERT_TRUE(fit.has_value());
  const Vector eta0 = y.unaryExpr([](double v) { return std::log(std::max(v, 0.1)); });
  EXPECT_EQ(fit->iterations, 0u);
  EXPECT_FALSE(fit->converged);
  EXPECT_EQ(fit->beta, Vector::Zero(kCols));
  EXPECT_EQ(fit->eta, eta0);
  EXPECT_EQ(fit->working_weights, Vector::Ones(kRows));
  EXPECT_EQ(fit->working_response, y);
  Matrix h0 = x.transpose() * w.asDiagonal() * x + s_lambda;
  h0.diagonal().array() += 1e-12 * std::max(1.0, h0.diagonal().cwiseAbs().maxCoeff());
  EXPECT_LT((fit->chol_h * fit->chol_h.transpose() - h0).norm(), 1e-12 * h0.norm());
  EXPECT_NEAR(fit->pearson, (y - eta0).squaredNorm(), 1e-12 * (y - eta0).squaredNorm());

  // A single starting value applies to every row.
  const Vector start{{0.25}};
  const auto fixed =
      pirls(family::poisson_log(),
            {.penalties = penalties, .x = &x, .y = &y, .initial_eta = &start, .max_iter = 0}, rho);
  ASSERT_TRUE(fixed.has_value());
  EXPECT_EQ(fixed->eta, Vector::Constant(kRows, 0.25));
  EXPECT_EQ(fixed->mu, Vector::Constant(kRows, std::exp(0.25)));
}

TEST_F(PirlsLimitsTest, OneIterationIsOneWeightedSolve) {
  const auto fit =
      pirls(family::poisson_log(),
            {.penalties = penalties, .x = &x, .y = &y, .weights = &w, .max_iter = 1}, rho);
  ASSERT_TRUE(fit.has_value());
  EXPECT_EQ(fit->iterations, 1u);
  EXPECT_FALSE(fit->converged);
  // Working quantities at μ₀ = max(y, 0.1): W = w·μ₀, z = ln μ₀ + (y − μ₀)/μ₀.
  const Vector mu0 = y.cwiseMax(0.1);
  const Vector ww = w.cwiseProduct(mu0);
  const Vector z = mu0.array().log() + (y - mu0).array() / mu0.array();
  Matrix h = x.transpose() * ww.asDiagonal() * x + s_lambda;
  const Matrix h_exact = h;
  h.diagonal().array() += 1e-12 * std::max(1.0, h.diagonal().maxCoeff());
  const Vector beta = h.fullPivLu().solve(x.transpose() * ww.asDiagonal() * z);
  EXPECT_LT((fit->beta - beta).norm(), 1e-10 * beta.norm());
  EXPECT_LT((fit->working_weights - ww).norm(), 1e-14 * ww.norm());
  EXPECT_LT((fit->chol_h * fit->chol_h.transpose() - h_exact).norm(), 1e-12 * h_exact.norm());
}

TEST_F(PirlsLimitsTest, IndefiniteSystemFailsWithThePirlsPrefix) {
  std::vector<Matrix> indefinite = penalties;
  indefinite[0](1, 1) = -1e6;
  const auto fit = pirls(family::poisson_log(), {.penalties = indefinite, .x = &x, .y = &y}, rho);
  ASSERT_FALSE(fit.has_value());
  const auto* error = std::get_if<SingularSystem>(&fit.error());
  ASSERT_NE(error, nullptr);
  EXPECT_EQ(error->message.rfind("PIRLS factor: Cholesky failed: ", 0), 0u) << error->message;
}

// Perfect separation drives β outward without bound; the iteration must stop with a finite
// iterate instead of an error.
TEST_F(PirlsLimitsTest, SeparableBernoulliStopsWithoutError) {
  Vector separable(kRows);
  for (Eigen::Index i = 0; i < kRows; ++i) separable[i] = x(i, 1) > 0.0 ? 1.0 : 0.0;
  const std::vector<Matrix> none{Matrix::Zero(kCols, kCols)};
  const auto fit = pirls(family::bernoulli_logit(), {.penalties = none, .x = &x, .y = &separable},
                         Vector{{0.0}});
  ASSERT_TRUE(fit.has_value());
  EXPECT_TRUE(fit->beta.allFinite());
  EXPECT_TRUE(std::isfinite(fit->deviance));
  // The floored variance of fitted probabilities that round to 0 or 1 freezes those rows, so the
  // iteration stalls rather than reaching zero deviance; it must still have made progress.
  EXPECT_LT(fit->deviance, 0.1 * kRows * 2.0 * std::log(2.0));
}

// From η₀ = −50 the first Gamma working response z = η + (y − μ)/μ is of order 1e21, so the
// first trial overflows exp; halving must bring every μ back to finite values. (The first
// finite trial is accepted whatever its deviance, and Fisher scoring then walks back down by
// about one unit of η per iteration, so the fit need not converge within the limit.)
TEST_F(PirlsLimitsTest, OverflowingTrialIsHalved) {
  const Vector yg = positive_response(x, 17);
  const Vector start{{-50.0}};
  const auto fit = pirls(family::gamma_log(),
                         {.penalties = penalties, .x = &x, .y = &yg, .initial_eta = &start}, rho);
  ASSERT_TRUE(fit.has_value());
  EXPECT_GE(fit->iterations, 1u);
  EXPECT_TRUE(fit->eta.allFinite());
  EXPECT_TRUE(fit->mu.allFinite());
  EXPECT_TRUE(std::isfinite(fit->deviance));
}

// The observed-information stage, against dense formulas from the inverse-Gaussian
// log-likelihood with log link: α = w(2y − μ)/μ², dα/dη = w(μ − 4y)/μ².
TEST(PirlsInverseGaussian, CorrectionMatchesDenseFormulasPerPenalty) {
  const Matrix x = testdata::model_matrix(kRows, kCols, 31);
  const Vector y = positive_response(x, 32);
  const Vector w = testdata::positive_weights(kRows, 33);
  const auto penalties = testdata::two_penalties(kCols);
  const Vector rho{{0.7, -1.2}};
  const auto fit = pirls(family::inverse_gaussian_log(),
                         {.penalties = penalties, .x = &x, .y = &y, .weights = &w}, rho);
  ASSERT_TRUE(fit.has_value());
  ASSERT_TRUE(fit->log_det_h.has_value());
  ASSERT_TRUE(fit->correction.has_value());
  const auto& corr = *fit->correction;

  const Vector mu = fit->mu;
  const Vector alpha = w.array() * (2.0 * y.array() - mu.array()) / mu.array().square();
  const Vector alpha_prime = w.array() * (mu.array() - 4.0 * y.array()) / mu.array().square();
  ASSERT_TRUE((alpha.array() < 0.0).any()) << "the data should exercise negative weights";
  const Matrix s0 = std::exp(rho[0]) * penalties[0];
  const Matrix s1 = std::exp(rho[1]) * penalties[1];
  const Matrix h = x.transpose() * alpha.asDiagonal() * x + s0 + s1;
  const auto lu = h.fullPivLu();
  const Matrix h_inv = lu.inverse();

  // Dense formulas on a p = 6 system with moderate condition: agreement to ~1e-10.
  constexpr double kTol = 1e-9;
  EXPECT_NEAR(*fit->log_det_h, std::log(std::abs(lu.determinant())), kTol);
  EXPECT_LT((corr.b - alpha_prime).norm(), kTol * alpha_prime.norm());
  const Vector leverage = (x * h_inv).cwiseProduct(x).rowwise().sum();
  EXPECT_LT((corr.a - leverage).norm(), kTol * leverage.norm());
  ASSERT_EQ(corr.trace.size(), 2);
  ASSERT_EQ(corr.c.cols(), 2);
  const Matrix* scaled[] = {&s0, &s1};
  for (int k = 0; k < 2; ++k) {
    const Matrix& sk = *scaled[k];
    EXPECT_NEAR(corr.trace[k], (h_inv * sk).trace(), kTol * std::abs((h_inv * sk).trace()));
    const Vector ck = -x * h_inv * sk * fit->beta;
    EXPECT_LT((corr.c.col(k) - ck).norm(), kTol * ck.norm()) << "penalty " << k;
  }
}

TEST(PirlsInverseGaussian, OtherFamiliesCarryNoCorrection) {
  const Matrix x = testdata::model_matrix(kRows, kCols, 41);
  const Vector y = positive_response(x, 42);
  const auto penalties = testdata::two_penalties(kCols);
  const auto fit =
      pirls(family::gamma_log(), {.penalties = penalties, .x = &x, .y = &y}, Vector{{0.0, 0.0}});
  ASSERT_TRUE(fit.has_value());
  EXPECT_FALSE(fit->log_det_h.has_value());
  EXPECT_FALSE(fit->correction.has_value());
}

// The families with shape parameters run the same iteration to a fixed point of the working
// equations: β̂ solves (XᵀWX + S_λ)β = XᵀWz with W, z rebuilt at the returned μ.
template <Family F>
void expect_fixed_point(const F& fam, const Vector& y) {
  const Matrix x = testdata::model_matrix(kRows, kCols, 51);
  const auto penalties = testdata::two_penalties(kCols);
  const Vector rho{{0.0, 0.0}};
  const auto fit = pirls(fam, {.penalties = penalties, .x = &x, .y = &y}, rho);
  ASSERT_TRUE(fit.has_value());
  EXPECT_TRUE(fit->converged);
  Vector ww(kRows);
  Vector z(kRows);
  for (Eigen::Index i = 0; i < kRows; ++i) {
    const double g = fam.link_derivative(fit->mu[i]);
    ww[i] = 1.0 / (fam.variance(fit->mu[i]) * g * g);
    z[i] = fit->eta[i] + (y[i] - fit->mu[i]) * g;
  }
  const Matrix h = x.transpose() * ww.asDiagonal() * x + penalties[0] + penalties[1];
  const Vector beta = h.fullPivLu().solve(x.transpose() * ww.asDiagonal() * z);
  EXPECT_LT((fit->beta - beta).norm(), 1e-4 * beta.norm());
}

TEST(PirlsShapeFamilies, ReachTheFixedPointOfTheWorkingEquations) {
  const Matrix x = testdata::model_matrix(kRows, kCols, 51);
  const Vector counts = poisson_response(x, 52);
  expect_fixed_point(family::negbin_log(1.5), counts);
  expect_fixed_point(family::tweedie_log(1.4, 1.0), counts);
  expect_fixed_point(family::tdist_identity(4.0, 0.5), positive_response(x, 53));
}

}  // namespace
}  // namespace zelki::inner
