#include "fit/inference.hpp"

namespace zelki::fit {

std::vector<ColumnRange> term_col_ranges(const FittedGam& model) {
  return {ColumnRange{1, static_cast<std::size_t>(model.beta.size())}};
}

}  // namespace zelki::fit
