#include "family/tdist.hpp"

#include <numbers>

#include "common/gamma_functions.hpp"

namespace zelki::family {

double tdist_saturated(std::size_t n, double nu, double sigma2) {
  const double per_row = ln_gamma((nu + 1.0) / 2.0) - ln_gamma(nu / 2.0) -
                         0.5 * std::log(std::numbers::pi * nu * sigma2);
  return static_cast<double>(n) * per_row;
}

}  // namespace zelki::family
