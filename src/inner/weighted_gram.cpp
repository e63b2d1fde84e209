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
// √|w_i|, added with the sign of w_i (a symmetric rank-k update of the lower triangle). With z
// given, B carries the extra column √|w_i|·z_i, so that the last row of the same update holds
// Σ_i w_i z_i x_iᵀ = (XᵀWz)ᵀ: both products come from one pass over X.
WeightedCross accumulate(const Matrix& x, const Vector& w, const Vector* z) {
  const Eigen::Index n = x.rows();
  const Eigen::Index p = x.cols();
  ZELKI_ASSERT(w.size() == n, "weighted_cross: weights of the wrong length");
  ZELKI_ASSERT(z == nullptr || z->size() == n, "weighted_cross: response of the wrong length");
  const Eigen::Index q = (z == nullptr) ? p : p + 1;
  Matrix h = Matrix::Zero(q, q);
  const Eigen::Index block = std::max(kMinBlockRows, kBlockEntries / std::max<Eigen::Index>(q, 1));
  Matrix scaled(std::min(block, n), q);
  Vector root(std::min(block, n));
  // Adds sign·BᵀB for the rows [start, start + rows) scaled by the current roots.
  const auto update = [&](Eigen::Index start, Eigen::Index rows, double sign) {
    auto b = scaled.topRows(rows);
    const auto r = root.head(rows);
    b.leftCols(p).noalias() = r.asDiagonal() * x.middleRows(start, rows);
    if (z != nullptr) b.col(p) = r.cwiseProduct(z->segment(start, rows));
    h.selfadjointView<Eigen::Lower>().rankUpdate(b.transpose(), sign);
  };
  for (Eigen::Index start = 0; start < n; start += block) {
    const Eigen::Index rows = std::min(block, n - start);
    const auto w_block = w.segment(start, rows);
    // NaN weights pass through as NaN so that a broken weight cannot vanish silently.
    root.head(rows) = w_block.unaryExpr([](double v) { return v < 0.0 ? 0.0 : std::sqrt(v); });
    update(start, rows, 1.0);
    if ((w_block.array() < 0.0).any()) {
      root.head(rows) = w_block.unaryExpr([](double v) { return v < 0.0 ? std::sqrt(-v) : 0.0; });
      update(start, rows, -1.0);
    }
  }
  Matrix xtwx = h.topLeftCorner(p, p);
  xtwx.triangularView<Eigen::StrictlyUpper>() = xtwx.transpose();
  Vector xtwz = (z == nullptr) ? Vector::Zero(p) : Vector(h.row(p).head(p).transpose());
  return WeightedCross{std::move(xtwx), std::move(xtwz)};
}

}  // namespace

WeightedCross weighted_cross(const Matrix& x, const Vector& w, const Vector& z) {
  return accumulate(x, w, &z);
}

Matrix weighted_gram(const Matrix& x, const Vector& w) { return accumulate(x, w, nullptr).xtwx; }

}  // namespace zelki::inner
