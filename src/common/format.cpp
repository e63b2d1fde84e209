#include "common/format.hpp"

#include <array>
#include <charconv>
#include <cmath>

#include "common/assert.hpp"

namespace zelki {

namespace {

// Non-finite values have fixed spellings in every message.
bool format_non_finite(double value, std::string& out) {
  if (std::isnan(value)) {
    out = "NaN";
    return true;
  }
  if (std::isinf(value)) {
    out = value > 0 ? "inf" : "-inf";
    return true;
  }
  return false;
}

}  // namespace

std::string format_number(double value) {
  std::string out;
  if (format_non_finite(value, out)) return out;
  // Fixed notation without a precision gives the shortest round-trip digits; the largest double
  // needs 309 integral digits plus sign, the smallest subnormal 1074 fractional digits.
  std::array<char, 1100> buffer{};
  const auto [end, ec] =
      std::to_chars(buffer.data(), buffer.data() + buffer.size(), value, std::chars_format::fixed);
  ZELKI_ASSERT(ec == std::errc(), "to_chars overflowed its buffer");
  return std::string(buffer.data(), end);
}

std::string format_grad_norm(double value) {
  std::string out;
  if (format_non_finite(value, out)) return out;
  std::array<char, 64> buffer{};
  const auto [end, ec] = std::to_chars(buffer.data(), buffer.data() + buffer.size(), value,
                                       std::chars_format::scientific, 3);
  ZELKI_ASSERT(ec == std::errc(), "to_chars overflowed its buffer");
  // to_chars writes e.g. "1.235e-05": drop the exponent's plus sign and leading zeros.
  const std::string text(buffer.data(), end);
  const auto e = text.find('e');
  std::string exponent = text.substr(e + 1);
  const bool negative = exponent.front() == '-';
  if (exponent.front() == '-' || exponent.front() == '+') exponent.erase(0, 1);
  const auto first_nonzero = exponent.find_first_not_of('0');
  exponent = first_nonzero == std::string::npos ? "0" : exponent.substr(first_nonzero);
  return text.substr(0, e + 1) + (negative && exponent != "0" ? "-" : "") + exponent;
}

}  // namespace zelki
