// What a fitted model says at new covariates: the lpmatrix, linear predictors, means, Wald
// intervals and contrasts, and the column ranges of its terms.
#pragma once

#include <cstddef>
#include <utility>
#include <vector>

#include "common/eigen.hpp"
#include "common/result.hpp"
#include "fit/fitted_gam.hpp"

namespace zelki::fit {

using ColumnRange = std::pair<std::size_t, std::size_t>;  // [first, last_exclusive)

enum class PredictionScale { kLink, kResponse };

struct Interval {
  Vector mean;  // or the difference, for contrasts
  Vector lo;
  Vector hi;
};

// The predictor's term ranges for an additive model, otherwise the one range (1, p).
std::vector<ColumnRange> term_col_ranges(const FittedGam& model);

// The model matrix at x_new, checked against the width of beta and the shape of vcov.
Result<Matrix> evaluate_lpmatrix(const FittedGam& model, const Matrix& x_new);
Result<Vector> predict(const FittedGam& model, const Matrix& x_new);
Result<Vector> predict_response(const FittedGam& model, const Matrix& x_new);
Result<Interval> predict_ci(const FittedGam& model, const Matrix& x_new, double level,
                            PredictionScale scale);
// Wald interval of η(x_a) − η(x_b); a single row on either side is paired with every row of the
// other.
Result<Interval> predict_diff(const FittedGam& model, const Matrix& x_a, const Matrix& x_b,
                              double level);

// Φ⁻¹(p) by Acklam's rational approximation, for 0 < p < 1.
double normal_quantile(double p);

}  // namespace zelki::fit
