// Compact JSON text of a saved model: no whitespace, floats in the shortest text that reads back
// to the same double.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace zelki::persistence {

// Appends a finite double as the shortest round-trip decimal: positional with at least one digit
// after the point when the value is 0.d₁…dₘ × 10^e with −5 < e ≤ 16 (1.5, 0.01, 2.0,
// 1000000000000000.0), otherwise d₁[.d₂…dₘ]e<e−1> (1e30, 2.5e-7). Zero is 0.0 or -0.0.
// Non-finite values are written as null: JSON has no spelling for them.
void append_json_float(std::string& out, double value);

class JsonWriter {
 public:
  explicit JsonWriter(std::size_t expected_size = 0) { out_.reserve(expected_size); }

  void begin_object() { out_.push_back('{'); }
  void end_object() { out_.push_back('}'); }
  void begin_array() { out_.push_back('['); }
  void end_array() { out_.push_back(']'); }
  void comma() { out_.push_back(','); }
  // "name": (the names of the format are plain ASCII identifiers and need no escaping).
  void key(std::string_view name);
  void string(std::string_view text);
  void number(double value) { append_json_float(out_, value); }
  void integer(std::uint64_t value);
  void boolean(bool value) { out_ += value ? "true" : "false"; }

  std::string take() && { return std::move(out_); }

 private:
  std::string out_;
};

}  // namespace zelki::persistence
