// Tensor-product smooths of two covariate columns: the row-wise Kronecker basis of two cubic
// regression spline margins, one penalty per margin, and the sum-to-zero constraint.
#pragma once

#include <cstddef>
#include <vector>

#include "common/eigen.hpp"
#include "common/result.hpp"
#include "design/predictor.hpp"

namespace zelki::design {

struct TensorTerm {
  Matrix block;                          // X_t = T·Z_t, n×(k_a·k_b − 1)
  std::vector<Matrix> penalties;         // [S_A, S_B], wiggliness along margin a and along b
  TensorPredictor predictor;             // rebuilds the block at new covariates
  std::vector<std::uint64_t> cols_used;  // [col_a, col_b]
};

// The term of columns col_a and col_b of x (both must exist) with margin sizes k_a and k_b.
// Fails when the columns coincide or a margin's knots cannot be placed (margin a first).
Result<TensorTerm> tensor_term(const Matrix& x, std::size_t col_a, std::size_t col_b,
                               std::size_t k_a, std::size_t k_b);

// T[r, i·m_b + j] = A[r, i]·B[r, j]: each row of T is the Kronecker product of the rows of A and B.
Matrix rowwise_kronecker(const Matrix& a, const Matrix& b);

// S divided by its largest eigenvalue, or S unchanged when that eigenvalue is not positive.
Result<Matrix> rescale_penalty(const Matrix& s);

}  // namespace zelki::design
