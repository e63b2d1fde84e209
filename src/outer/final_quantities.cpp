#include "outer/final_quantities.hpp"

#include <cmath>

#include "linalg/cholesky_inverse.hpp"

namespace zelki::outer {

namespace {

// Rows of S that hold at least one entry that is non-zero (or NaN): the coefficients the
// penalty touches, which is the number of degrees of freedom the term has before shrinkage.
double touched_rows(const Matrix& s) {
  double count = 0.0;
  for (Eigen::Index i = 0; i < s.rows(); ++i) {
    for (Eigen::Index j = 0; j < s.cols(); ++j) {
      if (s(i, j) != 0.0) {  // true for NaN as well
        count += 1.0;
        break;
      }
    }
  }
  return count;
}

}  // namespace

FinalQuantities final_quantities(const inner::InnerFit& fit, const std::vector<Matrix>& penalties,
                                 const Vector& rho,
                                 const std::vector<score::SharedPenaltyBlock>& shared_blocks) {
  FinalQuantities out;
  out.h_inv = linalg::inverse_from_cholesky(fit.chol_h);
  const auto k_count = static_cast<Eigen::Index>(penalties.size());
  out.edf_per_term.resize(k_count);
  // H = XᵀWX + S_λ, so tr(H⁻¹ XᵀWX) = p − Σ_k λ_k tr(H⁻¹ S_k): no further pass over X.
  double penalised_trace = 0.0;
  for (Eigen::Index k = 0; k < k_count; ++k) {
    const Matrix& s = penalties[static_cast<std::size_t>(k)];
    const double shrinkage = std::exp(rho[k]) * linalg::trace_of_product(out.h_inv, s);
    penalised_trace += shrinkage;
    out.edf_per_term[k] = touched_rows(s) - shrinkage;
  }
  out.edf_total = static_cast<double>(fit.p) - penalised_trace;
  for (const score::SharedPenaltyBlock& block : shared_blocks) {
    // tr over the block of H⁻¹XᵀWX = width − Σ_j λ_j tr(H⁻¹ S_j), since each S_j lives in it.
    double block_edf = static_cast<double>(block.width);
    for (std::size_t j = 0; j < block.count; ++j) {
      const auto k = static_cast<Eigen::Index>(block.first_penalty + j);
      block_edf -= touched_rows(penalties[static_cast<std::size_t>(k)]) - out.edf_per_term[k];
    }
    for (std::size_t j = 0; j < block.count; ++j) {
      out.edf_per_term[static_cast<Eigen::Index>(block.first_penalty + j)] =
          block_edf / static_cast<double>(block.count);
    }
  }
  return out;
}

Matrix scaled_covariance(Matrix h_inv, double scale) {
  const double excess = scale - 1.0;
  if (excess == 0.0 || std::isnan(excess)) return h_inv;
  return scale * h_inv;
}

}  // namespace zelki::outer
