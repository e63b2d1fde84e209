// The standard logistic distribution F(x) = 1/(1 + e^(−x)) and its first two derivatives,
// each evaluated on the side where the exponential cannot overflow. They are the latent
// distribution of the ordered-categorical family and the smoothed step of the ELF loss.
#pragma once

#include <cmath>

namespace zelki::family {

// F(x): 1/(1 + e^(−x)) for x ≥ 0 and e^x/(1 + e^x) below, so e^(·) never exceeds 1.
inline double logistic_cdf(double x) {
  if (x >= 0.0) return 1.0 / (1.0 + std::exp(-x));
  const double e = std::exp(x);
  return e / (1.0 + e);
}

// F′(x) = b/(1 + b)² with b = e^(−|x|) (F′ is even); 0 at ±∞ and for NaN.
inline double logistic_density(double x) {
  if (!std::isfinite(x)) return 0.0;
  const double b = std::exp(-std::abs(x));
  const double s = 1.0 + b;
  return b / (s * s);
}

// F″(x) = F′(x)(1 − 2F(x)) = ±b(1 − b)/(1 + b)³ with b = e^(−|x|), + for x ≤ 0 (F″ is odd);
// 0 at ±∞ and for NaN.
inline double logistic_density_derivative(double x) {
  if (!std::isfinite(x)) return 0.0;
  const double b = std::exp(-std::abs(x));
  const double s = 1.0 + b;
  const double magnitude = b * (1.0 - b) / (s * s * s);
  return x <= 0.0 ? magnitude : -magnitude;
}

}  // namespace zelki::family
