// The "cr_stable" design: the "cr" smooth in the eigenbasis of its penalty.
#include "design/cr_stable.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <limits>

#include "design/cr.hpp"
#include "design_test_data.hpp"

namespace zelki::design {
namespace {

using design_test::covariate;
using design_test::penalised_fitted_values;
using design_test::response;

constexpr double kEps = std::numeric_limits<double>::epsilon();
constexpr Eigen::Index kRows = 200;

class CrStableDesignTest : public ::testing::TestWithParam<std::size_t> {};

TEST_P(CrStableDesignTest, SameFitsAsCrAtEverySmoothingParameter) {
  const std::size_t k = GetParam();
  const Matrix x = covariate(kRows);
  const Vector y = response(x);
  const auto cr = cr_design(x, k);
  const auto stable = cr_stable_design(x, k);
  ASSERT_TRUE(cr.has_value());
  ASSERT_TRUE(stable.has_value());
  ASSERT_EQ(stable->x.cols(), static_cast<Eigen::Index>(k));
  EXPECT_EQ(stable->penalty_ranks, cr->penalty_ranks);
  EXPECT_EQ(stable->null_space_dim, cr->null_space_dim);

  // An orthogonal change of coefficients leaves both Xβ and βᵀSβ unchanged, so the penalised
  // least-squares fitted values agree for every λ (λ = 0: the same column space). The dense
  // solves lose about cond(XᵀX + λS)·ε; the basis is well conditioned at these sizes.
  constexpr double kFitTol = 1e-8;
  for (const double lambda : {0.0, 1e-3, 1.0, 1e3}) {
    const Vector a = penalised_fitted_values(cr->x, cr->penalties[0], lambda, y);
    const Vector b = penalised_fitted_values(stable->x, stable->penalties[0], lambda, y);
    EXPECT_LE((a - b).norm(), kFitTol * y.norm()) << "lambda " << lambda;
  }
}

TEST_P(CrStableDesignTest, PenaltyIsTheDescendingSpectrumOfTheCrPenalty) {
  const std::size_t k = GetParam();
  const Matrix x = covariate(kRows);
  const auto cr = cr_design(x, k);
  const auto stable = cr_stable_design(x, k);
  ASSERT_TRUE(cr.has_value());
  ASSERT_TRUE(stable.has_value());

  const auto q = static_cast<Eigen::Index>(k) - 1;
  const Matrix s = stable->penalties[0].bottomRightCorner(q, q);
  const Eigen::SelfAdjointEigenSolver<Matrix> eig(cr->penalties[0].bottomRightCorner(q, q));
  Vector expected = eig.eigenvalues().reverse();
  // A similarity by computed eigenvectors: off-diagonal and diagonal errors of a few ε·‖S‖.
  const double tol = 100.0 * static_cast<double>(k) * kEps * expected.maxCoeff();
  EXPECT_LE((s.diagonal() - expected).cwiseAbs().maxCoeff(), tol);
  Matrix off = s;
  off.diagonal().setZero();
  EXPECT_LE(off.cwiseAbs().maxCoeff(), tol);
  for (Eigen::Index i = 1; i < q; ++i) EXPECT_LE(s(i, i), s(i - 1, i - 1) + tol) << "row " << i;
}

INSTANTIATE_TEST_SUITE_P(BasisSizes, CrStableDesignTest, ::testing::Values(3u, 10u, 20u));

TEST(CrStableDesignTest, ReparamRejectsPenaltyOfWrongShape) {
  const auto result = stable_reparam(Matrix::Zero(3, 2), 3);
  EXPECT_EQ(design_test::error_message(result),
            "StableReparam: inner_penalty must be (3, 3); got (3, 2)");
}

}  // namespace
}  // namespace zelki::design
