// Failures of the single-smooth design builders, with their exact messages.
#include <gtest/gtest.h>

#include <functional>
#include <limits>
#include <string>

#include "design/cr.hpp"
#include "design/cr_stable.hpp"
#include "design/re.hpp"
#include "design_test_data.hpp"

namespace zelki::design {
namespace {

using design_test::covariate;
using design_test::error_message;

struct ErrorCase {
  const char* name;
  std::function<std::string()> run;
  const char* message;
};

class DesignErrorTest : public ::testing::TestWithParam<ErrorCase> {};

TEST_P(DesignErrorTest, FailsWithExactMessage) { EXPECT_EQ(GetParam().run(), GetParam().message); }

const Matrix kConstant = Matrix::Constant(6, 1, 2.5);
const Matrix kNoRows(0, 1);
const Matrix kNoColumns(6, 0);
const Matrix kAllNan = Matrix::Constant(3, 1, std::numeric_limits<double>::quiet_NaN());

INSTANTIATE_TEST_SUITE_P(
    Builders, DesignErrorTest,
    ::testing::Values(
        ErrorCase{"cr_k2", [] { return error_message(cr_design(covariate(20), 2)); },
                  "CR spline needs k ≥ 3 (got 2)"},
        ErrorCase{"cr_stable_k2", [] { return error_message(cr_stable_design(covariate(20), 2)); },
                  "CR spline needs k ≥ 3 (got 2)"},
        ErrorCase{"cr_constant_column", [] { return error_message(cr_design(kConstant, 4)); },
                  "CR spline knots must be strictly increasing"},
        ErrorCase{"cr_stable_constant_column",
                  [] { return error_message(cr_stable_design(kConstant, 4)); },
                  "CR spline knots must be strictly increasing"},
        ErrorCase{"re_no_rows", [] { return error_message(re_design(kNoRows)); },
                  "Re basis: x is empty"},
        // NaN is never a level, so a column of NaN leaves none.
        ErrorCase{"re_all_nan", [] { return error_message(re_design(kAllNan)); },
                  "Re basis: x is empty"},
        ErrorCase{"cr_no_columns", [] { return error_message(cr_design(kNoColumns, 5)); },
                  "cr_design reads column 0 but x has only 0 columns"},
        ErrorCase{"cr_stable_no_columns",
                  [] { return error_message(cr_stable_design(kNoColumns, 5)); },
                  "cr_stable_design reads column 0 but x has only 0 columns"},
        ErrorCase{"re_no_columns", [] { return error_message(re_design(kNoColumns)); },
                  "re_design reads column 0 but x has only 0 columns"}),
    [](const auto& param_info) { return std::string(param_info.param.name); });

}  // namespace
}  // namespace zelki::design
