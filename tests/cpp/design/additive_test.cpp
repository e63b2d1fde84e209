// Additive designs: block layout, embedded penalties, ranks and null-space dimension, the column
// checks, the side conditions for nested tensor terms, and the predictor that rebuilds x.
#include "design/additive.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <string>

#include "design/penalty.hpp"
#include "design_test_data.hpp"
#include "linalg/dense.hpp"

namespace zelki::design {
namespace {

using design_test::error_message;

constexpr Eigen::Index kRows = 200;

// Column 0 smooth and irregular, column 1 with the four levels 0 … 3, columns 2 and 3 smooth.
Matrix covariates(Eigen::Index n) {
  Matrix x(n, 4);
  for (Eigen::Index i = 0; i < n; ++i) {
    const double d = static_cast<double>(i);
    x(i, 0) = std::sin(37.0 * d);
    x(i, 1) = static_cast<double>(i % 4);
    x(i, 2) = std::cos(13.0 * d) * 3.0 + 1.0;
    x(i, 3) = std::fmod(0.618 * d, 1.0);
  }
  return x;
}

std::vector<std::array<std::uint64_t, 2>> ranges_of(const Design& d) {
  return std::get<AdditivePredictor>(d.predictor.variant).term_col_ranges;
}

TEST(AdditiveDesign, CrAndReTermsAreLaidOutWithEmbeddedPenalties) {
  const auto d = additive_design(covariates(kRows), {CrTermSpec{0, 10}, ReTermSpec{1}});
  ASSERT_TRUE(d.has_value()) << error_message(d);
  ASSERT_EQ(d->x.cols(), 14);
  EXPECT_EQ(d->x.col(0), Vector::Ones(kRows));
  EXPECT_EQ(ranges_of(*d), (std::vector<std::array<std::uint64_t, 2>>{{1, 10}, {10, 14}}));
  ASSERT_EQ(d->penalties.size(), 2u);
  // The first penalty lives in rows and columns 1 … 9, the second is the identity on 10 … 13.
  Matrix outside = d->penalties[0];
  outside.block(1, 1, 9, 9).setZero();
  EXPECT_EQ(outside, Matrix::Zero(14, 14));
  Matrix ridge = Matrix::Zero(14, 14);
  ridge.block(10, 10, 4, 4).setIdentity();
  EXPECT_EQ(d->penalties[1], ridge);
  EXPECT_EQ(d->penalty_ranks, (std::vector<std::size_t>{8, 4}));
  EXPECT_DOUBLE_EQ(d->penalty_log_dets[1], 0.0);
  // Unpenalised: the intercept and the straight line of the cr term.
  EXPECT_EQ(d->null_space_dim, 2u);
  // Indicators of the levels of column 1.
  for (Eigen::Index i = 0; i < kRows; ++i) EXPECT_EQ(d->x(i, 10 + i % 4), 1.0);
}

TEST(AdditiveDesign, RangesTileTheColumnsAndThePredictorReproducesX) {
  const Matrix x = covariates(kRows);
  const std::vector<TermSpec> terms = {CrStableTermSpec{2, 6}, TensorTermSpec{0, 3, 5, 5},
                                       ReTermSpec{1}, CrTermSpec{0, 4}};
  const auto d = additive_design(x, terms);
  ASSERT_TRUE(d.has_value()) << error_message(d);
  std::uint64_t next = 1;
  for (const auto& [first, last] : ranges_of(*d)) {
    EXPECT_EQ(first, next);
    EXPECT_LT(first, last);
    next = last;
  }
  EXPECT_EQ(next, static_cast<std::uint64_t>(d->x.cols()));
  // One penalty per one-dimensional term, two for the tensor term, in term order.
  EXPECT_EQ(d->penalties.size(), 5u);

  const auto rebuilt = d->predictor.evaluate(x);
  ASSERT_TRUE(rebuilt.has_value()) << error_message(rebuilt);
  EXPECT_EQ(*rebuilt, d->x);  // bit for bit
  // Extra columns and a permuted copy of unused data change nothing.
  Matrix wide(kRows, 6);
  wide << x, Matrix::Constant(kRows, 2, 7.0);
  EXPECT_EQ(*d->predictor.evaluate(wide), d->x);
}

// The two margin penalties of a tensor term overlap: each has rank 15, their sum rank 21, so the
// unpenalised space is the intercept plus the three bilinear functions left in the block.
TEST(AdditiveDesign, TensorNullSpaceIsThatOfThePenaltySum) {
  const auto d = additive_design(covariates(kRows), {TensorTermSpec{0, 2, 5, 5}});
  ASSERT_TRUE(d.has_value()) << error_message(d);
  EXPECT_EQ(d->x.cols(), 25);
  EXPECT_EQ(d->penalty_ranks, (std::vector<std::size_t>{15, 15}));
  EXPECT_EQ(d->null_space_dim, 4u);
  ASSERT_EQ(d->shared_blocks.size(), 1u);
  EXPECT_EQ(d->shared_blocks[0].count, 2u);
  EXPECT_EQ(d->shared_blocks[0].first_col, 1);
  EXPECT_EQ(d->shared_blocks[0].width, 24);
  EXPECT_EQ(d->shared_blocks[0].rank, 21u);
}

// A smooth of x0 and a tensor smooth of (x0, x3) both leave the straight line in x0 unpenalised;
// without a side condition XᵀX + Σ S_k would be singular. The tensor block drops that column.
TEST(AdditiveDesign, NestedTensorTermIsMadeIdentifiable) {
  const Matrix x = covariates(kRows);
  const auto d = additive_design(x, {CrTermSpec{0, 10}, TensorTermSpec{0, 3, 5, 5}});
  ASSERT_TRUE(d.has_value()) << error_message(d);
  EXPECT_EQ(ranges_of(*d)[1], (std::array<std::uint64_t, 2>{10, 33}));  // 24 − 1 columns
  Matrix h = d->x.transpose() * d->x;
  for (const Matrix& s : d->penalties) h += s;
  const Vector eigenvalues = std::get<linalg::Eigensystem>(linalg::symmetric_eigen(h)).values;
  EXPECT_GT(eigenvalues.minCoeff(), 1e-8 * eigenvalues.maxCoeff());
  EXPECT_EQ(*d->predictor.evaluate(x), d->x);

  // A tensor term without nested terms keeps all its columns.
  const auto alone = additive_design(x, {CrTermSpec{2, 10}, TensorTermSpec{0, 3, 5, 5}});
  ASSERT_TRUE(alone.has_value());
  EXPECT_EQ(ranges_of(*alone)[1], (std::array<std::uint64_t, 2>{10, 34}));
}

struct ErrorCase {
  const char* name;
  std::function<std::string()> run;
  const char* expected;
};

class AdditiveErrorTest : public ::testing::TestWithParam<ErrorCase> {};

TEST_P(AdditiveErrorTest, ReportsTheFault) { EXPECT_EQ(GetParam().run(), GetParam().expected); }

Predictor two_term_predictor() {
  return additive_design(covariates(60), {CrTermSpec{0, 10}, ReTermSpec{1}})->predictor;
}

INSTANTIATE_TEST_SUITE_P(
    Errors, AdditiveErrorTest,
    ::testing::Values(
        // The column test covers every term before any basis is built: the constant column 3
        // of term 0 would otherwise fail knot placement first.
        ErrorCase{"design_column_missing",
                  [] {
                    Matrix x = covariates(30).leftCols(2);
                    x.col(0).setConstant(1.0);
                    return error_message(additive_design(x, {CrTermSpec{0, 5}, CrTermSpec{2, 5}}));
                  },
                  "Additive term 1 reads column 2 but x has only 2 columns"},
        ErrorCase{
            "design_tensor_column_missing",
            [] {
              return error_message(additive_design(covariates(30), {TensorTermSpec{0, 9, 5, 5}}));
            },
            "Additive term 0 reads column 9 but x has only 4 columns"},
        ErrorCase{
            "design_builder_error",
            [] {
              return error_message(additive_design(covariates(30), {TensorTermSpec{2, 2, 5, 5}}));
            },
            "Tensor term must have distinct margin columns (got col_a == col_b == 2)"},
        ErrorCase{
            "evaluate_second_term_column_missing",
            [] { return error_message(two_term_predictor().evaluate(covariates(5).leftCols(1))); },
            "AdditivePredictor: term 1 expects column 1 but x has only 1 columns"},
        ErrorCase{"evaluate_without_columns",
                  [] { return error_message(two_term_predictor().evaluate(Matrix(5, 0))); },
                  "AdditivePredictor: term 0 expects column 0 but x has only 0 columns"},
        ErrorCase{"evaluate_missing_cols_used",
                  [] {
                    Predictor p = two_term_predictor();
                    std::get<AdditivePredictor>(p.variant).cols_used.pop_back();
                    return error_message(p.evaluate(covariates(5)));
                  },
                  "AdditivePredictor: term 1 has no stored columns"},
        ErrorCase{"evaluate_nested_additive",
                  [] {
                    Predictor p = two_term_predictor();
                    auto& additive = std::get<AdditivePredictor>(p.variant);
                    additive.term_predictors[1] = two_term_predictor();
                    return error_message(p.evaluate(covariates(5)));
                  },
                  "AdditivePredictor: term 1 is itself an additive predictor"}),
    [](const auto& param_info) { return std::string(param_info.param.name); });

}  // namespace
}  // namespace zelki::design
