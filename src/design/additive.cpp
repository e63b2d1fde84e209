#include "design/additive.hpp"

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

Result<BuiltTerm> build_term(const Matrix& x, const TermSpec& spec) {
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
      spec);
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

}  // namespace

std::vector<std::uint64_t> columns_read(const TermSpec& term) {
  return std::visit(Overloaded{
                        [](const TensorTermSpec& s) { return std::vector{s.col_a, s.col_b}; },
                        [](const auto& s) { return std::vector{s.column}; },
                    },
                    term);
}

Status check_term_columns(const std::vector<TermSpec>& terms, std::size_t c_x) {
  for (std::size_t t = 0; t < terms.size(); ++t) {
    for (const std::uint64_t column : columns_read(terms[t])) {
      if (column >= c_x) {
        return InvalidParameter{"Additive term " + std::to_string(t) + " reads column " +
                                std::to_string(column) + " but x has only " +
                                std::to_string(c_x) + " columns"};
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
  for (const TermSpec& spec : terms) {
    ZELKI_TRY(BuiltTerm term, build_term(x, spec));
    p += term.block.cols();
    built.push_back(std::move(term));
  }

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
    for (const Matrix& s : term.penalties) {
      // The rank and log pseudo-determinant of the embedded matrix are those of the term's own
      // block (the added rows and columns are zero), so they are taken from the small matrix.
      const PenaltyRank rank = penalty_rank_log_det(s);
      out.penalties.push_back(embed_penalty(s, p, start));
      out.penalty_ranks.push_back(rank.rank);
      out.penalty_log_dets.push_back(rank.log_det);
      rank_sum += rank.rank;
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
