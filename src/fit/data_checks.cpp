#include "fit/data_checks.hpp"

#include <cmath>

#include "common/format.hpp"

namespace zelki::fit {

Status check_lengths(std::size_t n, const Vector& y, const std::optional<Vector>& weights) {
  const auto n_y = static_cast<std::size_t>(y.size());
  if (n != n_y) {
    return InvalidParameter{"x and y must have the same number of rows; got x.nrows()=" +
                            std::to_string(n) + ", y.len()=" + std::to_string(n_y)};
  }
  if (weights && static_cast<std::size_t>(weights->size()) != n) {
    return InvalidParameter{"prior_weights length must match x rows; got weights.len()=" +
                            std::to_string(weights->size()) + ", x.nrows()=" + std::to_string(n)};
  }
  return Ok{};
}

Status check_response_range(const Vector& y, ResponseRange range, const std::string& family_name) {
  if (range == ResponseRange::kAny) return Ok{};
  for (Eigen::Index i = 0; i < y.size(); ++i) {
    const double v = y[i];
    std::string requirement;
    // NaN fails the unit-interval test and passes the sign tests.
    if (range == ResponseRange::kNonNegative && v < 0.0) requirement = "y ≥ 0";
    if (range == ResponseRange::kUnitInterval && !(v >= 0.0 && v <= 1.0))
      requirement = "y in [0, 1]";
    if (range == ResponseRange::kPositive && v <= 0.0) requirement = "y > 0";
    if (!requirement.empty()) {
      return InvalidParameter{family_name + " requires " + requirement +
                              "; got y=" + format_number(v) + " at row " + std::to_string(i)};
    }
  }
  return Ok{};
}

Status check_finite(const Eigen::Ref<const Vector>& values, const std::string& argument) {
  for (Eigen::Index i = 0; i < values.size(); ++i) {
    if (!std::isfinite(values[i])) {
      return InvalidParameter{argument + " must be finite; got " + format_number(values[i]) +
                              " at row " + std::to_string(i)};
    }
  }
  return Ok{};
}

Status check_weights(const std::optional<Vector>& weights) {
  if (!weights) return Ok{};
  for (Eigen::Index i = 0; i < weights->size(); ++i) {
    const double w = (*weights)[i];
    if (!std::isfinite(w) || w < 0.0) {
      return InvalidParameter{"weights must be finite and ≥ 0; got " + format_number(w) +
                              " at row " + std::to_string(i)};
    }
  }
  return Ok{};
}

}  // namespace zelki::fit
