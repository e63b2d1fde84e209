// Penalties in the full coefficient space: embedding a term's penalty and its numerical rank and
// log pseudo-determinant.
#pragma once

#include <cstddef>

#include "common/eigen.hpp"

namespace zelki::design {

struct PenaltyRank {
  // Number of eigenvalues above the rank tolerance max(λ_max, 1)·1e-10.
  std::size_t rank = 0;
  // Σ ln λᵢ over those eigenvalues: the log pseudo-determinant.
  double log_det = 0.0;
};

// The p×p matrix that is zero except for term_penalty in rows and columns first … first+q−1.
Matrix embed_penalty(const Matrix& term_penalty, Eigen::Index p, Eigen::Index first);

// Rank and log pseudo-determinant of a symmetric matrix. A failed eigen-decomposition is an
// internal fault: the penalties built here are finite and symmetric.
PenaltyRank penalty_rank_log_det(const Matrix& s);

}  // namespace zelki::design
