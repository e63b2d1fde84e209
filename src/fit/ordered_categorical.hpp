// Ordered-categorical fits: one smooth plus estimated thresholds between K ordered categories.
#pragma once

#include <cstddef>
#include <optional>
#include <string>

#include "common/eigen.hpp"
#include "common/result.hpp"
#include "fit/fitted_gam.hpp"

namespace zelki::fit {

struct OcatRequest {
  std::size_t n_cats = 3;
  std::string design_name = "cr";  // resolved by the driver itself
  std::size_t k = 10;
};

// The fitted model; its record does not keep the thresholds.
Result<FittedGam> fit_ordered_categorical(const OcatRequest& request, const Matrix& x,
                                          const Vector& y, const std::optional<Vector>& weights);

// The same fit with the estimated thresholds t̂₁ … t̂_{K−2} (log gaps between adjacent cut
// points above the first, which is fixed at −1).
struct OcatFit {
  FittedGam model;
  Vector thresholds;
};
Result<OcatFit> fit_ordered_categorical_with_thresholds(const OcatRequest& request, const Matrix& x,
                                                        const Vector& y,
                                                        const std::optional<Vector>& weights);

}  // namespace zelki::fit
