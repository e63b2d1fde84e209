// Link kinds: η = g(μ), its inverse and derivative, without the fitting guards.
#pragma once

#include <cmath>

namespace zelki::family {

enum class LinkKind { Identity, Log, Logit };

// The stored name of a link kind ("Identity", "Log", "Logit").
const char* link_name(LinkKind kind);

// μ = g⁻¹(η). The logistic is evaluated on the side where exp cannot overflow, so that
// η = ±800 give exactly 1 and 0.
inline double inverse_link(LinkKind kind, double eta) {
  switch (kind) {
    case LinkKind::Identity:
      return eta;
    case LinkKind::Log:
      return std::exp(eta);
    case LinkKind::Logit:
      if (eta >= 0.0) return 1.0 / (1.0 + std::exp(-eta));
      return std::exp(eta) / (1.0 + std::exp(eta));
  }
  return eta;
}

}  // namespace zelki::family
