#include "design/additive.hpp"

#include <algorithm>
#include <string>
#include <utility>

#include "design/cr.hpp"
#include "design/cr_stable.hpp"
#include "design/penalty.hpp"
#include "design/re.hpp"
#include "design/tensor.hpp"

namespace zelki::design {

namespace {

template <class... Ts>
struct Overloaded : Ts... {
  using Ts::operator()...;
};
template <class... Ts>
Overloaded(Ts...) -> Overloaded<Ts...>;

// One built term before placement: its block, its penalties (in the term's coordinates), its
// predictor and the columns it reads.
struct BuiltTerm {
  Matrix block;
  std::vector<Matrix> penalties;
  Predictor predictor;
  std::vector<std::uint64_t> cols_used;
};

Result<BuiltTerm> build_term(const Matrix& x, const TermSpec& term_spec) {
  return std::visit(
      Overloaded{
          [&x](const CrTermSpec& s) -> Result<BuiltTerm> {
            ZELKI_TRY(CrTerm t, cr_term(x, s.column, s.k));
            return BuiltTerm{std::move(t.block),
                             {std::move(t.penalty)},
                             Predictor{CrPredictor{std::move(t.knots), std::move(t.centring)}},
                             {s.column}};
          },
          [&x](const CrStableTermSpec& s) -> Result<BuiltTerm> {
            ZELKI_TRY(CrStableTerm t, cr_stable_term(x, s.column, s.k));
            return BuiltTerm{std::move(t.block),
                             {std::move(t.penalty)},
                             Predictor{CrStablePredictor{std::move(t.knots), std::move(t.centring),
                                                         std::move(t.reparam_v)}},
                             {s.column}};
          },
          [&x](const ReTermSpec& s) -> Result<BuiltTerm> {
            ZELKI_TRY(ReTerm t, re_term(x, s.column));
            return BuiltTerm{std::move(t.block),
                             {std::move(t.penalty)},
                             Predictor{RePredictor{std::move(t.levels)}},
                             {s.column}};
          },
          [&x](const TensorTermSpec& s) -> Result<BuiltTerm> {
            ZELKI_TRY(TensorTerm t, tensor_term(x, s.col_a, s.col_b, s.k_a, s.k_b));
            return BuiltTerm{std::move(t.block), std::move(t.penalties),
                             Predictor{std::move(t.predictor)}, std::move(t.cols_used)};
          },
      },
      term_spec);
}

// The term block of one term predictor at x_new, without the intercept. One-dimensional terms
// read the column view in place; nothing is copied but the block itself.
Result<Matrix> term_block_at(const Predictor& term, const Matrix& x_new, std::uint64_t column,
                             std::size_t t) {
  return std::visit(
      Overloaded{
          [&](const AdditivePredictor&) -> Result<Matrix> {
            return InvalidParameter{"AdditivePredictor: term " + std::to_string(t) +
                                    " is itself an additive predictor"};
          },
          [&](const TensorPredictor& p) -> Result<Matrix> { return p.term_block(x_new); },
          [&](const auto& p) -> Result<Matrix> {
            return p.term_block(x_new.col(static_cast<Eigen::Index>(column)));
          },
      },
      term.variant);
}

// Relative size below which a column of a tensor block counts as lying in the span of the terms
// nested in it: √ε, far above the rounding of an exact dependence and far below any genuine
// direction of a smooth of two variables.
constexpr double kDependenceTolerance = 1.4901161193847656e-8;

bool reads_only(const std::vector<std::uint64_t>& inner, const std::vector<std::uint64_t>& outer) {
  return std::all_of(inner.begin(), inner.end(), [&outer](std::uint64_t c) {
    return std::find(outer.begin(), outer.end(), c) != outer.end();
  });
}

// A tensor term of (x_a, x_b) contains every function of x_a in its margin-a space (margin b is a
// partition of unity), in particular the straight lines that a one-dimensional smooth of x_a
// leaves unpenalised. With both terms in the model that direction is unpenalised twice over and
// the penalised Hessian is singular at every λ. As in the usual side conditions for nested terms,
// the tensor block gives up the columns that lie in the span of [1 | blocks of the terms nested in
// it]: a pivoted QR of the block's residual after projection on that span finds them, and they
// are removed from the stored centring, so the predictor reproduces the reduced block exactly.
// Terms without nesting are left untouched.
Status drop_nested_dependence(const Matrix& x, std::vector<BuiltTerm>& built, std::size_t t) {
  auto& predictor = std::get<TensorPredictor>(built[t].predictor.variant);
  // Lower-order terms of the tensor's columns, and earlier tensor terms of the same pair.
  const auto nested_in_t = [&built, t](std::size_t u) {
    return u != t && reads_only(built[u].cols_used, built[t].cols_used) &&
           (built[u].cols_used.size() < built[t].cols_used.size() || u < t);
  };
  Eigen::Index nested_width = 1;
  for (std::size_t u = 0; u < built.size(); ++u) {
    if (nested_in_t(u)) nested_width += built[u].block.cols();
  }
  if (nested_width == 1) return Ok{};
  const Eigen::Index n = x.rows();
  Matrix nested(n, nested_width);
  nested.col(0).setOnes();
  Eigen::Index at = 1;
  for (std::size_t u = 0; u < built.size(); ++u) {
    if (nested_in_t(u)) {
      nested.middleCols(at, built[u].block.cols()) = built[u].block;
      at += built[u].block.cols();
    }
  }
  const Eigen::HouseholderQR<Matrix> nested_qr(nested);
  // Qᵀ·X_t; its rows below the nested span are the residual in rotated coordinates, which has
  // the same R factor as the residual itself.
  Matrix rotated = built[t].block;
  rotated.applyOnTheLeft(nested_qr.householderQ().adjoint());
  const Eigen::Index q1 = std::min(nested_width, n);
  Eigen::ColPivHouseholderQR<Matrix> residual_qr(rotated.bottomRows(n - q1));
  residual_qr.setThreshold(kDependenceTolerance);
  const Eigen::Index width = built[t].block.cols();
  const Eigen::Index rank = residual_qr.rank();
  if (rank == width) return Ok{};

  std::vector<bool> keep(static_cast<std::size_t>(width), true);
  for (Eigen::Index m = rank; m < width; ++m) {
    keep[static_cast<std::size_t>(residual_qr.colsPermutation().indices()[m])] = false;
  }
  std::vector<Eigen::Index> kept;
  for (Eigen::Index m = 0; m < width; ++m) {
    if (keep[static_cast<std::size_t>(m)]) kept.push_back(m);
  }
  predictor.centring = Matrix(predictor.centring(Eigen::all, kept));
  for (Matrix& s : built[t].penalties) s = Matrix(s(kept, kept));
  ZELKI_TRY(built[t].block, predictor.term_block(x));
  return Ok{};
}

}  // namespace

std::vector<std::uint64_t> columns_read(const TermSpec& term) {
  return std::visit(Overloaded{
                        [](const TensorTermSpec& s) {
                          return std::vector{s.col_a, s.col_b};
                        },
                        [](const auto& s) { return std::vector{s.column}; },
                    },
                    term);
}

Status check_term_columns(const std::vector<TermSpec>& terms, std::size_t c_x) {
  for (std::size_t t = 0; t < terms.size(); ++t) {
    for (const std::uint64_t column : columns_read(terms[t])) {
      if (column >= c_x) {
        return InvalidParameter{"Additive term " + std::to_string(t) + " reads column " +
                                std::to_string(column) + " but x has only " + std::to_string(c_x) +
                                " columns"};
      }
    }
  }
  return Ok{};
}

Result<Design> additive_design(const Matrix& x, const std::vector<TermSpec>& terms) {
  ZELKI_CHECK(check_term_columns(terms, static_cast<std::size_t>(x.cols())));

  std::vector<BuiltTerm> built;
  built.reserve(terms.size());
  Eigen::Index p = 1;
  for (const TermSpec& term_spec : terms) {
    ZELKI_TRY(BuiltTerm term, build_term(x, term_spec));
    p += term.block.cols();
    built.push_back(std::move(term));
  }
  for (std::size_t t = 0; t < built.size(); ++t) {
    if (std::holds_alternative<TensorPredictor>(built[t].predictor.variant)) {
      ZELKI_CHECK(drop_nested_dependence(x, built, t));
    }
  }
  p = 1;
  for (const BuiltTerm& term : built) p += term.block.cols();

  Design out;
  out.x.resize(x.rows(), p);
  out.x.col(0).setOnes();
  AdditivePredictor predictor;
  Eigen::Index start = 1;
  std::size_t rank_sum = 0;
  for (BuiltTerm& term : built) {
    const Eigen::Index width = term.block.cols();
    out.x.middleCols(start, width) = term.block;
    term.block = Matrix();  // release the n-row copy as soon as it is placed
    const std::size_t first_penalty = out.penalties.size();
    for (const Matrix& s : term.penalties) {
      // The rank and log pseudo-determinant of the embedded matrix are those of the term's own
      // block (the added rows and columns are zero), so they are taken from the small matrix.
      const PenaltyRank rank = penalty_rank_log_det(s);
      out.penalties.push_back(embed_penalty(s, p, start));
      out.penalty_ranks.push_back(rank.rank);
      out.penalty_log_dets.push_back(rank.log_det);
    }
    if (term.penalties.size() == 1) {
      rank_sum += out.penalty_ranks.back();
    } else if (term.penalties.size() > 1) {
      // Penalties sharing a block overlap: the unpenalised space of the term is the null space
      // of their sum, not what the separate ranks would leave.
      Matrix sum = Matrix::Zero(width, width);
      for (const Matrix& s : term.penalties) sum += s;
      const std::size_t rank = penalty_rank_log_det(sum).rank;
      rank_sum += rank;
      out.shared_blocks.push_back(
          Design::SharedBlock{first_penalty, term.penalties.size(), start, width, rank});
    }
    predictor.term_predictors.push_back(std::move(term.predictor));
    predictor.cols_used.push_back(std::move(term.cols_used));
    predictor.term_col_ranges.push_back(
        {static_cast<std::uint64_t>(start), static_cast<std::uint64_t>(start + width)});
    start += width;
  }
  const auto p_count = static_cast<std::size_t>(p);
  out.null_space_dim = p_count > rank_sum ? p_count - rank_sum : 0;
  out.predictor = Predictor{std::move(predictor)};
  return out;
}

Result<Matrix> AdditivePredictor::evaluate(const Matrix& x_new) const {
  const auto c_new = static_cast<std::uint64_t>(x_new.cols());
  std::vector<Matrix> blocks;
  blocks.reserve(term_predictors.size());
  Eigen::Index p = 1;
  for (std::size_t t = 0; t < term_predictors.size(); ++t) {
    // A stored predictor may lack the columns of a term: refuse rather than guess.
    const bool is_tensor = std::holds_alternative<TensorPredictor>(term_predictors[t].variant);
    if (t >= cols_used.size() || (!is_tensor && cols_used[t].empty())) {
      return InvalidParameter{"AdditivePredictor: term " + std::to_string(t) +
                              " has no stored columns"};
    }
    for (const std::uint64_t column : cols_used[t]) {
      if (column >= c_new) {
        return InvalidParameter{"AdditivePredictor: term " + std::to_string(t) +
                                " expects column " + std::to_string(column) + " but x has only " +
                                std::to_string(c_new) + " columns"};
      }
    }
    const std::uint64_t first_column = cols_used[t].empty() ? 0 : cols_used[t].front();
    ZELKI_TRY(Matrix block, term_block_at(term_predictors[t], x_new, first_column, t));
    p += block.cols();
    blocks.push_back(std::move(block));
  }
  Matrix out(x_new.rows(), p);
  out.col(0).setOnes();
  Eigen::Index start = 1;
  for (const Matrix& block : blocks) {
    out.middleCols(start, block.cols()) = block;
    start += block.cols();
  }
  return out;
}

}  // namespace zelki::design
