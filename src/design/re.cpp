#include "design/re.hpp"

#include <algorithm>
#include <cmath>
#include <iterator>
#include <utility>

namespace zelki::design {

Result<std::vector<double>> re_levels(const Eigen::Ref<const Vector>& column) {
  // NaN equals nothing, not even itself: as a level it would match no row and leave an all-zero
  // column, and it would break the ordering the sort and the lookup rely on. Drop it here; a NaN
  // row then matches no level, like an unseen value at prediction time.
  std::vector<double> levels;
  levels.reserve(static_cast<std::size_t>(column.size()));
  std::copy_if(column.begin(), column.end(), std::back_inserter(levels),
               [](double v) { return !std::isnan(v); });
  if (levels.empty()) return InvalidParameter{"Re basis: x is empty"};
  std::sort(levels.begin(), levels.end());
  // Merge by numeric equality, the same test the lookup applies, so that every non-NaN value of
  // the column matches exactly one level.
  levels.erase(std::unique(levels.begin(), levels.end()), levels.end());
  return levels;
}

Matrix re_indicators(const Eigen::Ref<const Vector>& column, const std::vector<double>& levels) {
  Matrix out = Matrix::Zero(column.size(), static_cast<Eigen::Index>(levels.size()));
  for (Eigen::Index r = 0; r < column.size(); ++r) {
    const double t = column[r];
    // First level m with t ≤ levels[m]; it is t's level if and only if it equals t.
    const auto it = std::lower_bound(levels.begin(), levels.end(), t);
    if (it != levels.end() && *it == t) out(r, std::distance(levels.begin(), it)) = 1.0;
  }
  return out;
}

Result<ReTerm> re_term(const Matrix& x, std::size_t column) {
  ZELKI_ASSERT(static_cast<Eigen::Index>(column) < x.cols(), "re_term: column outside x");
  const auto values = x.col(static_cast<Eigen::Index>(column));
  ZELKI_TRY(std::vector<double> levels, re_levels(values));
  Matrix block = re_indicators(values, levels);
  // A ridge on the level effects: random effects shrink towards 0 with one variance, and need
  // neither scaling nor a centring constraint since no level effect is left unpenalised.
  const auto l = static_cast<Eigen::Index>(levels.size());
  return ReTerm{std::move(levels), std::move(block), Matrix::Identity(l, l)};
}

Result<Design> re_design(const Matrix& x) {
  ZELKI_CHECK(require_column_zero(x, "re_design"));
  ZELKI_TRY(ReTerm term, re_term(x, 0));
  return single_smooth_design(Predictor{RePredictor{std::move(term.levels)}}, term.block,
                              term.penalty);
}

}  // namespace zelki::design
