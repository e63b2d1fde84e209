// Number formatting of messages: shortest positional decimals and the grad-norm exponent form.
#include "common/format.hpp"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <random>
#include <string>

namespace zelki {
namespace {

struct FormatCase {
  double value;
  const char* expected;
};

TEST(FormatNumberTest, WritesShortestPositionalDecimal) {
  const double inf = std::numeric_limits<double>::infinity();
  const FormatCase cases[] = {
      {2.0, "2"},
      {-1.5, "-1.5"},
      {1e-7, "0.0000001"},
      {0.1, "0.1"},
      {0.0, "0"},
      {-0.0, "-0"},
      {123.456, "123.456"},
      {1e21, "1000000000000000000000"},
      // 1e23 is not a double; its nearest double is written with the shortest digits "1",
      // not as its exact value 99999999999999991611392.
      {1e23, "100000000000000000000000"},
      {-2.5e-8, "-0.000000025"},
      {9007199254740993.0, "9007199254740992"},  // 2^53 + 1 rounds to 2^53
      {std::nan(""), "NaN"},
      {inf, "inf"},
      {-inf, "-inf"},
  };
  for (const auto& c : cases) EXPECT_EQ(format_number(c.value), c.expected) << c.expected;
}

// Reads back exactly, never uses an exponent, and shows a point only for non-integral values,
// across random bit patterns covering every magnitude including subnormals.
TEST(FormatNumberTest, RoundTripsRandomDoubles) {
  std::mt19937_64 gen(11);
  for (int i = 0; i < 20000; ++i) {
    const double v = std::bit_cast<double>(gen());
    if (!std::isfinite(v)) continue;
    const std::string text = format_number(v);
    ASSERT_EQ(text.find_first_of("eE"), std::string::npos) << text;
    ASSERT_EQ(std::strtod(text.c_str(), nullptr), v) << text;
    ASSERT_EQ(text.find('.') == std::string::npos, v == std::trunc(v)) << text;
  }
}

TEST(FormatGradNormTest, WritesFourSignificantDigitsWithBareExponent) {
  const double inf = std::numeric_limits<double>::infinity();
  const FormatCase cases[] = {
      {1.2349e-5, "1.235e-5"},
      {0.5, "5.000e-1"},
      {0.0, "0.000e0"},
      {1.0, "1.000e0"},
      {9.9996, "1.000e1"},  // rounding carries into the exponent
      {123456.0, "1.235e5"},
      {-0.00042, "-4.200e-4"},
      {1e-300, "1.000e-300"},
      {std::nan(""), "NaN"},
      {inf, "inf"},
      {-inf, "-inf"},
  };
  for (const auto& c : cases) EXPECT_EQ(format_grad_norm(c.value), c.expected) << c.expected;
}

}  // namespace
}  // namespace zelki
