#include "design/predictor.hpp"

#include <string>

#include "basis/cr.hpp"
#include "design/design.hpp"
#include "design/re.hpp"
#include "design/transform.hpp"

namespace zelki::design {

namespace {

// A stored predictor may come from a file that was never produced by a design, so its shapes are
// checked before any product: a mismatch is the caller's data, not an internal fault.
Status require_rows(const Matrix& m, Eigen::Index rows, std::string_view what) {
  if (m.rows() != rows) {
    return InvalidParameter{std::string(what) + " has " + std::to_string(m.rows()) +
                            " rows; expected " + std::to_string(rows)};
  }
  return Ok{};
}

// B(column)·Z from stored knots and centring: the basis is rebuilt, not re-placed, so the
// columns mean at new x what they meant on the training data.
Result<Matrix> centred_spline_block(const Vector& knots, const Matrix& centring,
                                    const Eigen::Ref<const Vector>& column, std::string_view kind) {
  ZELKI_TRY(const basis::CrBasis basis, basis::CrBasis::from_knots(knots));
  ZELKI_CHECK(require_rows(centring, knots.size(), std::string(kind) + ": centring"));
  return Matrix(basis.evaluate_values(column) * centring);
}

// [1 | term block of column 0] for a predictor of one covariate column; further columns of x_new
// are ignored.
template <class SingleSmooth>
Result<Matrix> evaluate_single_smooth(const SingleSmooth& predictor, const Matrix& x_new,
                                      std::string_view name) {
  ZELKI_CHECK(require_column_zero(x_new, name));
  ZELKI_TRY(const Matrix block, predictor.term_block(x_new.col(0)));
  return add_intercept_column(block);
}

}  // namespace

Result<Matrix> CrPredictor::term_block(const Eigen::Ref<const Vector>& column) const {
  return centred_spline_block(knots, centring, column, "CrPredictor");
}

Result<Matrix> RePredictor::term_block(const Eigen::Ref<const Vector>& column) const {
  // The lookup is a binary search: it needs strictly ascending levels (which also excludes NaN).
  for (std::size_t m = 1; m < levels.size(); ++m) {
    if (!(levels[m] > levels[m - 1])) {
      return InvalidParameter{"RePredictor: levels must be strictly increasing"};
    }
  }
  return re_indicators(column, levels);
}

Result<Matrix> CrStablePredictor::term_block(const Eigen::Ref<const Vector>& column) const {
  ZELKI_TRY(const Matrix centred,
            centred_spline_block(knots, centring, column, "CrStablePredictor"));
  ZELKI_CHECK(require_rows(reparam_v, centring.cols(), "CrStablePredictor: reparam_v"));
  // Same association as at build time, (B·Z)·V, so the training rows are reproduced bit for bit.
  return Matrix(centred * reparam_v);
}

Result<Matrix> CrPredictor::evaluate(const Matrix& x_new) const {
  ZELKI_CHECK(require_column_zero(x_new, "CrPredictor"));
  ZELKI_TRY(const basis::CrBasis basis, basis::CrBasis::from_knots(knots));
  ZELKI_CHECK(require_rows(centring, knots.size(), "CrPredictor: centring"));
  // [1 | B·Z] exactly as the design builds it.
  return intercept_then_products(basis.evaluate_values(x_new.col(0)), {&centring});
}

Result<Matrix> RePredictor::evaluate(const Matrix& x_new) const {
  return evaluate_single_smooth(*this, x_new, "RePredictor");
}

Result<Matrix> CrStablePredictor::evaluate(const Matrix& x_new) const {
  ZELKI_CHECK(require_column_zero(x_new, "CrStablePredictor"));
  ZELKI_TRY(const basis::CrBasis basis, basis::CrBasis::from_knots(knots));
  ZELKI_CHECK(require_rows(centring, knots.size(), "CrStablePredictor: centring"));
  ZELKI_CHECK(require_rows(reparam_v, centring.cols(), "CrStablePredictor: reparam_v"));
  // [1 | (B·Z)·V] exactly as the design builds it.
  return intercept_then_products(basis.evaluate_values(x_new.col(0)), {&centring, &reparam_v});
}

std::string_view Predictor::kind() const {
  return std::visit([](const auto& p) { return std::decay_t<decltype(p)>::kKind; }, variant);
}

Result<Matrix> Predictor::evaluate(const Matrix& x_new) const {
  return std::visit([&x_new](const auto& p) { return p.evaluate(x_new); }, variant);
}

}  // namespace zelki::design
