// Rank and log pseudo-determinant of a penalty.
#include "design/penalty.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <limits>
#include <vector>

namespace zelki::design {
namespace {

struct RankCase {
  const char* name;
  std::vector<double> eigenvalues;
  std::size_t rank;
  double log_det;
};

// Q diag(λ) Qᵀ with Q a fixed orthogonal matrix: the eigenvalues are known, the entries are not
// aligned with them, so the rank has to come from a genuine decomposition.
Matrix rotated_diagonal(const std::vector<double>& eigenvalues) {
  const auto k = static_cast<Eigen::Index>(eigenvalues.size());
  Matrix g(k, k);
  for (Eigen::Index i = 0; i < k; ++i) {
    for (Eigen::Index j = 0; j < k; ++j) g(i, j) = std::sin(1.0 + 3.0 * i + 7.0 * j);
  }
  const Matrix q = g.householderQr().householderQ();
  const Vector l = Eigen::Map<const Vector>(eigenvalues.data(), k);
  Matrix s = q * l.asDiagonal() * q.transpose();
  return 0.5 * (s + s.transpose());
}

class DesignPenaltyRankTest : public ::testing::TestWithParam<RankCase> {};

TEST_P(DesignPenaltyRankTest, CountsAndLogsEigenvaluesAboveTolerance) {
  const auto& c = GetParam();
  const PenaltyRank got = penalty_rank_log_det(rotated_diagonal(c.eigenvalues));
  EXPECT_EQ(got.rank, c.rank);
  // The rotation perturbs each eigenvalue by a few ε·max|λ|, which moves the logarithm of the
  // smallest kept eigenvalue the most; allow 100 such rounding errors relative to it.
  std::vector<double> descending = c.eigenvalues;
  std::sort(descending.begin(), descending.end(), std::greater<>());
  double max_abs = 0.0;
  for (const double l : c.eigenvalues) max_abs = std::max(max_abs, std::abs(l));
  const double log_tol = c.rank == 0 ? 0.0
                                     : 100.0 * std::numeric_limits<double>::epsilon() * max_abs /
                                           descending[c.rank - 1];
  EXPECT_NEAR(got.log_det, c.log_det, log_tol);
}

INSTANTIATE_TEST_SUITE_P(
    Spectra, DesignPenaltyRankTest,
    ::testing::Values(
        RankCase{"one_zero", {0.0, 2.0, 3.0}, 2, std::log(6.0)},
        // 1e-11 is below the tolerance max(1, 1)·1e-10 and counts as zero.
        RankCase{"below_tolerance", {0.0, 1e-11, 1.0}, 1, 0.0},
        // The tolerance grows with the largest eigenvalue: 1e-5 < 1e6·1e-10.
        RankCase{"relative_tolerance", {1e-5, 0.5, 1e6}, 2, std::log(0.5e6)},
        RankCase{"full_rank", {1e-3, 5.0, 7.0, 11.0}, 4, std::log(1e-3 * 5.0 * 7.0 * 11.0)},
        RankCase{"negative_ignored", {-1.0, 0.0, 4.0}, 1, std::log(4.0)},
        RankCase{"zero_matrix", {0.0, 0.0, 0.0}, 0, 0.0}),
    [](const auto& case_info) { return std::string(case_info.param.name); });

}  // namespace
}  // namespace zelki::design
