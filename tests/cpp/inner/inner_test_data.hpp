// Small synthetic regression problems shared by the inner-fit tests.
#pragma once

#include <cmath>
#include <random>
#include <vector>

#include "common/eigen.hpp"

namespace zelki::inner::testdata {

// n×p model matrix: an intercept, then smooth functions of a uniform covariate with a little
// noise so that the columns are of full rank but far from orthogonal.
inline Matrix model_matrix(Eigen::Index n, Eigen::Index p, unsigned seed) {
  std::mt19937 gen(seed);
  std::uniform_real_distribution<double> unif(0.0, 1.0);
  std::normal_distribution<double> noise(0.0, 0.1);
  Matrix x(n, p);
  for (Eigen::Index i = 0; i < n; ++i) {
    const double t = unif(gen);
    x(i, 0) = 1.0;
    for (Eigen::Index j = 1; j < p; ++j) {
      x(i, j) = std::sin(static_cast<double>(j) * 2.5 * t + static_cast<double>(j)) + noise(gen);
    }
  }
  return x;
}

// Two penalties on the non-intercept columns: a ridge on the first half and a first-difference
// penalty on the rest, so that each penalty has its own null space.
inline std::vector<Matrix> two_penalties(Eigen::Index p) {
  Matrix ridge = Matrix::Zero(p, p);
  Matrix difference = Matrix::Zero(p, p);
  const Eigen::Index split = 1 + (p - 1) / 2;
  for (Eigen::Index j = 1; j < split; ++j) ridge(j, j) = 1.0;
  for (Eigen::Index j = split; j + 1 < p; ++j) {
    Vector d = Vector::Zero(p);
    d[j] = -1.0;
    d[j + 1] = 1.0;
    difference += d * d.transpose();
  }
  return {ridge, difference};
}

inline Vector positive_weights(Eigen::Index n, unsigned seed) {
  std::mt19937 gen(seed);
  std::uniform_real_distribution<double> unif(0.5, 2.0);
  Vector w(n);
  for (Eigen::Index i = 0; i < n; ++i) w[i] = unif(gen);
  return w;
}

}  // namespace zelki::inner::testdata
