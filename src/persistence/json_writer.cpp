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
  std::array<char, 32> scientific{};
  const auto [end, ec] = std::to_chars(scientific.data(), scientific.data() + scientific.size(),
                                       value, std::chars_format::scientific);
  ZELKI_ASSERT(ec == std::errc(), "to_chars overflowed its buffer");
  const char* p = scientific.data();
  const bool negative = *p == '-';
  if (negative) ++p;
  std::array<char, 20> digits{};  // at most 17 significant digits for a double
  int m = 0;
  for (; *p != 'e'; ++p) {
    if (*p != '.') digits[static_cast<std::size_t>(m++)] = *p;
  }
  int scientific_exponent = 0;
  std::from_chars(p[1] == '+' ? p + 2 : p + 1, end, scientific_exponent);
  const int e = scientific_exponent + 1;

  // The text is assembled in a local buffer and appended once: the longest plain form is a sign,
  // 17 digits, up to 16 padding zeros, the point and a digit.
  std::array<char, 48> text{};
  char* t = text.data();
  if (negative) *t++ = '-';
  auto put_digits = [&](int from, int to) {
    for (int i = from; i < to; ++i) *t++ = digits[static_cast<std::size_t>(i)];
  };
  if (e <= kPlainMinExclusive || e > kPlainMax) {
    *t++ = digits[0];
    if (m > 1) {
      *t++ = '.';
      put_digits(1, m);
    }
    *t++ = 'e';
    t = std::to_chars(t, text.data() + text.size(), e - 1).ptr;
  } else if (e <= 0) {
    // 0.000ddd: −e zeros between the point and the first digit.
    *t++ = '0';
    *t++ = '.';
    for (int i = 0; i < -e; ++i) *t++ = '0';
    put_digits(0, m);
  } else if (m <= e) {
    // An integral value keeps ".0" so that it reads as a float.
    put_digits(0, m);
    for (int i = m; i < e; ++i) *t++ = '0';
    *t++ = '.';
    *t++ = '0';
  } else {
    put_digits(0, e);
    *t++ = '.';
    put_digits(e, m);
  }
  out.append(text.data(), t);
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
