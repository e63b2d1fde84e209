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

Result<FittedGam> fit_ordered_categorical(const OcatRequest& request, const Matrix& x,
                                          const Vector& y, const std::optional<Vector>& weights);

}  // namespace zelki::fit
