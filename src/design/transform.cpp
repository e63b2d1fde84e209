#include "design/transform.hpp"

#include <cmath>

namespace zelki::design {

namespace {

// Below this norm the constraint is treated as absent: 2⁻⁵², the double-precision epsilon.
constexpr double kNegligibleConstraintNorm = 2.220446049250313e-16;

}  // namespace

Vector column_sums(const Matrix& b) { return b.colwise().sum().transpose(); }

Matrix centring_matrix(const Vector& c) {
  const Eigen::Index k = c.size();
  ZELKI_ASSERT(k >= 2, "centring_matrix: the constraint needs at least 2 entries");
  // stableNorm: the test must not be fooled by Σ cᵢ² overflowing or underflowing.
  if (c.stableNorm() < kNegligibleConstraintNorm) {
    // Nothing to constrain: keep the first k−1 coefficients and drop the last one.
    return Matrix::Identity(k, k - 1);
  }
  // Z depends only on the direction of c. Rescaling by a power of two near 1/max|cᵢ| is exact, so
  // it changes no bit of the result for ordinary c, and it keeps ‖c‖² and g finite when a
  // covariate far outside the knots makes the column sums huge.
  int exponent = 0;
  std::frexp(c.cwiseAbs().maxCoeff(), &exponent);
  const Vector u = c * std::ldexp(1.0, -exponent);
  const double norm = u.norm();

  // H = I − 2vvᵀ/g with v = u + sign(u₀)‖u‖e₀ maps u onto −sign(u₀)‖u‖e₀; adding rather than
  // subtracting ‖u‖ avoids cancellation in v₀. H is symmetric and orthogonal, so its columns
  // 1 … k−1 are orthonormal and orthogonal to Hᵀe₀ ∝ c: they span the null space of cᵀ.
  Vector v = u;
  v[0] += u[0] >= 0.0 ? norm : -norm;
  const double g = v.squaredNorm();
  Matrix z = Matrix::Identity(k, k).rightCols(k - 1);
  z.noalias() -= (2.0 / g) * v * v.tail(k - 1).transpose();
  return z;
}

Matrix add_intercept_column(const Matrix& a) {
  Matrix out(a.rows(), a.cols() + 1);
  out.col(0).setOnes();
  out.rightCols(a.cols()) = a;
  return out;
}

Matrix intercept_then_products(Matrix b, std::initializer_list<const Matrix*> factors) {
  const Eigen::Index n = b.rows();
  Eigen::Index q = b.cols();
  for (const Matrix* f : factors) {
    ZELKI_ASSERT(f->rows() == q, "intercept_then_products: factor of the wrong height");
    q = f->cols();
  }
  // Rows per block: the products of a block stay in cache, and their number does not change
  // what any row computes.
  constexpr Eigen::Index kBlockRows = 1024;
  const Eigen::Index block = std::min(kBlockRows, n);
  Matrix out = b.cols() == q + 1 ? Matrix() : Matrix(n, q + 1);
  Matrix& target = b.cols() == q + 1 ? b : out;
  Matrix stage_a(block, b.cols()), stage_b(block, b.cols());
  for (Eigen::Index start = 0; start < n; start += block) {
    const Eigen::Index rows = std::min(block, n - start);
    Matrix* current = &stage_a;
    current->topLeftCorner(rows, b.cols()) = b.middleRows(start, rows);
    Eigen::Index width = b.cols();
    for (const Matrix* f : factors) {
      Matrix* next = current == &stage_a ? &stage_b : &stage_a;
      next->topLeftCorner(rows, f->cols()).noalias() = current->topLeftCorner(rows, width) * *f;
      width = f->cols();
      current = next;
    }
    target.block(start, 0, rows, 1).setOnes();
    target.block(start, 1, rows, q) = current->topLeftCorner(rows, q);
  }
  return b.cols() == q + 1 ? std::move(b) : std::move(out);
}

}  // namespace zelki::design
