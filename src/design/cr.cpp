#include "design/cr.hpp"

#include <utility>

#include "basis/cr.hpp"
#include "design/transform.hpp"

namespace zelki::design {

namespace {

// max_r Σ_j |A[r, j]|, the infinity norm. A row holding NaN has a NaN sum, which never compares
// greater, so NaN covariates cannot raise (or poison) the norm.
double max_abs_row_sum(const Matrix& a) {
  double out = 0.0;
  for (Eigen::Index r = 0; r < a.rows(); ++r) {
    const double s = a.row(r).cwiseAbs().sum();
    if (s > out) out = s;
  }
  return out;
}

}  // namespace

Result<CrPieces> cr_pieces(const Matrix& x, std::size_t column, std::size_t k) {
  ZELKI_ASSERT(static_cast<Eigen::Index>(column) < x.cols(), "cr_term: column outside x");
  const auto values = x.col(static_cast<Eigen::Index>(column));
  ZELKI_TRY(const basis::CrBasis basis, basis::place_knots(values, k));

  // The one evaluation of the basis: it gives the penalty scale, the constraint and the block.
  Matrix b = basis.evaluate_values(values);
  Matrix s = basis.penalties().front();

  // Scale S so that its infinity norm matches ‖B‖∞², the scale of BᵀB: the smoothing parameter
  // then starts from a comparable footing whatever the units of the covariate.
  const double norm_b = max_abs_row_sum(b);
  const double norm_s = max_abs_row_sum(s);
  if (norm_s > 0.0) s *= norm_b * norm_b / norm_s;

  // Sum-to-zero over the data: coefficients β = Zα satisfy 1ᵀBβ = cᵀZα = 0 with c = Bᵀ1, so the
  // term cannot absorb the intercept. Column sums rather than means: Z is invariant to c's scale.
  Matrix z = centring_matrix(column_sums(b));
  Matrix penalty = (z.transpose() * s) * z;
  return CrPieces{basis.knots(), std::move(b), std::move(z), std::move(penalty)};
}

Result<CrTerm> cr_term(const Matrix& x, std::size_t column, std::size_t k) {
  ZELKI_TRY(CrPieces pieces, cr_pieces(x, column, k));
  Matrix block = pieces.basis * pieces.centring;
  return CrTerm{std::move(pieces.knots), std::move(pieces.centring), std::move(block),
                std::move(pieces.penalty)};
}

Result<Design> cr_design(const Matrix& x, std::size_t k) {
  ZELKI_CHECK(require_column_zero(x, "cr_design"));
  ZELKI_TRY(CrPieces pieces, cr_pieces(x, 0, k));
  // [1 | B·Z] in the storage of B; the predictor rebuilds it the same way.
  Matrix model = intercept_then_products(std::move(pieces.basis), {&pieces.centring});
  return single_smooth_design_from_x(
      Predictor{CrPredictor{std::move(pieces.knots), std::move(pieces.centring)}}, std::move(model),
      pieces.penalty);
}

}  // namespace zelki::design
