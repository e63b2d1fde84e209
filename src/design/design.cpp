#include "design/design.hpp"

#include <string>
#include <utility>

#include "design/penalty.hpp"
#include "design/transform.hpp"

namespace zelki::design {

Design single_smooth_design(Predictor predictor, const Matrix& block, const Matrix& term_penalty) {
  return single_smooth_design_from_x(std::move(predictor), add_intercept_column(block),
                                     term_penalty);
}

Design single_smooth_design_from_x(Predictor predictor, Matrix x, const Matrix& term_penalty) {
  Design out{std::move(predictor), std::move(x), {}, {}, {}, 0, {}};
  const Eigen::Index p = out.x.cols();
  Matrix penalty = embed_penalty(term_penalty, p, /*first=*/1);
  const PenaltyRank rank = penalty_rank_log_det(penalty);
  out.penalties.push_back(std::move(penalty));
  out.penalty_ranks.push_back(rank.rank);
  out.penalty_log_dets.push_back(rank.log_det);
  const auto p_count = static_cast<std::size_t>(p);
  out.null_space_dim = p_count > rank.rank ? p_count - rank.rank : 0;
  return out;
}

Status require_column_zero(const Matrix& x, std::string_view reader) {
  if (x.cols() == 0) {
    return InvalidParameter{std::string(reader) + " reads column 0 but x has only 0 columns"};
  }
  return Ok{};
}

}  // namespace zelki::design
