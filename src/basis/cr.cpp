#include "basis/cr.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>

namespace zelki::basis {

namespace {

// Values closer than this (absolutely) to the last kept value count as ties when placing knots.
constexpr double kDuplicateGap = 1e-12;

// Per-interval cubic coefficients of the k cardinal natural splines:
// on interval i, function j is a(i,j) + b(i,j) δ + c(i,j) δ² + d(i,j) δ³ with δ = t − κ_i.
struct SplineTables {
  Matrix a, b, c, d;              // (k−1)×k
  Vector v_lo, s_lo, v_hi, s_hi;  // boundary values and slopes, length k
};

SplineTables natural_spline_tables(const Vector& knots) {
  const Eigen::Index k = knots.size();
  const Eigen::Index m = k - 1;  // intervals
  Vector h(m);
  for (Eigen::Index i = 0; i < m; ++i) h[i] = knots[i + 1] - knots[i];

  SplineTables t{Matrix::Zero(m, k), Matrix::Zero(m, k), Matrix::Zero(m, k), Matrix::Zero(m, k),
                 Vector::Zero(k),    Vector::Zero(k),    Vector::Zero(k),    Vector::Zero(k)};
  Vector y(k), alpha(k), l(k), mu(k), z(k), c(k);
  for (Eigen::Index j = 0; j < k; ++j) {
    y.setZero();
    y[j] = 1.0;
    // Tridiagonal system of the natural spline's second-derivative coefficients c (c_0 = c_{k−1} =
    // 0).
    alpha.setZero();
    for (Eigen::Index i = 1; i < k - 1; ++i) {
      alpha[i] = 3.0 * (y[i + 1] - y[i]) / h[i] - 3.0 * (y[i] - y[i - 1]) / h[i - 1];
    }
    l[0] = 1.0;
    mu[0] = 0.0;
    z[0] = 0.0;
    for (Eigen::Index i = 1; i < k - 1; ++i) {
      l[i] = 2.0 * (h[i - 1] + h[i]) - h[i - 1] * mu[i - 1];
      mu[i] = h[i] / l[i];
      z[i] = (alpha[i] - h[i - 1] * z[i - 1]) / l[i];
    }
    l[k - 1] = 1.0;
    z[k - 1] = 0.0;
    c[k - 1] = 0.0;
    for (Eigen::Index i = k - 2; i >= 0; --i) c[i] = z[i] - mu[i] * c[i + 1];
    for (Eigen::Index i = 0; i < m; ++i) {
      t.a(i, j) = y[i];
      t.b(i, j) = (y[i + 1] - y[i]) / h[i] - h[i] * (c[i + 1] + 2.0 * c[i]) / 3.0;
      t.c(i, j) = c[i];
      t.d(i, j) = (c[i + 1] - c[i]) / (3.0 * h[i]);
    }
    t.v_lo[j] = y[0];
    t.s_lo[j] = t.b(0, j);
    t.v_hi[j] = y[k - 1];
    const double hl = h[m - 1];
    t.s_hi[j] = 3.0 * t.d(m - 1, j) * hl * hl + 2.0 * t.c(m - 1, j) * hl + t.b(m - 1, j);
  }
  return t;
}

// The values in ascending order. A least-significant-digit radix sort on the order-preserving
// integer image of the doubles: four passes of 16 bits, linear in n, several times faster than a
// comparison sort on the large columns a fit meets. Equal values are indistinguishable after the
// sort, so stability does not matter; −0 sorts before +0 (both are then one distinct value).
std::vector<double> sorted_values(const Eigen::Ref<const Vector>& values) {
  const auto n = static_cast<std::size_t>(values.size());
  constexpr std::size_t kSmall = 2048;  // below this a comparison sort is as fast
  std::vector<double> out(n);
  for (std::size_t i = 0; i < n; ++i) out[i] = values[static_cast<Eigen::Index>(i)];
  if (n < kSmall) {
    std::sort(out.begin(), out.end(), [](double l, double r) { return l < r; });
    return out;
  }
  constexpr std::uint64_t kSignBit = 1ULL << 63;
  std::vector<std::uint64_t> keys(n), scratch(n);
  for (std::size_t i = 0; i < n; ++i) {
    std::uint64_t bits;
    std::memcpy(&bits, &out[i], sizeof bits);
    // Negative values: flip every bit (larger magnitude sorts first); others: set the sign bit.
    keys[i] = (bits & kSignBit) ? ~bits : (bits | kSignBit);
  }
  constexpr int kDigitBits = 16;
  constexpr std::size_t kBuckets = std::size_t{1} << kDigitBits;
  std::vector<std::size_t> counts(kBuckets);
  for (int pass = 0; pass < 64 / kDigitBits; ++pass) {
    const int shift = pass * kDigitBits;
    std::fill(counts.begin(), counts.end(), 0);
    for (std::uint64_t key : keys) ++counts[(key >> shift) & (kBuckets - 1)];
    std::size_t total = 0;
    for (std::size_t& c : counts) {
      const std::size_t here = c;
      c = total;
      total += here;
    }
    for (std::uint64_t key : keys) scratch[counts[(key >> shift) & (kBuckets - 1)]++] = key;
    keys.swap(scratch);
  }
  for (std::size_t i = 0; i < n; ++i) {
    const std::uint64_t key = keys[i];
    const std::uint64_t bits = (key & kSignBit) ? (key & ~kSignBit) : ~key;
    std::memcpy(&out[i], &bits, sizeof bits);
  }
  return out;
}

}  // namespace

Result<CrBasis> CrBasis::from_knots(Vector knots) {
  if (knots.size() < 3) {
    return InvalidParameter{"CR spline needs k ≥ 3 (got " + std::to_string(knots.size()) + ")"};
  }
  for (Eigen::Index i = 1; i < knots.size(); ++i) {
    if (!(knots[i] > knots[i - 1])) {
      return InvalidParameter{"CR spline knots must be strictly increasing"};
    }
  }
  return CrBasis(std::move(knots));
}

Result<CrBasis> place_knots(const Eigen::Ref<const Vector>& values, std::size_t k) {
  const std::vector<double> sorted = sorted_values(values);

  std::vector<double> distinct;
  for (double v : sorted) {
    if (distinct.empty() || std::abs(v - distinct.back()) > kDuplicateGap) distinct.push_back(v);
  }
  const std::size_t m = distinct.size();

  Vector knots(static_cast<Eigen::Index>(k));
  if (m < k) {
    const double first = m == 0 ? 0.0 : distinct.front();
    const double last = m == 0 ? 1.0 : distinct.back();
    const double step = k >= 2 ? (last - first) / static_cast<double>(k - 1) : 0.0;
    for (std::size_t j = 0; j < k; ++j) {
      knots[static_cast<Eigen::Index>(j)] = static_cast<double>(j) * step + first;
    }
  } else {
    for (std::size_t j = 0; j < k; ++j) {
      const double pos =
          (static_cast<double>(j) / static_cast<double>(k - 1)) * static_cast<double>(m - 1);
      const std::size_t idx = pos > 0.0 ? static_cast<std::size_t>(std::floor(pos)) : 0;
      double knot = distinct[m - 1];
      if (idx < m - 1) {
        const double frac = pos - static_cast<double>(idx);
        knot = (1.0 - frac) * distinct[idx] + frac * distinct[idx + 1];
      }
      knots[static_cast<Eigen::Index>(j)] = knot;
    }
  }
  return CrBasis::from_knots(std::move(knots));
}

Matrix CrBasis::evaluate(const Matrix& x) const { return evaluate_values(x.col(0)); }

Matrix CrBasis::evaluate_values(const Eigen::Ref<const Vector>& values) const {
  using RowMatrix = Eigen::Matrix<double, Eigen::Dynamic, Eigen::Dynamic, Eigen::RowMajor>;
  const Eigen::Index k = knots_.size();
  const Eigen::Index n = values.size();
  const SplineTables t = natural_spline_tables(knots_);
  // Interval-major copies of the tables: the k coefficients a row needs are contiguous.
  const RowMatrix a = t.a, b = t.b, c = t.c, d = t.d;
  const double first = knots_[0];
  const double last = knots_[k - 1];
  Matrix out(n, k);
  // Rows are computed into a small row-major buffer and stored a block at a time, so that the
  // column-major result is written column by column rather than with k scattered stores per row.
  constexpr Eigen::Index kBlockRows = 256;
  RowMatrix buffer(std::min(kBlockRows, n), k);
  for (Eigen::Index start = 0; start < n; start += kBlockRows) {
    const Eigen::Index rows = std::min(kBlockRows, n - start);
    for (Eigen::Index r = 0; r < rows; ++r) {
      const double v = values[start + r];
      double* row = buffer.row(r).data();
      if (first > v) {
        for (Eigen::Index j = 0; j < k; ++j) row[j] = t.v_lo[j] + t.s_lo[j] * (v - first);
      } else if (v > last) {
        for (Eigen::Index j = 0; j < k; ++j) row[j] = t.v_hi[j] + t.s_hi[j] * (v - last);
      } else if (std::isnan(v)) {
        for (Eigen::Index j = 0; j < k; ++j) row[j] = v;
      } else {
        Eigen::Index lo = 0;
        Eigen::Index hi = k - 1;
        while (lo < hi - 1) {
          const Eigen::Index mid = (lo + hi) / 2;
          if (v < knots_[mid]) {
            hi = mid;
          } else {
            lo = mid;
          }
        }
        const double delta = v - knots_[lo];
        const double* ar = a.row(lo).data();
        const double* br = b.row(lo).data();
        const double* cr = c.row(lo).data();
        const double* dr = d.row(lo).data();
        // Horner form of a + bδ + cδ² + dδ³ for every basis function.
        for (Eigen::Index j = 0; j < k; ++j) {
          row[j] = ar[j] + delta * (br[j] + delta * (cr[j] + delta * dr[j]));
        }
      }
    }
    out.middleRows(start, rows) = buffer.topRows(rows);
  }
  return out;
}

std::vector<Matrix> CrBasis::penalties() const {
  const Eigen::Index k = knots_.size();
  const Eigen::Index q = k - 2;
  Vector h(k - 1);
  for (Eigen::Index i = 0; i < k - 1; ++i) h[i] = knots_[i + 1] - knots_[i];

  // D maps knot values to second differences; B is the tridiagonal Gram matrix of the
  // piecewise-linear second derivative, so that ∫ f''² = βᵀ Dᵀ B⁻¹ D β.
  Matrix d = Matrix::Zero(q, k);
  Vector diag(q), off(q > 0 ? q - 1 : 0);
  for (Eigen::Index i = 0; i < q; ++i) {
    d(i, i) = 1.0 / h[i];
    d(i, i + 1) = -1.0 / h[i] - 1.0 / h[i + 1];
    d(i, i + 2) = 1.0 / h[i + 1];
    diag[i] = (h[i] + h[i + 1]) / 3.0;
    if (i + 1 < q) off[i] = h[i + 1] / 6.0;
  }
  // Thomas elimination of B X = D, all columns at once (B is diagonally dominant: no pivoting).
  Matrix rhs = d;
  Vector dprime = diag;
  for (Eigen::Index i = 1; i < q; ++i) {
    const double g = off[i - 1] / dprime[i - 1];
    dprime[i] = diag[i] - off[i - 1] * g;
    rhs.row(i) -= g * rhs.row(i - 1);
  }
  Matrix x(q, k);
  x.row(q - 1) = rhs.row(q - 1) / dprime[q - 1];
  for (Eigen::Index i = q - 2; i >= 0; --i) {
    x.row(i) = (rhs.row(i) - x.row(i + 1) * off[i]) / dprime[i];
  }
  std::vector<Matrix> out;
  out.push_back(d.transpose() * x);
  return out;
}

}  // namespace zelki::basis
