// Fits of additive models: several smooth terms, one smoothing parameter per penalty, for the
// seven exponential families.
#pragma once

#include <optional>
#include <vector>

#include "common/eigen.hpp"
#include "common/result.hpp"
#include "design/additive.hpp"
#include "family/family.hpp"
#include "fit/fitted_gam.hpp"

namespace zelki::fit {

// Checks the term columns against x and the columns the terms read for finite values, builds the
// additive design and runs the family's outer fit (which checks y and the weights).
Result<FittedGam> fit_additive(const family::ExponentialFamily& family,
                               const std::vector<design::TermSpec>& terms, const Matrix& x,
                               const Vector& y, const std::optional<Vector>& weights);

}  // namespace zelki::fit
