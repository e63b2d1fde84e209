// The Gaussian penalised least-squares fit from cross-products alone, for the many evaluations
// of the smoothing-parameter search: O(p³) per call, whatever n is.
#pragma once

#include <span>

#include "common/eigen.hpp"
#include "common/result.hpp"
#include "inner/inner_fit.hpp"

namespace zelki::inner {

// Cross-products of a Gaussian problem with the response centred at its weighted mean ȳ.
// Column 0 of X is the unpenalised intercept, so centring y only moves β₀ by ȳ and leaves the
// residuals unchanged, while it removes the mean from the cancellation in
// RSS = ycᵀWyc − 2βcᵀXᵀWyc + βcᵀXᵀWXβc.
struct CentredCross {
  std::span<const Matrix> penalties;
  const Matrix* xtwx = nullptr;  // XᵀWX
  Vector xtwy_centred;           // XᵀW(y − ȳ)
  double yty_centred = 0.0;      // (y − ȳ)ᵀW(y − ȳ)
  double mean = 0.0;             // ȳ
  std::size_t n = 0;
};

CentredCross centre_cross(std::span<const Matrix> penalties, const Matrix& xtwx, const Vector& xtwy,
                          const Vector& y, const Vector* weights);

// β̂, the factor of H = XᵀWX + S_λ and the residual sum of squares as deviance and Pearson
// statistic. The n-vectors (η, μ, working quantities) are left empty: the criterion does not
// read them. A failed factorisation returns its SingularSystem error.
Result<InnerFit> gaussian_criterion_fit(const CentredCross& cross, const Vector& rho);

}  // namespace zelki::inner
