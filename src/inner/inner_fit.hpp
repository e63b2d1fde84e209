// The result of every inner fit at fixed log smoothing parameters.
#pragma once

#include <cstddef>
#include <optional>

#include "common/eigen.hpp"

namespace zelki::inner {

// Gradient correction of the inverse-Gaussian fit, which uses the observed rather than the
// expected information. With α the observed-information weights and H_α = Xᵀdiag(α)X + S_λ:
struct IgCorrection {
  Vector trace;  // per penalty k: tr(H_α⁻¹ λ_k S_k)
  Vector a;      // leverages h_i = x_iᵀ H_α⁻¹ x_i
  Vector b;      // α′_i = dα_i/dη_i
  Matrix c;      // n×K, column k: −X H_α⁻¹ λ_k S_k β̂ = dη/dρ_k
};

struct InnerFit {
  std::optional<double> log_det_h;  // log|H| when the fit supplies it itself
  Vector beta;
  Vector eta;
  Vector mu;
  Vector working_weights;
  Vector working_response;
  Matrix chol_h;  // lower factor of H = XᵀWX + S_λ of the last solve
  double deviance = 0.0;
  double pearson = 0.0;
  std::size_t n = 0;
  std::size_t p = 0;
  std::size_t iterations = 0;
  std::optional<IgCorrection> correction;
  bool converged = false;
};

}  // namespace zelki::inner
