#include "persistence/json_writer.hpp"

#include <array>
#include <charconv>
#include <cmath>

#include "common/assert.hpp"

namespace zelki::persistence {

namespace {

// Plain notation covers 0.d₁…dₘ × 10^e for −5 < e ≤ 16; outside it the exponent form is shorter
// or the zeros would hide the magnitude.
constexpr int kPlainMinExclusive = -5;
constexpr int kPlainMax = 16;

// Writes the decimal exponent without a plus sign or leading zeros.
void append_exponent(std::string& out, int exponent) {
  std::array<char, 8> buffer{};
  const auto [end, ec] = std::to_chars(buffer.data(), buffer.data() + buffer.size(), exponent);
  ZELKI_ASSERT(ec == std::errc(), "exponent does not fit its buffer");
  out.append(buffer.data(), end);
}

}  // namespace

void append_json_float(std::string& out, double value) {
  if (!std::isfinite(value)) {
    out += "null";
    return;
  }
  if (value == 0.0) {
    out += std::signbit(value) ? "-0.0" : "0.0";
    return;
  }
  // Shortest round-trip digits come from the scientific form "[-]d[.ddd]e±XX", whose value is
  // d.ddd × 10^X, i.e. 0.dddd × 10^(X+1).
  std::array<char, 32> buffer{};
  const auto [end, ec] = std::to_chars(buffer.data(), buffer.data() + buffer.size(), value,
                                       std::chars_format::scientific);
  ZELKI_ASSERT(ec == std::errc(), "to_chars overflowed its buffer");
  const char* p = buffer.data();
  if (*p == '-') {
    out.push_back('-');
    ++p;
  }
  std::array<char, 20> digits{};  // at most 17 significant digits for a double
  std::size_t m = 0;
  for (; *p != 'e'; ++p) {
    if (*p != '.') digits[m++] = *p;
  }
  int scientific_exponent = 0;
  std::from_chars(*(p + 1) == '+' ? p + 2 : p + 1, end, scientific_exponent);
  const int e = scientific_exponent + 1;
  const auto digit_count = static_cast<int>(m);

  if (e <= kPlainMinExclusive || e > kPlainMax) {
    out.push_back(digits[0]);
    if (m > 1) {
      out.push_back('.');
      out.append(digits.data() + 1, m - 1);
    }
    out.push_back('e');
    append_exponent(out, e - 1);
    return;
  }
  if (e <= 0) {
    // 0.000ddd: −e zeros between the point and the first digit.
    out += "0.";
    out.append(static_cast<std::size_t>(-e), '0');
    out.append(digits.data(), m);
  } else if (digit_count <= e) {
    // An integral value keeps ".0" so that it reads as a float.
    out.append(digits.data(), m);
    out.append(static_cast<std::size_t>(e - digit_count), '0');
    out += ".0";
  } else {
    out.append(digits.data(), static_cast<std::size_t>(e));
    out.push_back('.');
    out.append(digits.data() + e, m - static_cast<std::size_t>(e));
  }
}

void JsonWriter::key(std::string_view name) {
  out_.push_back('"');
  out_ += name;
  out_ += "\":";
}

void JsonWriter::string(std::string_view text) {
  static constexpr char kHex[] = "0123456789abcdef";
  out_.push_back('"');
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      out_.push_back('\\');
      out_.push_back(c);
    } else if (byte < 0x20) {
      out_ += "\\u00";
      out_.push_back(kHex[byte >> 4]);
      out_.push_back(kHex[byte & 0xF]);
    } else {
      out_.push_back(c);
    }
  }
  out_.push_back('"');
}

void JsonWriter::integer(std::uint64_t value) {
  std::array<char, 24> buffer{};
  const auto [end, ec] = std::to_chars(buffer.data(), buffer.data() + buffer.size(), value);
  ZELKI_ASSERT(ec == std::errc(), "integer does not fit its buffer");
  out_.append(buffer.data(), end);
}

}  // namespace zelki::persistence
