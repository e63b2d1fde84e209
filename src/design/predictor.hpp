// Predictor: the stored recipe that rebuilds a fit's model matrix at new covariate values. Each
// variant holds exactly the fields of its persisted form, under the same names.
#pragma once

#include <string_view>
#include <variant>
#include <vector>

#include "common/eigen.hpp"
#include "common/result.hpp"

namespace zelki::design {

// A centred cubic regression spline of column 0: X = [1 | B(x)·Z].
struct CrPredictor {
  static constexpr std::string_view kKind = "cr";
  Vector knots;     // the k knots of the basis
  Matrix centring;  // Z, k×(k−1)

  // [1 | B·Z] at column 0 of x_new.
  Result<Matrix> evaluate(const Matrix& x_new) const;
  // B(column)·Z, without the intercept. Fails when the knots are not a valid basis or the
  // centring does not have one row per knot.
  Result<Matrix> term_block(const Eigen::Ref<const Vector>& column) const;
};

// Indicators of the levels of column 0: X = [1 | 1{x = level_m}].
struct RePredictor {
  static constexpr std::string_view kKind = "re";
  std::vector<double> levels;  // ascending, distinct

  // [1 | indicators] at column 0 of x_new.
  Result<Matrix> evaluate(const Matrix& x_new) const;
  // The n×L indicator block; a value equal to no level gives a row of zeros. Fails when the
  // levels are not strictly ascending.
  Result<Matrix> term_block(const Eigen::Ref<const Vector>& column) const;
};

// The centred spline in the eigenbasis of its penalty: X = [1 | (B(x)·Z)·V].
struct CrStablePredictor {
  static constexpr std::string_view kKind = "cr_stable";
  Vector knots;      // the k knots of the basis
  Matrix centring;   // Z, k×(k−1)
  Matrix reparam_v;  // V, (k−1)×(k−1) orthogonal

  // [1 | (B·Z)·V] at column 0 of x_new.
  Result<Matrix> evaluate(const Matrix& x_new) const;
  // (B(column)·Z)·V, without the intercept.
  Result<Matrix> term_block(const Eigen::Ref<const Vector>& column) const;
};

// The tagged union of predictors. The alternatives stand in the order of the stored kind names
// (cr, re, cr_stable, then additive and tensor when the multi-term designs join); an additive
// predictor will hold a std::vector<Predictor> of its terms, declared before this type.
struct Predictor {
  using Variant = std::variant<CrPredictor, RePredictor, CrStablePredictor>;
  Variant variant;

  // The stored kind name of the held alternative: "cr", "re" or "cr_stable".
  std::string_view kind() const;

  // The model matrix at x_new (n_new×c), column 0 all ones. The single smooths read column 0
  // only, ignore any further columns and reject a matrix without columns.
  Result<Matrix> evaluate(const Matrix& x_new) const;
};

}  // namespace zelki::design
