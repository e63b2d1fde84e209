#include "fit/additive_fit.hpp"

#include <algorithm>
#include <string>
#include <utility>

#include "design/additive.hpp"
#include "fit/data_checks.hpp"
#include "fit/exponential_fit.hpp"

namespace zelki::fit {

Result<FittedGam> fit_additive(const family::ExponentialFamily& family,
                               const std::vector<design::TermSpec>& terms, const Matrix& x,
                               const Vector& y, const std::optional<Vector>& weights) {
  // Column indices first, so that a missing column is reported as such and not as a bad value.
  ZELKI_CHECK(design::check_term_columns(terms, static_cast<std::size_t>(x.cols())));
  // Knots and levels placed from non-finite values are meaningless: every column a term reads
  // must be finite, each checked once, in the order the terms first read them.
  std::vector<std::uint64_t> checked;
  for (const design::TermSpec& term : terms) {
    for (const std::uint64_t column : design::columns_read(term)) {
      if (std::find(checked.begin(), checked.end(), column) != checked.end()) continue;
      checked.push_back(column);
      ZELKI_CHECK(check_finite(x.col(static_cast<Eigen::Index>(column)),
                               "x[:, " + std::to_string(column) + "]"));
    }
  }
  ZELKI_TRY(design::Design design, design::additive_design(x, terms));
  return outer_fit(family, std::move(design), static_cast<std::size_t>(x.rows()), y, weights);
}

}  // namespace zelki::fit
