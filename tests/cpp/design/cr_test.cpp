// The "cr" design: centred spline columns behind an intercept, with a penalty whose null space is
// the straight lines.
#include "design/cr.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "design_test_data.hpp"

namespace zelki::design {
namespace {

using design_test::covariate;
using design_test::relative_projection_residual;

constexpr double kEps = std::numeric_limits<double>::epsilon();
constexpr Eigen::Index kRows = 200;

class CrDesignTest : public ::testing::TestWithParam<std::size_t> {};

TEST_P(CrDesignTest, CentredColumnsBehindUnpenalisedIntercept) {
  const std::size_t k = GetParam();
  const Matrix x = covariate(kRows);
  const auto design = cr_design(x, k);
  ASSERT_TRUE(design.has_value());
  const auto p = static_cast<Eigen::Index>(k);
  ASSERT_EQ(design->x.rows(), kRows);
  ASSERT_EQ(design->x.cols(), p);
  EXPECT_TRUE((design->x.col(0).array() == 1.0).all());

  // Every basis row sums to 1 and Z has orthonormal columns, so each column sum is a handful of
  // rounding errors per row: bound it by n·ε times a small factor.
  const Vector sums = design->x.rightCols(p - 1).colwise().sum();
  EXPECT_LE(sums.cwiseAbs().maxCoeff(), 10.0 * kRows * kEps);

  ASSERT_EQ(design->penalties.size(), 1u);
  const Matrix& s = design->penalties[0];
  ASSERT_EQ(s.rows(), p);
  ASSERT_EQ(s.cols(), p);
  EXPECT_TRUE(s.row(0).isZero(0.0));
  EXPECT_TRUE(s.col(0).isZero(0.0));
}

TEST_P(CrDesignTest, RankAndLogDeterminantMatchAnIndependentDecomposition) {
  const std::size_t k = GetParam();
  const auto design = cr_design(covariate(kRows), k);
  ASSERT_TRUE(design.has_value());
  const Matrix& s = design->penalties[0];

  // Eigen's own solver, not the LAPACK routine the design uses.
  const Eigen::SelfAdjointEigenSolver<Matrix> eig(s);
  const Vector& lambda = eig.eigenvalues();
  const double tol = std::max(lambda.maxCoeff(), 1.0) * 1e-10;
  std::size_t rank = 0;
  double log_det = 0.0;
  for (const double l : lambda) {
    if (l > tol) {
      ++rank;
      log_det += std::log(l);
    }
  }
  // A cubic spline penalty ignores constants and straight lines; the intercept takes the constant,
  // the centred term keeps the line: rank k − 2 of k, two unpenalised directions.
  EXPECT_EQ(rank, k - 2);
  ASSERT_EQ(design->penalty_ranks.size(), 1u);
  EXPECT_EQ(design->penalty_ranks[0], k - 2);
  EXPECT_EQ(design->null_space_dim, 2u);
  // Both sums add k − 2 logarithms of eigenvalues known to a few ε·λ_max each.
  const double log_tol = 1e3 * kEps * lambda.maxCoeff() / lambda.tail(rank).minCoeff();
  EXPECT_NEAR(design->penalty_log_dets[0], log_det, log_tol);
}

TEST_P(CrDesignTest, PenaltyNullSpaceFitsExactlyTheStraightLines) {
  const std::size_t k = GetParam();
  const Matrix x = covariate(kRows);
  const auto design = cr_design(x, k);
  ASSERT_TRUE(design.has_value());

  const Eigen::SelfAdjointEigenSolver<Matrix> eig(design->penalties[0]);
  // Eigenvalues ascend: the first null_space_dim eigenvectors span the unpenalised coefficients.
  const Matrix null_basis = eig.eigenvectors().leftCols(2);
  const Matrix fitted_null = design->x * null_basis;
  // The covariate lies inside the knot range, where the basis reproduces straight lines exactly,
  // so the unpenalised fits are exactly a + b·x.
  constexpr double kSpanTol = 1e-9;
  EXPECT_LE(relative_projection_residual(fitted_null, Vector::Ones(kRows)), kSpanTol);
  EXPECT_LE(relative_projection_residual(fitted_null, x.col(0)), kSpanTol);
}

INSTANTIATE_TEST_SUITE_P(BasisSizes, CrDesignTest, ::testing::Values(3u, 5u, 10u, 20u));

}  // namespace
}  // namespace zelki::design
