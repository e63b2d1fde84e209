// Predictor: the stored recipe that rebuilds a fit's model matrix at new covariate values. Each
// variant holds exactly the fields of its persisted form, under the same names.
#pragma once

#include <array>
#include <cstdint>
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

struct Predictor;

// The model matrix of an additive fit, [1 | C_1 | C_2 | …], one block per term.
struct AdditivePredictor {
  static constexpr std::string_view kKind = "additive";
  // One single-term predictor per term (never an additive one), in term order.
  std::vector<Predictor> term_predictors;
  // Per term, the columns of x it reads: [c] for a one-dimensional term, [col_a, col_b] for a
  // tensor term.
  std::vector<std::vector<std::uint64_t>> cols_used;
  // Per term, its columns [first, last_exclusive) of the model matrix; they tile 1 … p−1.
  std::vector<std::array<std::uint64_t, 2>> term_col_ranges;

  // [1 | blocks of the terms] at x_new, each term checked against the columns of x_new.
  Result<Matrix> evaluate(const Matrix& x_new) const;
};

// The basis of a tensor margin; the cubic regression spline is the only kind.
enum class MarginBasis { kCr };

// A tensor-product smooth of two columns: X = [1 | (A(x_a) ⊙ B(x_b))·Z_t], ⊙ the row-wise
// Kronecker product of the two margin bases, margin b varying fastest.
struct TensorPredictor {
  static constexpr std::string_view kKind = "tensor";
  std::uint64_t col_a = 0;  // column of x of margin a
  std::uint64_t col_b = 0;  // column of x of margin b
  MarginBasis bs_a = MarginBasis::kCr;
  MarginBasis bs_b = MarginBasis::kCr;
  Vector knots_a;   // k_a knots of margin a
  Vector knots_b;   // k_b knots of margin b
  Matrix xp_a;      // margin transform, k_a×m_a (the identity for models fitted here)
  Matrix xp_b;      // margin transform, k_b×m_b
  Matrix centring;  // Z_t, (m_a·m_b)×(m_a·m_b − 1)

  // [1 | term block] at x_new.
  Result<Matrix> evaluate(const Matrix& x_new) const;
  // (A ⊙ B)·Z_t at columns col_a and col_b of x_new, without the intercept. Fails when a column
  // is missing, a knot vector is invalid or the stored shapes disagree.
  Result<Matrix> term_block(const Matrix& x_new) const;
};

// The tagged union of predictors. The alternatives stand in the order of the stored kind names
// cr, re, cr_stable, additive, tensor.
struct Predictor {
  using Variant =
      std::variant<CrPredictor, RePredictor, CrStablePredictor, AdditivePredictor, TensorPredictor>;
  Variant variant;

  // The stored kind name of the held alternative.
  std::string_view kind() const;

  // The model matrix at x_new (n_new×c), column 0 all ones. The single smooths read column 0
  // only, ignore any further columns and reject a matrix without columns; the additive and
  // tensor predictors read the columns they store and check them against c.
  Result<Matrix> evaluate(const Matrix& x_new) const;
};

}  // namespace zelki::design
