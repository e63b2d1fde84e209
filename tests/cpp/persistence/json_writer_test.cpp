// Float notation of saved models: the shortest round-trip digits in plain or exponent form.
#include "persistence/json_writer.hpp"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <random>
#include <string>

namespace zelki::persistence {
namespace {

std::string json_float(double value) {
  std::string out;
  append_json_float(out, value);
  return out;
}

struct NotationCase {
  double value;
  const char* expected;
};

TEST(JsonFloatTest, WritesTheShortestDigitsInPlainOrExponentForm) {
  const double inf = std::numeric_limits<double>::infinity();
  const NotationCase cases[] = {
      {0.0, "0.0"},
      {-0.0, "-0.0"},
      {1.5, "1.5"},
      {0.01, "0.01"},
      {0.25, "0.25"},
      {2.0, "2.0"},
      {10.0, "10.0"},
      {-3.0, "-3.0"},
      {0.1, "0.1"},
      {123.456, "123.456"},
      // Boundaries of the plain form, value = 0.d × 10^e with −5 < e ≤ 16.
      {1e-5, "0.00001"},     // e = −4
      {1.5e-5, "0.000015"},  // e = −4
      {1e-6, "1e-6"},        // e = −5
      {1e-7, "1e-7"},
      {2.5e-7, "2.5e-7"},
      {1e15, "1000000000000000.0"},  // e = 16
      {1.5e15, "1500000000000000.0"},
      {1e16, "1e16"},  // e = 17
      {1.25e16, "1.25e16"},
      {1e30, "1e30"},
      {-1e30, "-1e30"},
      {9007199254740993.0, "9007199254740992.0"},  // 2^53 + 1 rounds to 2^53
      {1e23, "1e23"},  // shortest digits "1", not the exact value 99999999999999991611392
      {std::numeric_limits<double>::max(), "1.7976931348623157e308"},
      {std::numeric_limits<double>::min(), "2.2250738585072014e-308"},
      {std::numeric_limits<double>::denorm_min(), "5e-324"},
      {std::nan(""), "null"},
      {inf, "null"},
      {-inf, "null"},
  };
  for (const auto& c : cases) EXPECT_EQ(json_float(c.value), c.expected) << c.value;
}

TEST(JsonFloatTest, RandomBitPatternsReadBackExactly) {
  // strtod is an independent correctly rounded reader: the text must name the same double.
  std::mt19937_64 gen(20240611);
  for (int i = 0; i < 100000; ++i) {
    const auto value = std::bit_cast<double>(gen());
    if (!std::isfinite(value)) continue;
    const std::string text = json_float(value);
    ASSERT_EQ(std::bit_cast<std::uint64_t>(std::strtod(text.c_str(), nullptr)),
              std::bit_cast<std::uint64_t>(value))
        << text;
  }
}

TEST(JsonWriterTest, EscapesStrings) {
  JsonWriter w;
  w.string("a\"b\\c\n\x01");
  EXPECT_EQ(std::move(w).take(), R"("a\"b\\c\u000a\u0001")");
}

}  // namespace
}  // namespace zelki::persistence
