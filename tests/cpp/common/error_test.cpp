// Display texts of the core error type and the propagation helpers of Result.
#include "common/error.hpp"

#include <gtest/gtest.h>

#include <limits>
#include <string>

#include "common/result.hpp"
#include "linalg/dense.hpp"

namespace zelki {
namespace {

struct DisplayCase {
  const char* name;
  ZelkiError error;
  std::string expected;
};

class DisplayTest : public ::testing::TestWithParam<DisplayCase> {};

TEST_P(DisplayTest, WritesTheFixedText) {
  EXPECT_EQ(display(GetParam().error), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    AllVariants, DisplayTest,
    ::testing::Values(
        // Messages are UTF-8 and pass through byte for byte.
        DisplayCase{"InvalidParameter", InvalidParameter{"k must be ≥ 3 — got θ"},
                    "invalid parameter: k must be ≥ 3 — got θ"},
        DisplayCase{"SingularSystem", SingularSystem{"Cholesky failed: x"},
                    "singular system: Cholesky failed: x"},
        DisplayCase{"Linalg", Linalg{"eigh failed: y"}, "linalg failure: eigh failed: y"},
        DisplayCase{"NotConvergedSmallNorm", NotConverged{50, 1.23456e-5},
                    "solver did not converge after 50 iterations (last grad norm = 1.235e-5)"},
        DisplayCase{"NotConvergedTrailingZeros", NotConverged{7, 0.5},
                    "solver did not converge after 7 iterations (last grad norm = 5.000e-1)"},
        DisplayCase{"NotConvergedLargestCount",
                    NotConverged{std::numeric_limits<std::uint64_t>::max(), 0.0},
                    "solver did not converge after 18446744073709551615 iterations "
                    "(last grad norm = 0.000e0)"},
        DisplayCase{"NotConvergedNaN", NotConverged{3, std::nan("")},
                    "solver did not converge after 3 iterations (last grad norm = NaN)"}),
    [](const auto& case_info) { return std::string(case_info.param.name); });

Result<int> parse_positive(int v) {
  if (v <= 0) return InvalidParameter{"not positive"};
  return v;
}

Result<int> doubled(int v) {
  ZELKI_TRY(const int p, parse_positive(v));
  return 2 * p;
}

Status check_positive(int v) {
  ZELKI_CHECK(parse_positive(v));
  return Ok{};
}

TEST(ResultTest, TryAndCheckPassValuesOnAndReturnErrorsUnchanged) {
  EXPECT_EQ(*doubled(4), 8);
  const Result<int> failed = doubled(-1);
  ASSERT_FALSE(failed.has_value());
  EXPECT_EQ(display(failed.error()), "invalid parameter: not positive");
  EXPECT_TRUE(check_positive(1).has_value());
  EXPECT_FALSE(check_positive(0).has_value());
}

// Misuse by calling code is a bug, reported as InternalFault (never a silent abort or a
// ZelkiError), including Eigen's own size checks.
TEST(InternalFaultTest, CallerFaultsThrowInternalFault) {
  const Result<int> failed = parse_positive(0);
  EXPECT_THROW(static_cast<void>(failed.value()), InternalFault);
  const Result<int> ok = parse_positive(1);
  EXPECT_THROW(static_cast<void>(ok.error()), InternalFault);
  EXPECT_THROW(static_cast<void>(linalg::matvec(Matrix::Ones(2, 3), Vector::Ones(2))),
               InternalFault);
#ifndef NDEBUG
  // Eigen checks its own shapes only in builds with assertions (the sanitizer build).
  const Matrix a = Matrix::Ones(2, 2);
  const Matrix b = Matrix::Ones(3, 3);
  EXPECT_THROW(static_cast<void>(Matrix(a + b)), InternalFault);
#endif
}

}  // namespace
}  // namespace zelki
