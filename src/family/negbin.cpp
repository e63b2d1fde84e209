#include "family/negbin.hpp"

#include <cmath>

#include "common/gamma_functions.hpp"

namespace zelki::family {

double negbin_saturated(const Vector& y, double theta) {
  const double ln_gamma_theta = ln_gamma(theta);
  double total = 0.0;
  for (const double v : y) {
    // y = 0 gives ln Γ(θ) − ln Γ(θ) + θ ln 1 = 0 exactly; skipping it saves two ln Γ calls.
    if (v == 0.0) continue;
    double term = ln_gamma(v + theta) - ln_gamma_theta + theta * std::log(theta / (v + theta));
    if (v > 0.0) term += v * std::log(v / (v + theta));
    total += term;
  }
  return total;
}

}  // namespace zelki::family
