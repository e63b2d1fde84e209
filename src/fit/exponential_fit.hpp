// Fits of the seven exponential families on a ready design: data checks, the outer Newton
// iteration over ρ on the REML/LAML criterion, the final refit and the fitted record.
#pragma once

#include <cstddef>
#include <optional>

#include "common/eigen.hpp"
#include "common/result.hpp"
#include "design/design.hpp"
#include "family/family.hpp"
#include "fit/fitted_gam.hpp"

namespace zelki::fit {

// One generic routine over the family; n is the row count of the caller's covariate matrix.
template <class F>
Result<FittedGam> outer_fit(const F& family, design::Design design, std::size_t n, const Vector& y,
                            const std::optional<Vector>& weights);

// The same for a run-time choice among the seven families.
Result<FittedGam> outer_fit(const family::ExponentialFamily& family, design::Design design,
                            std::size_t n, const Vector& y, const std::optional<Vector>& weights);

}  // namespace zelki::fit
