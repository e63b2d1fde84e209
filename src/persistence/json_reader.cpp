#include "persistence/json_reader.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <limits>

namespace zelki::persistence {

namespace {

bool is_whitespace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }
bool is_digit(char c) { return c >= '0' && c <= '9'; }

// Values quoted inside messages are cut to this many bytes so that a hostile document cannot make
// the message as large as itself.
constexpr std::size_t kMaxQuoted = 64;

std::string quoted_excerpt(std::string_view text) {
  return std::string(text.substr(0, kMaxQuoted)) + (text.size() > kMaxQuoted ? "…" : "");
}

// A number token that from_chars reports out of range is either beyond the largest double or
// below the smallest subnormal. The decimal exponent of its leading significant digit tells
// which: it is positive only for an overflow.
bool token_overflows(std::string_view token) {
  const std::size_t exp_at = token.find_first_of("eE");
  const std::string_view mantissa = token.substr(0, exp_at);
  long long exponent = 0;
  if (exp_at != std::string_view::npos) {
    std::string_view digits = token.substr(exp_at + 1);
    const bool negative = !digits.empty() && digits.front() == '-';
    if (!digits.empty() && (digits.front() == '-' || digits.front() == '+'))
      digits.remove_prefix(1);
    // Saturate: any exponent beyond a billion decides the question on its own.
    constexpr long long kSaturation = 1'000'000'000;
    for (const char c : digits) exponent = std::min(kSaturation, exponent * 10 + (c - '0'));
    if (negative) exponent = -exponent;
  }
  // Decimal exponent of the leading significant digit: digits before the point count up from it,
  // zeros after the point count down.
  const std::size_t point = mantissa.find('.');
  const std::string_view integral = mantissa.substr(0, point);
  const std::size_t first_nonzero = integral.find_first_of("123456789");
  if (first_nonzero != std::string_view::npos) {
    return exponent + static_cast<long long>(integral.size() - first_nonzero) - 1 > 0;
  }
  const std::string_view fraction =
      point == std::string_view::npos ? std::string_view() : mantissa.substr(point + 1);
  const std::size_t first_fraction_digit = fraction.find_first_of("123456789");
  return first_fraction_digit != std::string_view::npos &&
         exponent - static_cast<long long>(first_fraction_digit) - 1 > 0;
}

}  // namespace

std::optional<char> JsonReader::peek() {
  while (pos_ < text_.size() && is_whitespace(text_[pos_])) ++pos_;
  if (pos_ == text_.size()) return std::nullopt;
  return text_[pos_];
}

bool JsonReader::fail_at(std::size_t position, std::string message) {
  if (error_) return false;
  position = std::min(position, text_.size());
  const std::string_view seen = text_.substr(0, position);
  const std::size_t last_newline = seen.rfind('\n');
  JsonError error;
  error.message = std::move(message);
  error.line = 1 + static_cast<std::size_t>(std::count(seen.begin(), seen.end(), '\n'));
  error.column = last_newline == std::string_view::npos ? position : position - last_newline - 1;
  error_ = std::move(error);
  return false;
}

bool JsonReader::enter(char open) {
  const auto next = peek();
  if (!next || *next != open) return fail_invalid_type(open == '{' ? "a map" : "a sequence");
  if (depth_ == kMaxDepth) return fail_at(pos_ + 1, "recursion limit exceeded");
  ++depth_;
  ++pos_;
  return true;
}

bool JsonReader::separator(char close, std::string_view what, bool& more) {
  auto next = peek();
  if (!next) return fail_eof(what);
  if (*next == close) {
    ++pos_;
    more = false;
    return true;
  }
  if (*next != ',') {
    return fail_at(pos_ + 1, close == '}' ? "expected `,` or `}`" : "expected `,` or `]`");
  }
  ++pos_;
  next = peek();
  if (next && *next == close) return fail_at(pos_ + 1, "trailing comma");
  more = true;
  return true;
}

bool JsonReader::expect_literal(std::string_view literal) {
  for (const char c : literal) {
    if (pos_ == text_.size()) return fail_eof("a value");
    if (text_[pos_] != c) return fail_at(pos_ + 1, "expected ident");
    ++pos_;
  }
  return true;
}

