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
  // The shortest round-trip digit string comes from the scientific form; it is then written out
  // in positional notation. (Fixed-notation to_chars minimises characters instead, which prints
  // 1e23 as its exact value 99999999999999991611392 rather than 100000000000000000000000.)
  std::array<char, 32> buffer{};
  const auto [end, ec] = std::to_chars(buffer.data(), buffer.data() + buffer.size(), value,
                                       std::chars_format::scientific);
  ZELKI_ASSERT(ec == std::errc(), "to_chars overflowed its buffer");
  // Text is [-]d[.ddd]e<sign>XX: value = d.ddd × 10^exponent.
  const std::string text(buffer.data(), end);
  const auto e = text.find('e');
  ZELKI_ASSERT(e != std::string::npos, "to_chars wrote no exponent");
  const bool negative = text.front() == '-';
  std::string digits;
  for (std::size_t i = negative ? 1 : 0; i < e; ++i) {
    if (text[i] != '.') digits.push_back(text[i]);
  }
  const int exponent = std::stoi(text.substr(e + 1));
  if (negative) out.push_back('-');
  if (exponent < 0) {
    // 0.00ddd: −exponent − 1 zeros between the point and the first digit.
    out += "0.";
    out.append(static_cast<std::size_t>(-exponent - 1), '0');
    out += digits;
    return out;
  }
  const auto integral_digits = static_cast<std::size_t>(exponent) + 1;
  if (digits.size() <= integral_digits) {
    out += digits;
    out.append(integral_digits - digits.size(), '0');
    return out;
  }
  out += digits.substr(0, integral_digits);
  out.push_back('.');
  out += digits.substr(integral_digits);
  return out;
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
