// Shared helpers of the C++ unit tests: error measures and matrices with known spectra.
#pragma once

#include <algorithm>
#include <cstdint>
#include <limits>
#include <random>

#include "common/eigen.hpp"

namespace zelki::testing {

inline constexpr double kEps = std::numeric_limits<double>::epsilon();

// max_i |a_i − b_i| / max(1, max_i |b_i|): relative for large references, absolute near zero.
template <class A, class B>
double relative_error(const Eigen::MatrixBase<A>& actual, const Eigen::MatrixBase<B>& expected) {
  const double scale = std::max(1.0, expected.cwiseAbs().maxCoeff());
  return (actual - expected).cwiseAbs().maxCoeff() / scale;
}

// A random orthogonal n×n matrix (QR of a Gaussian matrix), reproducible from the seed.
inline Matrix random_orthogonal(Eigen::Index n, std::uint32_t seed) {
  std::mt19937 gen(seed);
  std::normal_distribution<double> normal;
  Matrix g(n, n);
  for (Eigen::Index j = 0; j < n; ++j) {
    for (Eigen::Index i = 0; i < n; ++i) g(i, j) = normal(gen);
  }
  return Eigen::HouseholderQR<Matrix>(g).householderQ() * Matrix::Identity(n, n);
}

// Symmetric matrix Q diag(eigenvalues) Qᵀ with a random orthogonal Q, symmetrised exactly.
inline Matrix spd_with_eigenvalues(const Vector& eigenvalues, std::uint32_t seed) {
  const Matrix q = random_orthogonal(eigenvalues.size(), seed);
  const Matrix a = q * eigenvalues.asDiagonal() * q.transpose();
  return 0.5 * (a + a.transpose());
}

}  // namespace zelki::testing
