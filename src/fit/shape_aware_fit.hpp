// The fit of the families whose shape parameters are estimated jointly with the smoothing
// parameter: negative binomial (θ), scaled t (ν, σ²) and Tweedie (p, φ).
#pragma once

#include <cstddef>
#include <optional>

#include "common/eigen.hpp"
#include "common/result.hpp"
#include "design/design.hpp"
#include "family/family.hpp"
#include "fit/fitted_gam.hpp"

namespace zelki::fit {

// Checks the data and the starting shape values, minimises the joint criterion over
// (ρ, transformed shape parameters) from ρ = 0 and the starting values, refits at the optimum
// and assembles the record. The family carries the starting shape values.
template <class F>
Result<FittedGam> shape_aware_fit(const F& family, design::Design design, std::size_t n,
                                  const Vector& y, const std::optional<Vector>& weights);

extern template Result<FittedGam> shape_aware_fit(const family::NegbinLog&, design::Design,
                                                  std::size_t, const Vector&,
                                                  const std::optional<Vector>&);
extern template Result<FittedGam> shape_aware_fit(const family::TdistIdentity&, design::Design,
                                                  std::size_t, const Vector&,
                                                  const std::optional<Vector>&);
extern template Result<FittedGam> shape_aware_fit(const family::TweedieLog&, design::Design,
                                                  std::size_t, const Vector&,
                                                  const std::optional<Vector>&);

}  // namespace zelki::fit
