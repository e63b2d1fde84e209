#include "inner/weighted_gram.hpp"

#include <algorithm>
#include <cmath>

namespace zelki::inner {

namespace {

// Rows per block: about 32k doubles of scaled rows, small enough to stay in cache while the
// symmetric rank-k update consumes them.
constexpr Eigen::Index kBlockEntries = 32768;
constexpr Eigen::Index kMinBlockRows = 64;

// XᵀWX = Σ_i w_i x_i x_iᵀ is accumulated block by block as Bᵀ B with B the rows scaled by
// √|w_i|, added with the sign of w_i (a symmetric rank-k update of the lower triangle).
// With z given, XᵀWz = Σ_i w_i z_i x_i is accumulated from the same block of X.
WeightedCross accumulate(const Matrix& x, const Vector& w, const Vector* z) {
  const Eigen::Index n = x.rows();
  const Eigen::Index p = x.cols();
  ZELKI_ASSERT(w.size() == n, "weighted_cross: weights of the wrong length");
  ZELKI_ASSERT(z == nullptr || z->size() == n, "weighted_cross: response of the wrong length");
  Matrix h = Matrix::Zero(p, p);
  Vector r = Vector::Zero(p);
  const Eigen::Index block = std::max(kMinBlockRows, kBlockEntries / std::max<Eigen::Index>(p, 1));
  Matrix scaled(std::min(block, n), p);
  Vector root(std::min(block, n));
  for (Eigen::Index start = 0; start < n; start += block) {
    const Eigen::Index rows = std::min(block, n - start);
    const auto w_block = w.segment(start, rows);
    const auto x_block = x.middleRows(start, rows);
    if (z != nullptr) r.noalias() += x_block.transpose() * w_block.cwiseProduct(z->segment(start, rows));
    const bool any_negative = (w_block.array() < 0.0).any();
    // NaN weights pass through as NaN so that a broken weight cannot vanish silently.
    root.head(rows) = w_block.unaryExpr([](double v) { return v < 0.0 ? 0.0 : std::sqrt(v); });
    scaled.topRows(rows).noalias() = root.head(rows).asDiagonal() * x_block;
    h.selfadjointView<Eigen::Lower>().rankUpdate(scaled.topRows(rows).transpose(), 1.0);
    if (any_negative) {
      root.head(rows) = w_block.unaryExpr([](double v) { return v < 0.0 ? std::sqrt(-v) : 0.0; });
      scaled.topRows(rows).noalias() = root.head(rows).asDiagonal() * x_block;
      h.selfadjointView<Eigen::Lower>().rankUpdate(scaled.topRows(rows).transpose(), -1.0);
    }
  }
  h.triangularView<Eigen::StrictlyUpper>() = h.transpose();
  return WeightedCross{std::move(h), std::move(r)};
}

}  // namespace

WeightedCross weighted_cross(const Matrix& x, const Vector& w, const Vector& z) {
  return accumulate(x, w, &z);
}

Matrix weighted_gram(const Matrix& x, const Vector& w) { return accumulate(x, w, nullptr).xtwx; }

}  // namespace zelki::inner
