#include "linalg/dense.hpp"

#include <algorithm>
#include <cmath>

#include "linalg/lapack.hpp"

namespace zelki::linalg {

namespace {

// The copy handed to LAPACK: Eigen's default storage is already column-major and contiguous.
int checked_order(const Matrix& a) { return static_cast<int>(a.rows()); }

// Translate a LAPACK info code into an error; info == 0 means success.
LinalgError lapack_error(int info) {
  if (info < 0) return LapackInvalidArgument{info};
  return LapackFailure{info};
}

template <class... Ts>
struct Overloaded : Ts... {
  using Ts::operator()...;
};
template <class... Ts>
Overloaded(Ts...) -> Overloaded<Ts...>;

}  // namespace

std::string message(const LinalgError& error) {
  return std::visit(Overloaded{
                        [](const NotSquare& e) {
                          return "Not square: rows(" + std::to_string(e.rows) + ") != cols(" +
                                 std::to_string(e.cols) + ")";
                        },
                        [](const LapackInvalidArgument& e) {
                          return "Invalid value for LAPACK subroutine " +
                                 std::to_string(-e.return_code) + "-th argument";
                        },
                        [](const LapackFailure& e) {
                          return "Computational failure in LAPACK subroutine: return_code = " +
                                 std::to_string(e.return_code);
                        },
                        [](const InvalidShape&) { return std::string("Invalid shape"); },
                    },
                    error);
}

Vector matvec(const Matrix& a, const Vector& v) {
  ZELKI_ASSERT(a.cols() == v.size(), "matvec: length mismatch");
  return a * v;
}

Matrix matmul(const Matrix& a, const Matrix& b) {
  ZELKI_ASSERT(a.cols() == b.rows(), "matmul: inner size mismatch");
  return a * b;
}

double dot(const Vector& u, const Vector& v) {
  ZELKI_ASSERT(u.size() == v.size(), "dot: length mismatch");
  return u.dot(v);
}

Matrix weighted_transpose(const Matrix& x, const Vector& w) {
  ZELKI_ASSERT(w.size() >= x.rows(), "weighted_transpose: weights shorter than rows");
  return x.transpose() * w.head(x.rows()).asDiagonal();
}

Matrix total_penalty(std::span<const Matrix> penalties, const Vector& rho) {
  ZELKI_ASSERT(!penalties.empty(), "total_penalty: empty penalty list");
  ZELKI_ASSERT(rho.size() >= static_cast<Eigen::Index>(penalties.size()),
               "total_penalty: fewer log smoothing parameters than penalties");
  const Eigen::Index p = penalties[0].rows();
  Matrix s = Matrix::Zero(p, p);
  for (std::size_t j = 0; j < penalties.size(); ++j) {
    s += std::exp(rho[static_cast<Eigen::Index>(j)]) * penalties[j];
  }
  return s;
}

namespace {

LinalgResult<Matrix> potrf_lower(const Matrix& a) {
  if (a.rows() != a.cols()) {
    return LinalgError(
        NotSquare{static_cast<std::size_t>(a.rows()), static_cast<std::size_t>(a.cols())});
  }
  Matrix l = a;
  const int n = checked_order(a);
  if (n == 0) return l;
  int info = 0;
  const char uplo = 'L';
  dpotrf_(&uplo, &n, l.data(), &n, &info);
  if (info != 0) return lapack_error(info);
  l.triangularView<Eigen::StrictlyUpper>().setZero();
  return l;
}

Result<Matrix> as_singular(LinalgResult<Matrix> r) {
  if (auto* e = std::get_if<LinalgError>(&r)) {
    return SingularSystem{"Cholesky failed: " + message(*e)};
  }
  return std::get<Matrix>(std::move(r));
}

}  // namespace

Result<Matrix> cholesky_lower(const Matrix& a) { return as_singular(potrf_lower(a)); }

Result<CholeskySolution> cholesky_solve_ridged(const Matrix& a, const Vector& b) {
  ZELKI_TRY(Matrix l0, cholesky_lower(a));
  // Relative ridge: 1e-12 of the largest diagonal magnitude (at least 1), NaNs skipped.
  constexpr double kRelativeRidge = 1e-12;
  double m = 1.0;
  for (Eigen::Index i = 0; i < a.rows(); ++i) {
    const double d = std::abs(a(i, i));
    if (!std::isnan(d)) m = std::max(m, d);
  }
  Matrix a1 = a;
  a1.diagonal().array() += kRelativeRidge * m;
  ZELKI_TRY(Matrix l1, cholesky_lower(a1));
  Vector x = solve_lower_transposed(l1, solve_lower(l1, b));
  return CholeskySolution{std::move(l0), std::move(x)};
}

Vector solve_lower(const Matrix& l, const Vector& b) {
  ZELKI_ASSERT(b.size() >= l.rows(), "solve_lower: right-hand side too short");
  return l.triangularView<Eigen::Lower>().solve(b.head(l.rows()));
}

Vector solve_lower_transposed(const Matrix& l, const Vector& z) {
  ZELKI_ASSERT(z.size() >= l.rows(), "solve_lower_transposed: right-hand side too short");
  return l.transpose().triangularView<Eigen::Upper>().solve(z.head(l.rows()));
}

LinalgResult<Eigensystem> symmetric_eigen(const Matrix& a) {
  if (a.rows() != a.cols()) {
    return LinalgError(
        NotSquare{static_cast<std::size_t>(a.rows()), static_cast<std::size_t>(a.cols())});
  }
  Matrix v = a;
  const int n = checked_order(a);
  Vector w(n);
  if (n == 0) return Eigensystem{std::move(w), std::move(v)};
  const char jobz = 'V';
  const char uplo = 'L';
  int info = 0;
  int lwork = -1;
  double query = 0.0;
  dsyev_(&jobz, &uplo, &n, v.data(), &n, w.data(), &query, &lwork, &info);
  if (info != 0) return lapack_error(info);
  lwork = std::max(1, static_cast<int>(query));
  std::vector<double> work(static_cast<std::size_t>(lwork));
  dsyev_(&jobz, &uplo, &n, v.data(), &n, w.data(), work.data(), &lwork, &info);
  if (info != 0) return lapack_error(info);
  return Eigensystem{std::move(w), std::move(v)};
}

LinalgResult<Vector> lu_solve(const Matrix& a, const Vector& b) {
  if (a.rows() != a.cols()) {
    return LinalgError(
        NotSquare{static_cast<std::size_t>(a.rows()), static_cast<std::size_t>(a.cols())});
  }
  if (b.size() != a.rows()) return LinalgError(InvalidShape{});
  Matrix lu = a;
  Vector x = b;
  const int n = checked_order(a);
  if (n == 0) return x;
  std::vector<int> pivots(static_cast<std::size_t>(n));
  int info = 0;
  dgetrf_(&n, &n, lu.data(), &n, pivots.data(), &info);
  if (info != 0) return lapack_error(info);
  const char trans = 'N';
  const int nrhs = 1;
  dgetrs_(&trans, &n, &nrhs, lu.data(), &n, pivots.data(), x.data(), &n, &info);
  if (info != 0) return lapack_error(info);
  return x;
}

double log_det_from_cholesky(const Matrix& l) { return 2.0 * l.diagonal().array().log().sum(); }

}  // namespace zelki::linalg
