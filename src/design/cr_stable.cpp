#include "design/cr_stable.hpp"

#include <string>
#include <utility>

#include "design/cr.hpp"
#include "design/transform.hpp"
#include "linalg/dense.hpp"

namespace zelki::design {

Result<StableReparam> stable_reparam(const Matrix& inner_penalty, Eigen::Index q) {
  if (inner_penalty.rows() != q || inner_penalty.cols() != q) {
    return InvalidParameter{"StableReparam: inner_penalty must be (" + std::to_string(q) + ", " +
                            std::to_string(q) + "); got (" + std::to_string(inner_penalty.rows()) +
                            ", " + std::to_string(inner_penalty.cols()) + ")"};
  }
  auto decomposition = linalg::symmetric_eigen(inner_penalty);
  if (const auto* error = std::get_if<linalg::LinalgError>(&decomposition)) {
    return Linalg{"eigh failed in StableReparam: " + linalg::message(*error)};
  }
  const Matrix& u = std::get<linalg::Eigensystem>(decomposition).vectors;
  // S_c = U Λ Uᵀ with Λ ascending; reversing the columns puts the most heavily penalised
  // directions first, so the null-space directions of the term come last.
  Matrix v = u.rowwise().reverse();
  Matrix penalty = (v.transpose() * inner_penalty) * v;
  return StableReparam{std::move(v), std::move(penalty)};
}

Result<CrStableTerm> cr_stable_term(const Matrix& x, std::size_t column, std::size_t k) {
  ZELKI_TRY(CrTerm cr, cr_term(x, column, k));
  ZELKI_TRY(StableReparam reparam, stable_reparam(cr.penalty, cr.centring.cols()));
  // X_s = X_c·V spans the same columns as X_c (V is orthogonal) and Xβ, βᵀSβ are unchanged under
  // β ↦ Vᵀβ; only the coordinates differ.
  Matrix block = cr.block * reparam.reparam_v;
  return CrStableTerm{std::move(cr.knots), std::move(cr.centring), std::move(reparam.reparam_v),
                      std::move(block), std::move(reparam.penalty)};
}

Result<Design> cr_stable_design(const Matrix& x, std::size_t k) {
  ZELKI_CHECK(require_column_zero(x, "cr_stable_design"));
  ZELKI_TRY(CrPieces pieces, cr_pieces(x, 0, k));
  ZELKI_TRY(StableReparam reparam, stable_reparam(pieces.penalty, pieces.centring.cols()));
  // [1 | (B·Z)·V] in the storage of B; the predictor rebuilds it the same way.
  Matrix model =
      intercept_then_products(std::move(pieces.basis), {&pieces.centring, &reparam.reparam_v});
  return single_smooth_design_from_x(
      Predictor{CrStablePredictor{std::move(pieces.knots), std::move(pieces.centring),
                                  std::move(reparam.reparam_v)}},
      std::move(model), reparam.penalty);
}

}  // namespace zelki::design
