// What a fitted model says about its terms and at new covariates.
#pragma once

#include <cstddef>
#include <utility>
#include <vector>

#include "fit/fitted_gam.hpp"

namespace zelki::fit {

using ColumnRange = std::pair<std::size_t, std::size_t>;  // [first, last_exclusive)

// The predictor's term ranges for an additive model, otherwise the one range (1, p).
std::vector<ColumnRange> term_col_ranges(const FittedGam& model);

}  // namespace zelki::fit
