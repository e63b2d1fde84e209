// Tensor-product terms: the row-wise Kronecker basis, the margin penalties in Kronecker form, the
// centring, and the predictor that rebuilds the block.
#include "design/tensor.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <string>

#include "basis/cr.hpp"
#include "design/penalty.hpp"
#include "design_test_data.hpp"
#include "linalg/dense.hpp"
#include "support/numeric_checks.hpp"

namespace zelki::design {
namespace {

using design_test::error_message;

constexpr Eigen::Index kRows = 300;

// Two covariates on different scales, irregularly spread and not aligned with each other.
Matrix two_covariates(Eigen::Index n) {
  Matrix x(n, 3);
  for (Eigen::Index i = 0; i < n; ++i) {
    const double u = static_cast<double>(i) / static_cast<double>(n - 1);
    x(i, 0) = std::sin(37.0 * static_cast<double>(i));
    x(i, 1) = 100.0 * u * u + 3.0;
    x(i, 2) = std::cos(11.0 * static_cast<double>(i)) * 5.0;
  }
  return x;
}

TEST(TensorTerm, KroneckerPenaltiesHaveTheRanksOfTheirMargins) {
  const auto term = tensor_term(two_covariates(kRows), 0, 1, 5, 5);
  ASSERT_TRUE(term.has_value()) << error_message(term);
  EXPECT_EQ(term->block.rows(), kRows);
  EXPECT_EQ(term->block.cols(), 24);
  ASSERT_EQ(term->penalties.size(), 2u);
  // rank(S_a ⊗ I_5) = rank(S_a)·5 = 3·5 = 15; the centring removes the constant, which lies in
  // the null space of both penalties, so it does not lower either rank.
  for (const Matrix& s : term->penalties) {
    EXPECT_EQ(s.rows(), 24);
    EXPECT_EQ(penalty_rank_log_det(s).rank, 15u);
  }
  // Together the penalties leave unpenalised exactly the bilinear functions x_a, x_b and x_a·x_b
  // (the tensor product of the two linear null spaces, less the constant).
  EXPECT_EQ(penalty_rank_log_det(term->penalties[0] + term->penalties[1]).rank, 21u);
  EXPECT_EQ(term->cols_used, (std::vector<std::uint64_t>{0, 1}));
}

TEST(TensorTerm, ProductBasisIsAPartitionOfUnityAndTheBlockIsCentred) {
  const Matrix x = two_covariates(kRows);
  const auto term = tensor_term(x, 1, 2, 6, 4);
  ASSERT_TRUE(term.has_value()) << error_message(term);
  const TensorPredictor& p = term->predictor;
  // Each margin basis sums to 1 in every row, hence so does their row-wise Kronecker product:
  // Σ_ij a_i b_j = (Σ_i a_i)(Σ_j b_j). The centred block then has zero column sums.
  const auto margin = [&x](const Vector& knots, Eigen::Index col) {
    return basis::CrBasis::from_knots(knots)->evaluate_values(x.col(col));
  };
  const Matrix t = rowwise_kronecker(margin(p.knots_a, 1), margin(p.knots_b, 2));
  EXPECT_LT((t.rowwise().sum().array() - 1.0).abs().maxCoeff(), 1e-13);
  EXPECT_EQ(Matrix(t * p.centring), term->block);
  EXPECT_LT(term->block.colwise().sum().cwiseAbs().maxCoeff(), 1e-10 * kRows);
  EXPECT_EQ(p.centring.rows(), 24);
  EXPECT_EQ(p.centring.cols(), 23);
  EXPECT_LT(testing::relative_error(Matrix(p.centring.transpose() * p.centring),
                                    Matrix::Identity(23, 23)),
            1e-14);
  EXPECT_EQ(p.xp_a, Matrix::Identity(6, 6));
  EXPECT_EQ(p.xp_b, Matrix::Identity(4, 4));
}

TEST(RowwiseKronecker, RowsAreKroneckerProductsWithTheSecondFactorFastest) {
  Matrix a(2, 2), b(2, 3);
  a << 1, 2,  //
      3, 4;
  b << 5, 6, 7,  //
      8, 9, 10;
  Matrix expected(2, 6);
  expected << 5, 6, 7, 10, 12, 14,  //
      24, 27, 30, 32, 36, 40;
  EXPECT_EQ(rowwise_kronecker(a, b), expected);
}

TEST(RescalePenalty, LargestEigenvalueBecomesOneAndZeroStaysZero) {
  const Vector eigenvalues = (Vector(4) << 0.0, 0.5, 3.0, 12.0).finished();
  const Matrix s = testing::spd_with_eigenvalues(eigenvalues, 3);
  const auto scaled = rescale_penalty(s);
  ASSERT_TRUE(scaled.has_value());
  const auto eig = std::get<linalg::Eigensystem>(linalg::symmetric_eigen(*scaled));
  EXPECT_NEAR(eig.values.maxCoeff(), 1.0, 1e-14);
  EXPECT_NEAR(eig.values[1], 0.5 / 12.0, 1e-14);
  const Matrix zero = Matrix::Zero(3, 3);
  EXPECT_EQ(*rescale_penalty(zero), zero);
}

TEST(TensorPredictor, ReproducesTheTrainingBlockExactly) {
  const Matrix x = two_covariates(kRows);
  const auto term = tensor_term(x, 2, 0, 5, 7);
  ASSERT_TRUE(term.has_value()) << error_message(term);
  const auto rebuilt = term->predictor.evaluate(x);
  ASSERT_TRUE(rebuilt.has_value()) << error_message(rebuilt);
  EXPECT_EQ(rebuilt->col(0), Vector::Ones(kRows));
  EXPECT_EQ(rebuilt->rightCols(34), term->block);
}

struct TensorErrorCase {
  const char* name;
  std::function<std::string()> run;
  const char* expected;
};

class TensorErrorTest : public ::testing::TestWithParam<TensorErrorCase> {};

TEST_P(TensorErrorTest, ReportsTheFault) { EXPECT_EQ(GetParam().run(), GetParam().expected); }

TensorPredictor trained_predictor() {
  return tensor_term(two_covariates(50), 0, 1, 4, 4)->predictor;
}

INSTANTIATE_TEST_SUITE_P(
    Errors, TensorErrorTest,
    ::testing::Values(
        TensorErrorCase{"same_columns",
                        [] {
                          Matrix x = Matrix::Zero(10, 4);
                          return error_message(tensor_term(x, 3, 3, 5, 5));
                        },
                        "Tensor term must have distinct margin columns (got col_a == col_b == 3)"},
        TensorErrorCase{"constant_margin_b",
                        [] {
                          Matrix x = two_covariates(40);
                          x.col(2).setConstant(1.5);
                          return error_message(tensor_term(x, 0, 2, 5, 5));
                        },
                        "CR spline knots must be strictly increasing"},
        TensorErrorCase{"missing_column",
                        [] { return error_message(trained_predictor().evaluate(Matrix(5, 1))); },
                        "TensorPredictor: term reads columns (0, 1) but x has only 1 columns"},
        TensorErrorCase{"bad_stored_knots_b",
                        [] {
                          TensorPredictor p = trained_predictor();
                          p.knots_b[2] = p.knots_b[1];
                          return error_message(p.evaluate(two_covariates(5)));
                        },
                        "TensorPredictor: invalid stored knots_b: CR spline knots must be "
                        "strictly increasing"},
        TensorErrorCase{"centring_of_wrong_height",
                        [] {
                          TensorPredictor p = trained_predictor();
                          p.centring = Matrix::Zero(15, 15);
                          return error_message(p.evaluate(two_covariates(5)));
                        },
                        "TensorPredictor: centring has 15 rows; expected 16"}),
    [](const auto& param_info) { return std::string(param_info.param.name); });

}  // namespace
}  // namespace zelki::design
