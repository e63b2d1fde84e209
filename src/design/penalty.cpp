#include "design/penalty.hpp"

#include <algorithm>
#include <cmath>

#include "linalg/dense.hpp"

namespace zelki::design {

namespace {

// Eigenvalues at or below this fraction of max(λ_max, 1) count as zero: rounding in a penalty
// built from products of O(1)-scaled matrices stays far below it, and the floor of 1 keeps a
// tiny penalty from declaring its own rounding noise significant.
constexpr double kRelativeRankTolerance = 1e-10;

}  // namespace

Matrix embed_penalty(const Matrix& term_penalty, Eigen::Index p, Eigen::Index first) {
  const Eigen::Index q = term_penalty.rows();
  ZELKI_ASSERT(term_penalty.cols() == q, "embed_penalty: term penalty is not square");
  ZELKI_ASSERT(first >= 0 && first + q <= p, "embed_penalty: term block outside the matrix");
  Matrix out = Matrix::Zero(p, p);
  out.block(first, first, q, q) = term_penalty;
  return out;
}

PenaltyRank penalty_rank_log_det(const Matrix& s) {
  auto decomposition = linalg::symmetric_eigen(s);
  if (const auto* error = std::get_if<linalg::LinalgError>(&decomposition)) {
    internal_fault("penalty eigendecomposition failed: " + linalg::message(*error), __FILE__,
                   __LINE__);
  }
  const Vector& lambda = std::get<linalg::Eigensystem>(decomposition).values;

  double lambda_max = 0.0;
  for (const double l : lambda) {
    if (l > lambda_max) lambda_max = l;  // NaN never compares greater
  }
  const double tol = std::max(lambda_max, 1.0) * kRelativeRankTolerance;

  // The eigenvalues come ascending, so the log-determinant is summed from the smallest kept one.
  PenaltyRank out;
  for (const double l : lambda) {
    if (l > tol) {
      ++out.rank;
      out.log_det += std::log(l);
    }
  }
  return out;
}

}  // namespace zelki::design