bool JsonReader::parse_number_token(std::string_view& token, bool& integral) {
  const std::size_t start = pos_;
  auto at_digit = [&] { return pos_ < text_.size() && is_digit(text_[pos_]); };
  auto fail_number = [&] {
    return pos_ == text_.size() ? fail_eof("a value") : fail_at(pos_ + 1, "invalid number");
  };
  integral = true;
  if (pos_ < text_.size() && text_[pos_] == '-') ++pos_;
  if (!at_digit()) return fail_number();
  // No leading zeros: "0" stands alone before the fraction.
  if (text_[pos_] == '0') {
    ++pos_;
  } else {
    while (at_digit()) ++pos_;
  }
  if (pos_ < text_.size() && text_[pos_] == '.') {
    integral = false;
    ++pos_;
    if (!at_digit()) return fail_number();
    while (at_digit()) ++pos_;
  }
  if (pos_ < text_.size() && (text_[pos_] == 'e' || text_[pos_] == 'E')) {
    integral = false;
    ++pos_;
    if (pos_ < text_.size() && (text_[pos_] == '+' || text_[pos_] == '-')) ++pos_;
    if (!at_digit()) return fail_number();
    while (at_digit()) ++pos_;
  }
  token = text_.substr(start, pos_ - start);
  return true;
}

bool JsonReader::read_double(double& out, bool null_is_nan) {
  const auto next = peek();
  if (next && *next == 'n' && null_is_nan) {
    if (!expect_literal("null")) return false;
    out = std::numeric_limits<double>::quiet_NaN();
    return true;
  }
  if (!next || !(*next == '-' || is_digit(*next))) return fail_invalid_type("f64");
  std::string_view token;
  bool integral = false;
  if (!parse_number_token(token, integral)) return false;
  // from_chars rounds decimal text of any length to the nearest double.
  const auto [end, ec] = std::from_chars(token.data(), token.data() + token.size(), out);
  if (ec == std::errc::result_out_of_range) {
    if (token_overflows(token)) return fail("number out of range");
    out = token.front() == '-' ? -0.0 : 0.0;
    return true;
  }
  if (ec != std::errc() || end != token.data() + token.size()) return fail("invalid number");
  return true;
}

bool JsonReader::read_unsigned(std::uint64_t& out) {
  const auto next = peek();
  if (!next || !(*next == '-' || is_digit(*next))) return fail_invalid_type("u64");
  const std::size_t start = pos_;
  std::string_view token;
  bool integral = false;
  if (!parse_number_token(token, integral)) return false;
  if (!integral) {
    pos_ = start;
    return fail_invalid_type("u64");
  }
  if (token.front() == '-') {
    return fail("invalid value: integer `" + quoted_excerpt(token) + "`, expected u64");
  }
  const auto [end, ec] = std::from_chars(token.data(), token.data() + token.size(), out);
  if (ec != std::errc() || end != token.data() + token.size()) return fail("number out of range");
  return true;
}

bool JsonReader::read_bool(bool& out) {
  const auto next = peek();
  if (next && *next == 't') {
    out = true;
    return expect_literal("true");
  }
  if (next && *next == 'f') {
    out = false;
    return expect_literal("false");
  }
  return fail_invalid_type("a boolean");
}

bool JsonReader::read_hex4(std::uint32_t& out) {
  out = 0;
  for (int i = 0; i < 4; ++i) {
    if (pos_ == text_.size()) return fail_eof("a string");
    const char c = text_[pos_];
    std::uint32_t digit = 0;
    if (is_digit(c)) {
      digit = static_cast<std::uint32_t>(c - '0');
    } else if (c >= 'a' && c <= 'f') {
      digit = static_cast<std::uint32_t>(c - 'a' + 10);
    } else if (c >= 'A' && c <= 'F') {
      digit = static_cast<std::uint32_t>(c - 'A' + 10);
    } else {
      return fail_at(pos_ + 1, "invalid escape");
    }
    out = out * 16 + digit;
    ++pos_;
  }
  return true;
}

