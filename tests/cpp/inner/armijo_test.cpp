// The Armijo-damped ELF fit: it reaches the minimiser of the penalised ELF objective (gradient
// computed here from the loss itself), stops at once when started there, and reports its
// parameter and factorisation failures with their fixed texts.
#include "inner/armijo.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <string>
#include <variant>
#include <vector>

#include "inner/inner_test_data.hpp"

namespace zelki::inner {
namespace {

constexpr Eigen::Index kRows = 400;
constexpr Eigen::Index kCols = 6;

// Skewed noise around a smooth truth, so that the quantiles differ from the mean.
Vector skewed_response(const Matrix& x, unsigned seed) {
  std::mt19937 gen(seed);
  std::exponential_distribution<double> noise(1.5);
  const Vector eta = x * Vector{{0.3, 0.8, -0.5, 0.4, 0.0, -0.2}};
  Vector y(x.rows());
  for (Eigen::Index i = 0; i < x.rows(); ++i) y[i] = eta[i] + noise(gen);
  return y;
}

// ∇_β [Σ d_i + βᵀS_λβ] with ∂d/∂η = −(2/σ)(F((y − η)/λ) − (1 − τ)), F the logistic, written
// from the loss's definition rather than the family's derivative routine.
Vector objective_gradient(const Matrix& x, const Vector& y, const family::ElfIdentity& f,
                          const Vector& beta, const Matrix& s_lambda) {
  const Vector eta = x * beta;
  Vector dd(eta.size());
  for (Eigen::Index i = 0; i < eta.size(); ++i) {
    const double p = 1.0 / (1.0 + std::exp(-(y[i] - eta[i]) / f.lambda));
    dd[i] = -(2.0 / f.sigma) * (p - (1.0 - f.tau));
  }
  return x.transpose() * dd + 2.0 * s_lambda * beta;
}

class ArmijoFitTest : public ::testing::TestWithParam<double> {
 protected:
  Matrix x = testdata::model_matrix(kRows, kCols, 11);
  Vector y = skewed_response(x, 12);
  std::vector<Matrix> penalties = testdata::two_penalties(kCols);
  Vector rho{{0.5, -1.0}};

  ArmijoProblem problem(double tau) const {
    ArmijoProblem pr;
    pr.penalties = penalties;
    pr.x = &x;
    pr.y = &y;
    pr.family = family::elf_identity(tau, 0.1, 0.02);
    return pr;
  }
};

TEST_P(ArmijoFitTest, ReachesTheMinimiserOfThePenalisedObjective) {
  const double tau = GetParam();
  const ArmijoProblem pr = problem(tau);
  const auto fit = armijo_fit(pr, rho);
  ASSERT_TRUE(fit.has_value());
  EXPECT_TRUE(fit->converged);
  const Matrix s_lambda = std::exp(rho[0]) * penalties[0] + std::exp(rho[1]) * penalties[1];
  const Vector grad = objective_gradient(x, y, pr.family, fit->beta, s_lambda);
  // The slopes Σ|∂d_i/∂η| are of order n/σ; the coefficient tolerance 1e-7 and the 1e-7 ridge
  // of the Newton system leave a gradient of about 1e-7 of that.
  const double scale = static_cast<double>(kRows) / pr.family.sigma;
  EXPECT_LT(grad.cwiseAbs().maxCoeff(), 1e-6 * scale);
  // About τ of the responses lie below the fitted values (up to the smoothing of the loss).
  const double below = ((y - fit->eta).array() < 0.0).cast<double>().mean();
  EXPECT_NEAR(below, tau, 0.05);
  // The reported deviance is the unpenalised sum of unit deviances at the returned β.
  double deviance = 0.0;
  for (Eigen::Index i = 0; i < kRows; ++i) {
    deviance += family::elf_deviance_unit(pr.family, y[i], fit->eta[i]);
  }
  EXPECT_NEAR(fit->deviance, deviance, 1e-10 * deviance);
  EXPECT_EQ(fit->pearson, fit->deviance);
}

TEST_P(ArmijoFitTest, StartedAtTheMinimiserStopsAfterOneIteration) {
  const ArmijoProblem pr = problem(GetParam());
  const auto first = armijo_fit(pr, rho);
  ASSERT_TRUE(first.has_value());
  ArmijoProblem restarted = pr;
  restarted.initial_beta = &first->beta;
  const auto again = armijo_fit(restarted, rho);
  ASSERT_TRUE(again.has_value());
  EXPECT_EQ(again->iterations, 1u);
  EXPECT_TRUE(again->converged);
  EXPECT_LT((again->beta - first->beta).cwiseAbs().maxCoeff(), 1e-7);
}

INSTANTIATE_TEST_SUITE_P(Quantiles, ArmijoFitTest, ::testing::Values(0.1, 0.5, 0.9));

std::string singular_message(const Result<InnerFit>& r) {
  const auto* e = std::get_if<SingularSystem>(&r.error());
  return e == nullptr ? std::string("not SingularSystem") : e->message;
}

TEST(ArmijoFitErrors, ParameterChecksComeBeforeAnyFactorisation) {
  // A negative definite "penalty" makes the Newton system indefinite, so the factorisation
  // fails; the parameter checks fail first.
  const Matrix x = Matrix::Ones(5, 2);
  const Vector y = Vector::Zero(5);
  const std::vector<Matrix> penalties{-1e6 * Matrix::Identity(2, 2)};
  ArmijoProblem pr;
  pr.penalties = penalties;
  pr.x = &x;
  pr.y = &y;
  pr.family = family::elf_identity(0.5, 0.0, 1.0);
  auto r = armijo_fit(pr, Vector::Zero(1));
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(std::get<InvalidParameter>(r.error()).message, "ELF σ and λ must be > 0; got σ=0 λ=1");
  pr.family = family::elf_identity(0.0, 1.0, 1.0);
  r = armijo_fit(pr, Vector::Zero(1));
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(std::get<InvalidParameter>(r.error()).message, "ELF τ must be in (0, 1); got 0");
  pr.family = family::elf_identity(0.5, 1.0, 1.0);
  r = armijo_fit(pr, Vector::Zero(1));
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(singular_message(r).rfind("ELF Cholesky: Computational failure in LAPACK", 0), 0u)
      << singular_message(r);
}

}  // namespace
}  // namespace zelki::inner
