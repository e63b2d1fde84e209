#include "family/elf.hpp"

#include <algorithm>
#include <cmath>

#include "common/format.hpp"
#include "common/gamma_functions.hpp"
#include "family/logistic.hpp"

namespace zelki::family {

namespace {

// ln(1 + e^u) without overflow: u + ln(1 + e^(−u)) for u > 0.
double softplus(double u) {
  return u > 0.0 ? u + std::log1p(std::exp(-u)) : std::log1p(std::exp(u));
}

// Floor of σ and λ inside the normalising constant.
constexpr double kParameterFloor = 1e-12;

}  // namespace

Status check_elf_parameters(const ElfIdentity& family) {
  const double tau = family.tau;
  if (tau <= 0.0 || tau >= 1.0) {
    return InvalidParameter{"ELF τ must be in (0, 1); got " + format_number(tau)};
  }
  if (family.sigma <= 0.0 || family.lambda <= 0.0) {
    return InvalidParameter{"ELF σ and λ must be > 0; got σ=" + format_number(family.sigma) +
                            " λ=" + format_number(family.lambda)};
  }
  return Ok{};
}

double elf_deviance_unit(const ElfIdentity& f, double y, double eta) {
  const double r = y - eta;
  const double u = r / f.lambda;
  // λ(τ ln τ + (1 − τ) ln(1 − τ)) = −min_r [λ softplus(r/λ) − (1 − τ) r], so the minimum is 0.
  const double entropy = f.tau * std::log(f.tau) + (1.0 - f.tau) * std::log(1.0 - f.tau);
  return (2.0 / f.sigma) * (f.lambda * softplus(u) - (1.0 - f.tau) * r + f.lambda * entropy);
}

ElfDerivatives elf_derivatives(const ElfIdentity& f, double y, double eta) {
  const double p = logistic_cdf((y - eta) / f.lambda);
  return ElfDerivatives{(f.tau - 1.0 + p) / f.sigma, p * (1.0 - p) / (f.lambda * f.sigma)};
}

double elf_log_normaliser(const ElfIdentity& f) {
  const double sigma = std::max(f.sigma, kParameterFloor);
  const double lambda = std::max(f.lambda, kParameterFloor);
  const double a = lambda * (1.0 - f.tau) / sigma;
  const double b = lambda * f.tau / sigma;
  const double log_beta = ln_gamma(a) + ln_gamma(b) - ln_gamma(a + b);
  return b * std::log(f.tau) + a * std::log(1.0 - f.tau) - std::log(lambda) - log_beta;
}

}  // namespace zelki::family