namespace {

void append_code_point(std::string& out, std::uint32_t cp) {
  auto byte = [](std::uint32_t b) { return static_cast<char>(static_cast<unsigned char>(b)); };
  if (cp < 0x80) {
    out.push_back(byte(cp));
  } else if (cp < 0x800) {
    out.push_back(byte(0xC0 | (cp >> 6)));
    out.push_back(byte(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out.push_back(byte(0xE0 | (cp >> 12)));
    out.push_back(byte(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(byte(0x80 | (cp & 0x3F)));
  } else {
    out.push_back(byte(0xF0 | (cp >> 18)));
    out.push_back(byte(0x80 | ((cp >> 12) & 0x3F)));
    out.push_back(byte(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(byte(0x80 | (cp & 0x3F)));
  }
}

}  // namespace

// One multi-byte UTF-8 sequence, checked for overlong forms, surrogates and the upper limit.
bool JsonReader::append_utf8_run(std::string& out) {
  const auto lead = static_cast<unsigned char>(text_[pos_]);
  std::size_t length = 0;
  unsigned char low = 0x80, high = 0xBF;  // allowed range of the second byte
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  } else {
    return fail_at(pos_ + 1, "invalid UTF-8");
  }
  for (std::size_t i = 1; i < length; ++i) {
    if (pos_ + i == text_.size()) return fail_eof("a string");
    const auto b = static_cast<unsigned char>(text_[pos_ + i]);
    const unsigned char lo = i == 1 ? low : 0x80, hi = i == 1 ? high : 0xBF;
    if (b < lo || b > hi) return fail_at(pos_ + i + 1, "invalid UTF-8");
  }
  out.append(text_.substr(pos_, length));
  pos_ += length;
  return true;
}

bool JsonReader::read_string(std::string& out) {
  const auto next = peek();
  if (!next || *next != '"') return fail_invalid_type("a string");
  ++pos_;
  out.clear();
  while (true) {
    if (pos_ == text_.size()) return fail_eof("a string");
    const char c = text_[pos_];
    const auto byte = static_cast<unsigned char>(c);
    if (c == '"') {
      ++pos_;
      return true;
    }
    if (byte < 0x20) {
      return fail_at(pos_ + 1, "control character (\\u0000-\\u001F) found while parsing a string");
    }
    if (byte >= 0x80) {
      if (!append_utf8_run(out)) return false;
      continue;
    }
    if (c != '\\') {
      out.push_back(c);
      ++pos_;
      continue;
    }
    ++pos_;
    if (pos_ == text_.size()) return fail_eof("a string");
    const char escape = text_[pos_++];
    switch (escape) {
      case '"':
        out.push_back('"');
        break;
      case '\\':
        out.push_back('\\');
        break;
      case '/':
        out.push_back('/');
        break;
      case 'b':
        out.push_back('\b');
        break;
      case 'f':
        out.push_back('\f');
        break;
      case 'n':
        out.push_back('\n');
        break;
      case 'r':
        out.push_back('\r');
        break;
      case 't':
        out.push_back('\t');
        break;
      case 'u': {
        std::uint32_t cp = 0;
        if (!read_hex4(cp)) return false;
        if (cp >= 0xDC00 && cp <= 0xDFFF) return fail("lone trailing surrogate in hex escape");
        if (cp >= 0xD800 && cp <= 0xDBFF) {
          // A leading surrogate must be followed by the escape of its trailing half.
          if (text_.substr(pos_, 2) != "\\u") return fail("unexpected end of hex escape");
          pos_ += 2;
          std::uint32_t low = 0;
          if (!read_hex4(low)) return false;
          if (low < 0xDC00 || low > 0xDFFF) return fail("lone leading surrogate in hex escape");
          cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
        }
        append_code_point(out, cp);
        break;
      }
      default:
        return fail_at(pos_, "invalid escape");
    }
  }
}

bool JsonReader::skip_value() {
  const auto next = peek();
  if (!next) return fail_eof("a value");
  switch (*next) {
    case '{':
      return read_object([this](std::string_view) { return skip_value(); });
    case '[':
      return read_array([this](std::size_t) { return skip_value(); });
    case '"': {
      std::string ignored;
      return read_string(ignored);
    }
    case 't':
      return expect_literal("true");
    case 'f':
      return expect_literal("false");
    case 'n':
      return expect_literal("null");
    default:
      break;
  }
  if (*next == '-' || is_digit(*next)) {
    std::string_view token;
    bool integral = false;
    return parse_number_token(token, integral);
  }
  return fail_at(pos_ + 1, "expected value");
}

bool JsonReader::finish() {
  if (peek()) return fail_at(pos_ + 1, "trailing characters");
  return true;
}

bool JsonReader::fail_invalid_type(std::string_view expected) {
  const auto next = peek();
  if (!next) return fail_eof("a value");
  const std::size_t start = pos_;
  std::string found;
  switch (*next) {
    case '{':
      return fail_at(start + 1, "invalid type: map, expected " + std::string(expected));
    case '[':
      return fail_at(start + 1, "invalid type: sequence, expected " + std::string(expected));
    case '"': {
      std::string text;
      if (!read_string(text)) return false;
      found = "string \"" + quoted_excerpt(text) + "\"";
      break;
    }
    case 't':
    case 'f':
      if (!expect_literal(*next == 't' ? "true" : "false")) return false;
      found = std::string("boolean `") + (*next == 't' ? "true" : "false") + "`";
      break;
    case 'n':
      if (!expect_literal("null")) return false;
      found = "null";
      break;
    default: {
      if (!(*next == '-' || is_digit(*next))) return fail_at(start + 1, "expected value");
      std::string_view token;
      bool integral = false;
      if (!parse_number_token(token, integral)) return false;
      found =
          std::string(integral ? "integer `" : "floating point `") + quoted_excerpt(token) + "`";
    }
  }
  return fail("invalid type: " + found + ", expected " + std::string(expected));
}

}  // namespace zelki::persistence
