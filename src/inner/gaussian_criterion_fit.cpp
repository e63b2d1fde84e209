#include "inner/gaussian_criterion_fit.hpp"

#include "linalg/dense.hpp"

namespace zelki::inner {

CentredCross centre_cross(std::span<const Matrix> penalties, const Matrix& xtwx, const Vector& xtwy,
                          const Vector& y, const Vector* weights) {
  CentredCross out;
  out.penalties = penalties;
  out.xtwx = &xtwx;
  out.n = static_cast<std::size_t>(y.size());
  const double total_weight = weights ? weights->sum() : static_cast<double>(y.size());
  const double weighted_sum = weights ? weights->dot(y) : y.sum();
  out.mean = total_weight > 0.0 ? weighted_sum / total_weight : 0.0;
  // XᵀW1 is column 0 of XᵀWX because column 0 of X is all ones.
  out.xtwy_centred = xtwy - out.mean * xtwx.col(0);
  const auto centred = y.array() - out.mean;
  out.yty_centred = weights ? (weights->array() * centred.square()).sum() : centred.square().sum();
  return out;
}

Result<InnerFit> gaussian_criterion_fit(const CentredCross& cross, const Vector& rho) {
  const Matrix h = *cross.xtwx + linalg::total_penalty(cross.penalties, rho);
  ZELKI_TRY(linalg::CholeskySolution solution,
            linalg::cholesky_solve_ridged(h, cross.xtwy_centred));
  const Vector& beta_c = solution.x;
  const double rss =
      cross.yty_centred - 2.0 * beta_c.dot(cross.xtwy_centred) + beta_c.dot(*cross.xtwx * beta_c);
  InnerFit fit;
  fit.beta = beta_c;
  if (fit.beta.size() > 0) fit.beta[0] += cross.mean;
  fit.chol_h = std::move(solution.factor);
  fit.deviance = rss;
  fit.pearson = rss;
  fit.n = cross.n;
  fit.p = static_cast<std::size_t>(h.rows());
  fit.iterations = 1;
  fit.converged = true;
  return fit;
}

}  // namespace zelki::inner
