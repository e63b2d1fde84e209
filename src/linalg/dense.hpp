// Dense linear algebra shared by the inner fits, the criterion and the outer iteration:
// products, the pieces of penalised weighted least squares, and LAPACK factorisations.
#pragma once

#include <span>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "common/eigen.hpp"
#include "common/result.hpp"

namespace zelki::linalg {

// Failure of a factorisation. Only the Cholesky operations turn it into a ZelkiError.
struct NotSquare {
  std::size_t rows;
  std::size_t cols;
};
struct LapackInvalidArgument {
  int return_code;  // the negative LAPACK info
};
struct LapackFailure {
  int return_code;  // the positive LAPACK info
};
struct InvalidShape {};
using LinalgError = std::variant<NotSquare, LapackInvalidArgument, LapackFailure, InvalidShape>;

std::string message(const LinalgError& error);

template <class T>
using LinalgResult = std::variant<T, LinalgError>;

struct Eigensystem {
  Vector values;   // ascending
  Matrix vectors;  // one orthonormal eigenvector per column
};

struct CholeskySolution {
  Matrix factor;  // lower Cholesky factor of A itself
  Vector x;       // solution of (A + εI) x = b
};

Vector matvec(const Matrix& a, const Vector& v);
Matrix matmul(const Matrix& a, const Matrix& b);
double dot(const Vector& u, const Vector& v);

// Xᵀ diag(w), p×n.
Matrix weighted_transpose(const Matrix& x, const Vector& w);

// S_λ = Σ_j exp(ρ_j) S_j.
Matrix total_penalty(std::span<const Matrix> penalties, const Vector& rho);

// Lower factor L with A = L Lᵀ and exact zeros above the diagonal.
Result<Matrix> cholesky_lower(const Matrix& a);

// Factor of A and the solution of (A + εI) x = b with ε = 1e-12·max(1, max_i |A_ii|).
Result<CholeskySolution> cholesky_solve_ridged(const Matrix& a, const Vector& b);

// Forward substitution L z = b and back substitution Lᵀ x = z.
Vector solve_lower(const Matrix& l, const Vector& b);
Vector solve_lower_transposed(const Matrix& l, const Vector& z);

LinalgResult<Eigensystem> symmetric_eigen(const Matrix& a);
LinalgResult<Vector> lu_solve(const Matrix& a, const Vector& b);

// 2 Σ log L_ii: log det A from its Cholesky factor.
double log_det_from_cholesky(const Matrix& l);

}  // namespace zelki::linalg
