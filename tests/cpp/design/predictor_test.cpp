// Predictors rebuild a design's model matrix at new covariate values.
#include "design/predictor.hpp"

#include <gtest/gtest.h>

#include <functional>

#include "design/cr.hpp"
#include "design/cr_stable.hpp"
#include "design/re.hpp"
#include "design_test_data.hpp"

namespace zelki::design {
namespace {

using design_test::covariate;
using design_test::error_message;

constexpr Eigen::Index kRows = 120;

struct BuilderCase {
  const char* name;
  const char* predictor_name;
  std::function<Result<Design>(const Matrix&)> build;
};

// Integer-valued covariates give the random-effect design a handful of levels.
Matrix rounded_covariate(Eigen::Index n) { return (3.0 * covariate(n)).array().round().matrix(); }

class PredictorTest : public ::testing::TestWithParam<BuilderCase> {};

TEST_P(PredictorTest, ReproducesTrainingMatrixAndIgnoresExtraColumns) {
  const Matrix x = rounded_covariate(kRows) + 0.1 * covariate(kRows);
  const auto design = GetParam().build(x);
  ASSERT_TRUE(design.has_value());

  const auto rebuilt = design->predictor.evaluate(x);
  ASSERT_TRUE(rebuilt.has_value()) << error_message(rebuilt);
  // Same knots, same products in the same order: equal bit for bit, not just close.
  EXPECT_EQ(*rebuilt, design->x);

  Matrix wide(kRows, 3);
  wide << x, Matrix::Constant(kRows, 1, 1e300), -x;
  const auto rebuilt_wide = design->predictor.evaluate(wide);
  ASSERT_TRUE(rebuilt_wide.has_value()) << error_message(rebuilt_wide);
  EXPECT_EQ(*rebuilt_wide, design->x);
}

TEST_P(PredictorTest, RejectsCovariatesWithoutColumns) {
  const auto design = GetParam().build(covariate(kRows));
  ASSERT_TRUE(design.has_value());
  const std::string expected =
      std::string(GetParam().predictor_name) + " reads column 0 but x has only 0 columns";
  EXPECT_EQ(error_message(design->predictor.evaluate(Matrix(5, 0))), expected);
}

INSTANTIATE_TEST_SUITE_P(
    Designs, PredictorTest,
    ::testing::Values(
        BuilderCase{"cr_k3", "CrPredictor", [](const Matrix& x) { return cr_design(x, 3); }},
        BuilderCase{"cr_k10", "CrPredictor", [](const Matrix& x) { return cr_design(x, 10); }},
        BuilderCase{"cr_stable_k10", "CrStablePredictor",
                    [](const Matrix& x) { return cr_stable_design(x, 10); }},
        BuilderCase{"re", "RePredictor", [](const Matrix& x) { return re_design(x); }}),
    [](const auto& param_info) { return std::string(param_info.param.name); });

class SplinePredictorTest : public ::testing::TestWithParam<BuilderCase> {};

TEST_P(SplinePredictorTest, StraightLineFitExtendsToNewCovariates) {
  // A straight line lies in the span of [1 | B·Z] and the basis continues linearly outside its
  // knots, so the least-squares fit of an exact line predicts the same line anywhere.
  const Matrix x = covariate(kRows);
  const auto line = [](const Matrix& t) { return Vector((0.7 - 2.5 * t.col(0).array()).matrix()); };
  const auto design = GetParam().build(x);
  ASSERT_TRUE(design.has_value());
  const Vector beta = design->x.colPivHouseholderQr().solve(line(x));

  Matrix x_new(5, 1);
  x_new << -3.0, -1.0, 0.123, 2.0, 10.0;  // below, at the ends of, inside and above the knots
  const auto rebuilt = design->predictor.evaluate(x_new);
  ASSERT_TRUE(rebuilt.has_value()) << error_message(rebuilt);
  // The fitted coefficients carry about cond(X)·ε of error, amplified by |x_new| ≤ 10.
  constexpr double kLineTol = 1e-9;
  EXPECT_LE((*rebuilt * beta - line(x_new)).cwiseAbs().maxCoeff(), kLineTol);
}

INSTANTIATE_TEST_SUITE_P(
    Designs, SplinePredictorTest,
    ::testing::Values(BuilderCase{"cr", "CrPredictor",
                                  [](const Matrix& x) { return cr_design(x, 8); }},
                      BuilderCase{"cr_stable", "CrStablePredictor",
                                  [](const Matrix& x) { return cr_stable_design(x, 8); }}),
    [](const auto& param_info) { return std::string(param_info.param.name); });

TEST(RePredictorTest, UnseenLevelGivesInterceptOnly) {
  const Predictor predictor{RePredictor{{1.0, 2.0, 3.0}}};
  Matrix x_new(3, 1);
  x_new << 2.0, 5.0, 1.0;
  Matrix expected(3, 4);
  expected << 1, 0, 1, 0,  //
      1, 0, 0, 0,          //
      1, 1, 0, 0;
  const auto rebuilt = predictor.evaluate(x_new);
  ASSERT_TRUE(rebuilt.has_value()) << error_message(rebuilt);
  EXPECT_EQ(*rebuilt, expected);
}

Vector values(std::initializer_list<double> v) {
  Vector out(static_cast<Eigen::Index>(v.size()));
  Eigen::Index i = 0;
  for (const double d : v) out[i++] = d;
  return out;
}

struct StoredCase {
  const char* name;
  std::function<Predictor()> make;
  const char* message;
};

class StoredPredictorTest : public ::testing::TestWithParam<StoredCase> {};

TEST_P(StoredPredictorTest, InconsistentStoredFieldsFailCleanly) {
  const auto& c = GetParam();
  EXPECT_EQ(error_message(c.make().evaluate(covariate(4))), c.message);
}

INSTANTIATE_TEST_SUITE_P(
    Faults, StoredPredictorTest,
    ::testing::Values(
        StoredCase{"two_knots",
                   [] {
                     return Predictor{CrPredictor{values({0, 1}), Matrix::Zero(2, 1)}};
                   },
                   "CR spline needs k ≥ 3 (got 2)"},
        StoredCase{"unsorted_knots",
                   [] {
                     return Predictor{CrStablePredictor{values({0, 2, 1}), Matrix::Zero(3, 2),
                                                        Matrix::Identity(2, 2)}};
                   },
                   "CR spline knots must be strictly increasing"},
        StoredCase{"centring_rows",
                   [] {
                     return Predictor{CrPredictor{values({0, 1, 2, 3}), Matrix::Zero(3, 2)}};
                   },
                   "CrPredictor: centring has 3 rows; expected 4"},
        StoredCase{"reparam_rows",
                   [] {
                     return Predictor{CrStablePredictor{values({0, 1, 2}), Matrix::Zero(3, 2),
                                                        Matrix::Identity(3, 3)}};
                   },
                   "CrStablePredictor: reparam_v has 3 rows; expected 2"},
        StoredCase{"unsorted_levels",
                   [] {
                     return Predictor{RePredictor{{2.0, 1.0}}};
                   },
                   "RePredictor: levels must be strictly increasing"}),
    [](const auto& param_info) { return std::string(param_info.param.name); });

}  // namespace
}  // namespace zelki::design
