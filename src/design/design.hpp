// Design: the model matrix of a fit with its penalties, and the assembly shared by the
// single-smooth designs (intercept column plus one penalised term).
#pragma once

#include <cstddef>
#include <string_view>
#include <vector>

#include "common/eigen.hpp"
#include "common/result.hpp"
#include "design/predictor.hpp"

namespace zelki::design {

struct Design {
  // Rebuilds x at new covariate values.
  Predictor predictor;
  // n×p model matrix; column 0 is the intercept (all ones) and is never penalised.
  Matrix x;
  // One p×p penalty per smoothing parameter, each zero in row 0 and column 0.
  std::vector<Matrix> penalties;
  // Numerical rank of each penalty.
  std::vector<std::size_t> penalty_ranks;
  // Log pseudo-determinant of each penalty.
  std::vector<double> penalty_log_dets;
  // p − rank(Σ_k S_k) (0 if negative): the dimension of the unpenalised space.
  std::size_t null_space_dim = 0;
  // Penalties that act on one shared coefficient block (the margins of a tensor term), with the
  // rank of their sum. Their log pseudo-determinant is that of the weighted sum, not the sum of
  // their own; every other penalty has a block of its own.
  struct SharedBlock {
    std::size_t first_penalty = 0;
    std::size_t count = 0;
    Eigen::Index first_col = 0;
    Eigen::Index width = 0;
    std::size_t rank = 0;
  };
  std::vector<SharedBlock> shared_blocks;
};

// [1 | block] with term_penalty embedded behind the intercept, its rank and log pseudo-determinant.
Design single_smooth_design(Predictor predictor, const Matrix& block, const Matrix& term_penalty);

// The same from a model matrix that already holds the intercept column.
Design single_smooth_design_from_x(Predictor predictor, Matrix x, const Matrix& term_penalty);

// Fails unless x has a column 0 to read; `reader` names the caller in the message.
Status require_column_zero(const Matrix& x, std::string_view reader);

}  // namespace zelki::design
