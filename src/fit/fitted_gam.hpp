// The fitted model: everything a prediction, an interval or a saved file needs.
#pragma once

#include <cstdint>

#include "common/eigen.hpp"
#include "design/predictor.hpp"
#include "family/link.hpp"

namespace zelki::fit {

struct FittedGam {
  design::Predictor predictor;  // rebuilds the model matrix at new covariates
  Vector beta;
  Vector rho;     // log smoothing parameters, one per penalty
  Vector lambda;  // exp(rho)
  double scale = 1.0;
  double edf_total = 0.0;
  Vector edf_per_term;
  std::uint64_t n = 0;
  std::uint64_t n_iters = 0;
  bool converged = false;
  double reml_value = 0.0;
  family::LinkKind link_kind = family::LinkKind::Identity;
  Matrix vcov;  // posterior covariance of beta
};

}  // namespace zelki::fit
