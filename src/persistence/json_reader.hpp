// A strict pull reader of JSON text for untrusted saved models: it never reads past the text,
// bounds nesting, converts decimal text to the nearest double and reports where it failed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace zelki::persistence {

// A reading failure: the message names the problem; the position is the 1-based line and the
// column (bytes since the start of the line) of the byte where it was found, 0 at an empty input.
struct JsonError {
  std::string message;
  std::size_t line = 1;
  std::size_t column = 0;
};

// Every operation returns false after recording the first error; the caller stops at once and
// passes false up. Containers deeper than kMaxDepth are rejected before they are entered, which
// also bounds the recursion of the schema decoder that drives this reader.
class JsonReader {
 public:
  static constexpr int kMaxDepth = 128;

  explicit JsonReader(std::string_view text) : text_(text) {}

  // The next non-whitespace byte, or nullopt at the end of the text.
  std::optional<char> peek();
  std::size_t position() const { return pos_; }
  std::size_t size() const { return text_.size(); }
  // A place in the text to come back to, with its nesting depth (to read an object twice).
  struct Mark {
    std::size_t position = 0;
    int depth = 0;
  };
  Mark mark() const { return {pos_, depth_}; }
  void rewind(Mark mark) {
    pos_ = mark.position;
    depth_ = mark.depth;
  }

  // Reads an object, calling on_member(key) for each member with the reader standing at its
  // value, which on_member must consume (or skip) before returning true.
  template <class OnMember>
  bool read_object(OnMember&& on_member);
  // Reads an array, calling on_element(index) with the reader standing at each element.
  template <class OnElement>
  bool read_array(OnElement&& on_element);

  bool read_string(std::string& out);
  // Any JSON number; null gives NaN when null_is_nan is set.
  bool read_double(double& out, bool null_is_nan);
  // A non-negative integer without fraction or exponent.
  bool read_unsigned(std::uint64_t& out);
  bool read_bool(bool& out);
  // Checks a whole value of any kind without keeping it.
  bool skip_value();
  // At the end of the text: only whitespace may follow the value.
  bool finish();

  // Records an error at the current position ("invalid type" errors describe the value that
  // follows and are made by fail_invalid_type).
  bool fail(std::string message) { return fail_at(pos_, std::move(message)); }
  bool fail_at(std::size_t position, std::string message);
  // "invalid type: <the next value>, expected <what>"; a syntax error in that value wins.
  bool fail_invalid_type(std::string_view expected);
  const JsonError& error() const { return *error_; }

 private:
  bool enter(char open);
  void leave() { --depth_; }
  // After a member or element: consumes ',' (returning more = true) or the closing bracket.
  bool separator(char close, std::string_view what, bool& more);
  bool parse_number_token(std::string_view& token, bool& integral);
  bool expect_literal(std::string_view literal);
  bool read_hex4(std::uint32_t& out);
  bool append_utf8_run(std::string& out);
  bool fail_eof(std::string_view what) {
    return fail_at(text_.size(), "EOF while parsing " + std::string(what));
  }

  std::string_view text_;
  std::size_t pos_ = 0;
  int depth_ = 0;
  std::optional<JsonError> error_;
};

template <class OnMember>
bool JsonReader::read_object(OnMember&& on_member) {
  if (!enter('{')) return false;
  std::string key;
  auto next = peek();
  if (!next) return fail_eof("an object");
  if (*next == '}') {
    ++pos_;
    leave();
    return true;
  }
  for (bool more = true; more;) {
    next = peek();
    if (!next) return fail_eof("an object");
    if (*next != '"') return fail_at(pos_ + 1, "key must be a string");
    if (!read_string(key)) return false;
    next = peek();
    if (!next) return fail_eof("an object");
    if (*next != ':') return fail_at(pos_ + 1, "expected `:`");
    ++pos_;
    if (!on_member(std::string_view(key))) return false;
    if (!separator('}', "an object", more)) return false;
  }
  leave();
  return true;
}

template <class OnElement>
bool JsonReader::read_array(OnElement&& on_element) {
  if (!enter('[')) return false;
  auto next = peek();
  if (!next) return fail_eof("a list");
  if (*next == ']') {
    ++pos_;
    leave();
    return true;
  }
  std::size_t index = 0;
  for (bool more = true; more; ++index) {
    if (!on_element(index)) return false;
    if (!separator(']', "a list", more)) return false;
  }
  leave();
  return true;
}

}  // namespace zelki::persistence
