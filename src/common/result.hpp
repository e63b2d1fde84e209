// Result<T>: a value or a ZelkiError, with the member names of std::expected.
#pragma once

#include <utility>
#include <variant>

#include "common/assert.hpp"
#include "common/error.hpp"

namespace zelki {

template <class T>
class [[nodiscard]] Result {
 public:
  Result(T value)
      : state_(std::in_place_index<0>, std::move(value)) {}  // NOLINT: implicit by design
  Result(ZelkiError error) : state_(std::in_place_index<1>, std::move(error)) {}  // NOLINT
  Result(InvalidParameter e) : Result(ZelkiError(std::move(e))) {}                // NOLINT
  Result(SingularSystem e) : Result(ZelkiError(std::move(e))) {}                  // NOLINT
  Result(NotConverged e) : Result(ZelkiError(std::move(e))) {}                    // NOLINT
  Result(Linalg e) : Result(ZelkiError(std::move(e))) {}                          // NOLINT

  bool has_value() const { return state_.index() == 0; }
  explicit operator bool() const { return has_value(); }

  T& value() & {
    ZELKI_ASSERT(has_value(), "Result::value on an error");
    return std::get<0>(state_);
  }
  const T& value() const& {
    ZELKI_ASSERT(has_value(), "Result::value on an error");
    return std::get<0>(state_);
  }
  T&& value() && {
    ZELKI_ASSERT(has_value(), "Result::value on an error");
    return std::get<0>(std::move(state_));
  }
  T& operator*() & { return value(); }
  const T& operator*() const& { return value(); }
  T&& operator*() && { return std::move(*this).value(); }
  T* operator->() { return &value(); }
  const T* operator->() const { return &value(); }

  const ZelkiError& error() const& {
    ZELKI_ASSERT(!has_value(), "Result::error on a value");
    return std::get<1>(state_);
  }
  ZelkiError&& error() && {
    ZELKI_ASSERT(!has_value(), "Result::error on a value");
    return std::get<1>(std::move(state_));
  }

 private:
  std::variant<T, ZelkiError> state_;
};

// Status: a Result with no value.
struct Ok {};
using Status = Result<Ok>;

}  // namespace zelki

#define ZELKI_CONCAT_INNER(a, b) a##b
#define ZELKI_CONCAT(a, b) ZELKI_CONCAT_INNER(a, b)

// ZELKI_TRY(decl, expr): evaluate a Result-valued expr; on error return the error from the
// enclosing function, otherwise bind its value to decl.
#define ZELKI_TRY(decl, expr) ZELKI_TRY_IMPL(ZELKI_CONCAT(zelki_try_, __LINE__), decl, expr)
#define ZELKI_TRY_IMPL(tmp, decl, expr)                \
  auto tmp = (expr);                                   \
  if (!tmp.has_value()) return std::move(tmp).error(); \
  decl = std::move(tmp).value()

// ZELKI_CHECK(expr): evaluate a Status-valued expr and return its error, if any.
#define ZELKI_CHECK(expr) ZELKI_CHECK_IMPL(ZELKI_CONCAT(zelki_check_, __LINE__), expr)
#define ZELKI_CHECK_IMPL(tmp, expr)                      \
  do {                                                   \
    auto tmp = (expr);                                   \
    if (!tmp.has_value()) return std::move(tmp).error(); \
  } while (false)
