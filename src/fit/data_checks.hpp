// Checks of the data handed to a fit, made before any numerical work.
#pragma once

#include <cstddef>
#include <optional>
#include <string>

#include "common/eigen.hpp"
#include "common/result.hpp"

namespace zelki::fit {

// Row counts of x and y, and the length of the prior weights.
Status check_lengths(std::size_t n, const Vector& y, const std::optional<Vector>& weights);

enum class ResponseRange { kAny, kNonNegative, kUnitInterval, kPositive };

// The first row outside the family's range, scanning in row order: "{name} requires y ≥ 0; ...".
Status check_response_range(const Vector& y, ResponseRange range, const std::string& family_name);

// Every value finite, naming the argument and the first offending row. A non-finite covariate,
// response or weight would otherwise produce a model of NaNs or a "converged" fit of garbage.
Status check_finite(const Eigen::Ref<const Vector>& values, const std::string& argument);

// Prior weights finite and non-negative.
Status check_weights(const std::optional<Vector>& weights);

}  // namespace zelki::fit
