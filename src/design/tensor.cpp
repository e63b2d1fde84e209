#include "design/tensor.hpp"

#include <string>
#include <utility>

#include "basis/cr.hpp"
#include "design/transform.hpp"
#include "linalg/dense.hpp"

namespace zelki::design {

namespace {

// A(x)·xp: the margin basis at the column values, through the stored margin transform. The
// design and the predictor both build margins here, so the training rows are reproduced exactly.
Matrix margin_values(const basis::CrBasis& basis, const Matrix& xp,
                     const Eigen::Ref<const Vector>& column) {
  return basis.evaluate_values(column) * xp;
}

// P_A = S_a ⊗ I_{k_b}: penalises each margin-a function's coefficient profile along a, for every
// basis function of margin b; only the k_a²·k_b possibly non-zero entries are written.
Matrix kronecker_with_identity_right(const Matrix& s_a, Eigen::Index k_b) {
  const Eigen::Index k_a = s_a.rows();
  Matrix out = Matrix::Zero(k_a * k_b, k_a * k_b);
  for (Eigen::Index j = 0; j < k_a; ++j) {
    for (Eigen::Index i = 0; i < k_a; ++i) {
      for (Eigen::Index t = 0; t < k_b; ++t) out(i * k_b + t, j * k_b + t) = s_a(i, j);
    }
  }
  return out;
}

// P_B = I_{k_a} ⊗ S_b: block diagonal with k_a copies of S_b.
Matrix kronecker_with_identity_left(Eigen::Index k_a, const Matrix& s_b) {
  const Eigen::Index k_b = s_b.rows();
  Matrix out = Matrix::Zero(k_a * k_b, k_a * k_b);
  for (Eigen::Index s = 0; s < k_a; ++s) out.block(s * k_b, s * k_b, k_b, k_b) = s_b;
  return out;
}

// The bare message of a knot-validation failure (always InvalidParameter), for re-wording.
std::string bare_message(const ZelkiError& error) {
  if (const auto* e = std::get_if<InvalidParameter>(&error)) return e->message;
  return display(error);
}

std::string column_pair(std::uint64_t col_a, std::uint64_t col_b) {
  std::string out = "(";
  out += std::to_string(col_a);
  out += ", ";
  out += std::to_string(col_b);
  out += ")";
  return out;
}

// A stored predictor may come from a file: every shape is checked before a product is formed,
// and the product block is only allocated once the centring proves its width is backed by data.
Status check_stored_shapes(const TensorPredictor& p) {
  const auto mismatch = [](const char* what, Eigen::Index got, Eigen::Index expected) {
    return InvalidParameter{"TensorPredictor: " + std::string(what) + " has " +
                            std::to_string(got) + " rows; expected " + std::to_string(expected)};
  };
  if (p.xp_a.rows() != p.knots_a.size()) return mismatch("xp_a", p.xp_a.rows(), p.knots_a.size());
  if (p.xp_b.rows() != p.knots_b.size()) return mismatch("xp_b", p.xp_b.rows(), p.knots_b.size());
  const Eigen::Index width = p.xp_a.cols() * p.xp_b.cols();
  if (p.centring.rows() != width) return mismatch("centring", p.centring.rows(), width);
  return Ok{};
}

}  // namespace

Matrix rowwise_kronecker(const Matrix& a, const Matrix& b) {
  ZELKI_ASSERT(a.rows() == b.rows(), "rowwise_kronecker: row counts differ");
  const Eigen::Index m_b = b.cols();
  Matrix out(a.rows(), a.cols() * m_b);
  for (Eigen::Index i = 0; i < a.cols(); ++i) {
    for (Eigen::Index j = 0; j < m_b; ++j) out.col(i * m_b + j) = a.col(i).cwiseProduct(b.col(j));
  }
  return out;
}

Result<Matrix> rescale_penalty(const Matrix& s) {
  auto decomposition = linalg::symmetric_eigen(s);
  if (const auto* error = std::get_if<linalg::LinalgError>(&decomposition)) {
    return Linalg{"eigh failed in tensor penalty rescale: " + linalg::message(*error)};
  }
  double largest = 0.0;
  for (const double l : std::get<linalg::Eigensystem>(decomposition).values) {
    if (l > largest) largest = l;  // NaN never compares greater
  }
  // Unit largest eigenvalue: the two margins' smoothing parameters then act on comparable scales
  // whatever the units of the two covariates.
  if (largest <= 0.0) return s;
  return Matrix(s / largest);
}

Result<TensorTerm> tensor_term(const Matrix& x, std::size_t col_a, std::size_t col_b,
                               std::size_t k_a, std::size_t k_b) {
  ZELKI_ASSERT(
      static_cast<Eigen::Index>(col_a) < x.cols() && static_cast<Eigen::Index>(col_b) < x.cols(),
      "tensor_term: column outside x");
  if (col_a == col_b) {
    return InvalidParameter{
        "Tensor term must have distinct margin columns (got col_a == col_b == " +
        std::to_string(col_a) + ")"};
  }
  const auto values_a = x.col(static_cast<Eigen::Index>(col_a));
  const auto values_b = x.col(static_cast<Eigen::Index>(col_b));
  ZELKI_TRY(const basis::CrBasis basis_a, basis::place_knots(values_a, k_a));
  ZELKI_TRY(const basis::CrBasis basis_b, basis::place_knots(values_b, k_b));
  const Eigen::Index ka = basis_a.knots().size();
  const Eigen::Index kb = basis_b.knots().size();

  TensorPredictor predictor;
  predictor.col_a = col_a;
  predictor.col_b = col_b;
  predictor.knots_a = basis_a.knots();
  predictor.knots_b = basis_b.knots();
  predictor.xp_a = Matrix::Identity(ka, ka);
  predictor.xp_b = Matrix::Identity(kb, kb);

  ZELKI_TRY(const Matrix s_a, rescale_penalty(basis_a.penalties().front()));
  ZELKI_TRY(const Matrix s_b, rescale_penalty(basis_b.penalties().front()));

  const Matrix t = rowwise_kronecker(margin_values(basis_a, predictor.xp_a, values_a),
                                     margin_values(basis_b, predictor.xp_b, values_b));
  // Sum-to-zero over the data, as for the one-dimensional terms: the surface cannot absorb the
  // intercept. Both margins are partitions of unity, so every row of T sums to 1 and the
  // constraint removes exactly the constant function of the product space.
  predictor.centring = centring_matrix(column_sums(t));
  const Matrix& z = predictor.centring;

  TensorTerm out;
  out.block = t * z;
  const Matrix p_a = kronecker_with_identity_right(s_a, kb);
  const Matrix p_b = kronecker_with_identity_left(ka, s_b);
  out.penalties.push_back((z.transpose() * p_a) * z);
  out.penalties.push_back((z.transpose() * p_b) * z);
  out.cols_used = {col_a, col_b};
  out.predictor = std::move(predictor);
  return out;
}

Result<Matrix> TensorPredictor::term_block(const Matrix& x_new) const {
  const auto c_new = static_cast<std::uint64_t>(x_new.cols());
  if (col_a >= c_new || col_b >= c_new) {
    return InvalidParameter{"TensorPredictor: term reads columns " + column_pair(col_a, col_b) +
                            " but x has only " + std::to_string(c_new) + " columns"};
  }
  auto basis_a = basis::CrBasis::from_knots(knots_a);
  if (!basis_a) {
    return InvalidParameter{"TensorPredictor: invalid stored knots_a: " +
                            bare_message(basis_a.error())};
  }
  auto basis_b = basis::CrBasis::from_knots(knots_b);
  if (!basis_b) {
    return InvalidParameter{"TensorPredictor: invalid stored knots_b: " +
                            bare_message(basis_b.error())};
  }
  ZELKI_CHECK(check_stored_shapes(*this));
  const Matrix t =
      rowwise_kronecker(margin_values(*basis_a, xp_a, x_new.col(static_cast<Eigen::Index>(col_a))),
                        margin_values(*basis_b, xp_b, x_new.col(static_cast<Eigen::Index>(col_b))));
  return Matrix(t * centring);
}

Result<Matrix> TensorPredictor::evaluate(const Matrix& x_new) const {
  ZELKI_TRY(const Matrix block, term_block(x_new));
  return add_intercept_column(block);
}

}  // namespace zelki::design
