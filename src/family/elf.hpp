// The extended log-F (ELF) family of quantile regression: a smooth, strictly convex stand-in
// for the pinball loss of the τ-quantile, with the identity link.
#pragma once

#include "common/result.hpp"

namespace zelki::family {

// τ the quantile, σ > 0 the scale of the loss and λ > 0 its smoothness: as λ → 0 the unit
// deviance tends to (2/σ) times the pinball loss ρ_τ(y − η).
struct ElfIdentity {
  double tau = 0.5;
  double sigma = 1.0;
  double lambda = 1.0;
};

inline ElfIdentity elf_identity(double tau, double sigma, double lambda) {
  return ElfIdentity{tau, sigma, lambda};
}

// τ strictly inside (0, 1), then σ > 0 and λ > 0. NaN passes, as it fails no comparison.
Status check_elf_parameters(const ElfIdentity& family);

// With r = y − η and u = r/λ:
//   d = (2/σ)[λ softplus(u) − (1 − τ) r + λ(τ ln τ + (1 − τ) ln(1 − τ))],
// minimal (exactly 0) at r = λ ln((1 − τ)/τ). −d/2 is the log density up to a constant.
double elf_deviance_unit(const ElfIdentity& family, double y, double eta);

// g = −½ ∂d/∂η = (τ − 1 + p)/σ and h = ½ ∂²d/∂η² = p(1 − p)/(λσ), p = F((y − η)/λ) logistic.
struct ElfDerivatives {
  double g = 0.0;
  double h = 0.0;
};
ElfDerivatives elf_derivatives(const ElfIdentity& family, double y, double eta);

// The per-observation log normalising constant c of the ELF density,
//   ln f(y | η) = −d/2 + c,
//   c = b ln τ + a ln(1 − τ) − ln λ − ln B(a, b),  a = λ(1 − τ)/σ, b = λτ/σ,
// with σ and λ floored at 1e-12 so that the logarithms stay finite.
double elf_log_normaliser(const ElfIdentity& family);

}  // namespace zelki::family
