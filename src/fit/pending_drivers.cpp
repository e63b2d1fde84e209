// Drivers whose likelihoods are not built yet: they report that plainly instead of fitting.
#include "fit/ordered_categorical.hpp"
#include "fit/quantile.hpp"

namespace zelki::fit {

Result<FittedGam> fit_ordered_categorical(const OcatRequest&, const Matrix&, const Vector&,
                                          const std::optional<Vector>&) {
  return InvalidParameter{"the ordered-categorical family is not available in this version"};
}

Result<FittedGam> fit_quantile(const QuantileRequest&, const Matrix&, const Vector&,
                               const std::optional<Vector>&) {
  return InvalidParameter{"the quantile (elf) family is not available in this version"};
}

}  // namespace zelki::fit
