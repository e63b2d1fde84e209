#include "fit/inference.hpp"

#include <array>
#include <cmath>
#include <string>
#include <variant>

#include "common/format.hpp"
#include "family/link.hpp"

namespace zelki::fit {

namespace {

template <std::size_t N>
double horner(const std::array<double, N>& coefficients, double x) {
  double value = 0.0;
  for (double c : coefficients) value = value * x + c;
  return value;
}

// The z of a two-sided interval at `level`. Levels so close to 1 that (level + 1)/2 rounds to 1
// have no finite quantile and are rejected with the same message as levels outside (0, 1).
Result<double> two_sided_z(double level) {
  const double p = (level + 1.0) * 0.5;
  if (!(level > 0.0 && level < 1.0) || !(p < 1.0)) {
    return InvalidParameter{"level must be in (0, 1); got level=" + format_number(level)};
  }
  return normal_quantile(p);
}

// √(xᵀ V x), with 0 for a quadratic form that is not positive (rounding or NaN).
double standard_error(const Matrix& v, const Eigen::Ref<const Vector>& row) {
  const double q = row.dot(v * row);
  return q > 0.0 ? std::sqrt(q) : 0.0;
}

Vector apply_inverse_link(family::LinkKind kind, const Vector& eta) {
  Vector mu(eta.size());
  for (Eigen::Index i = 0; i < eta.size(); ++i) mu[i] = family::inverse_link(kind, eta[i]);
  return mu;
}

}  // namespace

std::vector<ColumnRange> term_col_ranges(const FittedGam& model) {
  if (const auto* additive = std::get_if<design::AdditivePredictor>(&model.predictor.variant)) {
    std::vector<ColumnRange> out;
    out.reserve(additive->term_col_ranges.size());
    for (const auto& range : additive->term_col_ranges) out.emplace_back(range[0], range[1]);
    return out;
  }
  return {ColumnRange{1, static_cast<std::size_t>(model.beta.size())}};
}

Result<Matrix> evaluate_lpmatrix(const FittedGam& model, const Matrix& x_new) {
  ZELKI_TRY(Matrix x, model.predictor.evaluate(x_new));
  // A model read from a file is not trusted to be consistent: refuse products that cannot be
  // formed rather than compute with mismatched shapes.
  const Eigen::Index p = model.beta.size();
  if (x.cols() != p || model.vcov.rows() != p || model.vcov.cols() != p) {
    return InvalidParameter{"inconsistent model: the predictor builds " + std::to_string(x.cols()) +
                            " columns, beta has " + std::to_string(p) + " entries and vcov is " +
                            std::to_string(model.vcov.rows()) + "×" +
                            std::to_string(model.vcov.cols())};
  }
  return x;
}

Result<Vector> predict(const FittedGam& model, const Matrix& x_new) {
  ZELKI_TRY(const Matrix x, evaluate_lpmatrix(model, x_new));
  return Vector(x * model.beta);
}

Result<Vector> predict_response(const FittedGam& model, const Matrix& x_new) {
  ZELKI_TRY(const Vector eta, predict(model, x_new));
  return apply_inverse_link(model.link_kind, eta);
}

Result<Interval> predict_ci(const FittedGam& model, const Matrix& x_new, double level,
                            PredictionScale scale) {
  ZELKI_TRY(const double z, two_sided_z(level));
  ZELKI_TRY(const Matrix x, evaluate_lpmatrix(model, x_new));
  Vector eta = x * model.beta;
  Vector lo(eta.size()), hi(eta.size());
  for (Eigen::Index i = 0; i < x.rows(); ++i) {
    const double se = standard_error(model.vcov, x.row(i).transpose());
    lo[i] = eta[i] - se * z;
    hi[i] = se * z + eta[i];
  }
  if (scale == PredictionScale::kLink)
    return Interval{std::move(eta), std::move(lo), std::move(hi)};
  // The inverse links are increasing, so the mapped interval still brackets the mean.
  return Interval{apply_inverse_link(model.link_kind, eta), apply_inverse_link(model.link_kind, lo),
                  apply_inverse_link(model.link_kind, hi)};
}

Result<Interval> predict_diff(const FittedGam& model, const Matrix& x_a, const Matrix& x_b,
                              double level) {
  ZELKI_TRY(const double z, two_sided_z(level));
  ZELKI_TRY(const Matrix a, evaluate_lpmatrix(model, x_a));
  ZELKI_TRY(const Matrix b, evaluate_lpmatrix(model, x_b));
  if (a.cols() != b.cols()) {
    return InvalidParameter{"predict_diff: design width mismatch (a=" + std::to_string(a.cols()) +
                            ", b=" + std::to_string(b.cols()) + ")"};
  }
  const Eigen::Index ra = a.rows();
  const Eigen::Index rb = b.rows();
  Eigen::Index pairs = ra;
  if (ra != rb) {
    if (ra == 1) {
      pairs = rb;
    } else if (rb != 1) {
      return InvalidParameter{
          "predict_diff: row counts must match or one must be 1 (broadcast); got a=" +
          std::to_string(ra) + ", b=" + std::to_string(rb)};
    }
  }
  Interval out{Vector(pairs), Vector(pairs), Vector(pairs)};
  for (Eigen::Index i = 0; i < pairs; ++i) {
    // Differencing the model-matrix rows first makes the intercept cancel exactly.
    const Vector d = (a.row(ra == 1 ? 0 : i) - b.row(rb == 1 ? 0 : i)).transpose();
    const double diff = d.dot(model.beta);
    const double half = standard_error(model.vcov, d) * z;
    out.mean[i] = diff;
    out.lo[i] = diff - half;
    out.hi[i] = half + diff;
  }
  return out;
}

double normal_quantile(double p) {
  ZELKI_ASSERT(p > 0.0 && p < 1.0, "normal_quantile: p must be in (0,1), got " + format_number(p));
  constexpr std::array<double, 6> kA = {-39.69683028665376, 220.9460984245205,  -275.9285104469687,
                                        138.357751867269,   -30.66479806614716, 2.506628277459239};
  constexpr std::array<double, 6> kB = {-54.47609879822406, 161.5858368580409,  -155.6989798598866,
                                        66.80131188771972,  -13.28068155288572, 1.0};
  constexpr std::array<double, 6> kC = {-0.007784894002430293, -0.3223964580411365,
                                        -2.400758277161838,    -2.549732539343734,
                                        4.374664141464968,     2.938163982698783};
  constexpr std::array<double, 5> kD = {0.007784695709041462, 0.3224671290700398, 2.445134137142996,
                                        3.754408661907416, 1.0};
  // Rational approximations on the central region and the two tails.
  constexpr double kLowTail = 0.02425;
  if (p < kLowTail) {
    const double q = std::sqrt(-2.0 * std::log(p));
    return horner(kC, q) / horner(kD, q);
  }
  constexpr double kHighTail = 0.97575;
  if (p <= kHighTail) {
    const double q = p - 0.5;
    const double r = q * q;
    return horner(kA, r) * q / horner(kB, r);
  }
  const double q = std::sqrt(-2.0 * std::log(1.0 - p));
  return -horner(kC, q) / horner(kD, q);
}

}  // namespace zelki::fit
