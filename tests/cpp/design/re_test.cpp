// The "re" design: one indicator column per level of the covariate, ridge-penalised.
#include "design/re.hpp"

#include <gtest/gtest.h>

#include <limits>

namespace zelki::design {
namespace {

Matrix column(std::initializer_list<double> values) {
  Matrix x(static_cast<Eigen::Index>(values.size()), 1);
  Eigen::Index i = 0;
  for (const double v : values) x(i++, 0) = v;
  return x;
}

TEST(ReDesignTest, IndicatorLayoutAndRidgePenalty) {
  const auto design = re_design(column({3.0, 1.0, 3.0, 2.0}));
  ASSERT_TRUE(design.has_value());
  Matrix expected(4, 4);
  expected << 1, 0, 0, 1,  //
      1, 1, 0, 0,          //
      1, 0, 0, 1,          //
      1, 0, 1, 0;
  EXPECT_EQ(design->x, expected);
  ASSERT_EQ(design->penalties.size(), 1u);
  EXPECT_EQ(design->penalties[0],
            Vector((Vector(4) << 0, 1, 1, 1).finished()).asDiagonal().toDenseMatrix());
  EXPECT_EQ(design->penalty_ranks, std::vector<std::size_t>{3});
  EXPECT_EQ(design->penalty_log_dets, std::vector<double>{0.0});
  EXPECT_EQ(design->null_space_dim, 1u);
  const auto& levels = std::get<RePredictor>(design->predictor.variant).levels;
  EXPECT_EQ(levels, (std::vector<double>{1.0, 2.0, 3.0}));
}

TEST(ReDesignTest, EveryComparableValueHitsExactlyOneLevel) {
  // 0.0 and −0.0 are equal numbers with different bit patterns: they must form one level, or one
  // of them would match no column. NaN equals nothing and is no level; its row stays zero.
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const auto design = re_design(column({0.0, 2.0, -0.0, nan, 2.0, -0.0}));
  ASSERT_TRUE(design.has_value());
  Matrix expected(6, 3);
  expected << 1, 1, 0,  //
      1, 0, 1,          //
      1, 1, 0,          //
      1, 0, 0,          //
      1, 0, 1,          //
      1, 1, 0;
  EXPECT_EQ(design->x, expected);
  EXPECT_EQ(std::get<RePredictor>(design->predictor.variant).levels.size(), 2u);
}

}  // namespace
}  // namespace zelki::design
