// Quantile regression through the extended log-F family.
#pragma once

#include <cstddef>
#include <optional>

#include "common/eigen.hpp"
#include "common/result.hpp"
#include "fit/fitted_gam.hpp"
#include "fit/single_smooth.hpp"

namespace zelki::fit {

struct QuantileRequest {
  double tau = 0.5;
  double sigma = 0.0;   // 0: chosen automatically
  double lambda = 0.0;  // 0: chosen automatically
  DesignKind design = DesignKind::kCr;
  std::size_t k = 10;
};

Result<FittedGam> fit_quantile(const QuantileRequest& request, const Matrix& x, const Vector& y,
                               const std::optional<Vector>& weights);

}  // namespace zelki::fit
