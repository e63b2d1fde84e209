#include "linalg/cholesky_inverse.hpp"

namespace zelki::linalg {

Matrix inverse_from_cholesky(const Matrix& l) {
  const Eigen::Index p = l.rows();
  const Matrix l_inv = l.triangularView<Eigen::Lower>().solve(Matrix::Identity(p, p));
  Matrix h_inv(p, p);
  h_inv.setZero();
  h_inv.selfadjointView<Eigen::Lower>().rankUpdate(l_inv.transpose());
  return h_inv.selfadjointView<Eigen::Lower>();
}

double trace_of_product(const Matrix& a, const Matrix& b) {
  return a.cwiseProduct(b.transpose()).sum();
}

}  // namespace zelki::linalg
