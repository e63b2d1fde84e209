#include "score/shape_aware.hpp"

#include <algorithm>
#include <cmath>
#include <string>

#include "linalg/cholesky_inverse.hpp"

namespace zelki::score {

namespace {

constexpr double kLog2Pi = 1.8378770664093453;  // ln 2π
// Central-difference steps: refits of the shape gradient, gradient differences of the Hessian
// columns made with refits, and frozen-gradient differences (no refit noise, so a smaller step).
constexpr double kShapeStep = 1e-5;
constexpr double kHessianStep = 1e-4;
constexpr double kFrozenStep = 1e-5;
// Rows per block of the leverage computation, so that no n×p product is held at once.
constexpr Eigen::Index kLeverageBlockRows = 4096;

// The pieces of V(θ) and g_ρ that come from one fit.
struct CentralTerms {
  double value = 0.0;
  double grad_rho = 0.0;
  double beta_s_beta = 0.0;
  double trace_h_inv_s = 0.0;
  Matrix h_inv;
};

// V(θ) = Σ ln L_ii + (D + λβ̂ᵀSβ̂)/(2φ) − (M_p/2) ln(2πφ) − ½(r₀ρ + ℓ₀) − l₀, λ = exp(ρ), where
// Σ ln L_ii = ½ ln|H| from the Cholesky factor of the fit.
double criterion_value(const JointContext& context, const inner::InnerFit& fit, const Vector& theta,
                       double beta_s_beta) {
  const double rho = theta[0];
  const double lambda = std::exp(rho);
  const double phi = context.family->scale(theta);
  const double half_log_det_h = fit.chol_h.diagonal().array().log().sum();
  const double mp = static_cast<double>(context.null_space_dim);
  const double half_log_det_s =
      0.5 * (static_cast<double>(context.penalty_rank) * rho + context.penalty_log_det);
  return half_log_det_h + (fit.deviance + lambda * beta_s_beta) / (2.0 * phi) -
         0.5 * mp * (kLog2Pi + std::log(phi)) - half_log_det_s - context.family->saturated(theta);
}

double beta_s_beta(const JointContext& context, const Vector& beta) {
  return beta.dot(*context.penalty * beta);
}

// g_ρ = ½λ tr(H⁻¹S) + λβ̂ᵀSβ̂/(2φ) − ½r₀: the envelope derivative, β̂ and the working weights
// held at the inner solution.
double rho_gradient(const JointContext& context, const Vector& theta, double q, double t) {
  const double lambda = std::exp(theta[0]);
  const double phi = context.family->scale(theta);
  return 0.5 * lambda * t + lambda * q / (2.0 * phi) -
         0.5 * static_cast<double>(context.penalty_rank);
}

CentralTerms central_terms(const JointContext& context, const inner::InnerFit& fit,
                           const Vector& theta) {
  CentralTerms c;
  c.beta_s_beta = beta_s_beta(context, fit.beta);
  c.value = criterion_value(context, fit, theta, c.beta_s_beta);
  c.h_inv = linalg::inverse_from_cholesky(fit.chol_h);
  c.trace_h_inv_s = linalg::trace_of_product(c.h_inv, *context.penalty);
  c.grad_rho = rho_gradient(context, theta, c.beta_s_beta, c.trace_h_inv_s);
  return c;
}

FrozenFit freeze_with(const JointContext& context, const inner::InnerFit& fit,
                      const CentralTerms& c) {
  const Matrix& x = *context.x;
  const Eigen::Index n = x.rows();
  FrozenFit frozen;
  frozen.beta_s_beta = c.beta_s_beta;
  frozen.trace_h_inv_s = c.trace_h_inv_s;
  frozen.residual_df = static_cast<double>(fit.n) - static_cast<double>(context.null_space_dim);
  frozen.mu = fit.mu;
  frozen.leverages.resize(n);
  for (Eigen::Index start = 0; start < n; start += kLeverageBlockRows) {
    const Eigen::Index rows = std::min(kLeverageBlockRows, n - start);
    const auto block = x.middleRows(start, rows);
    frozen.leverages.segment(start, rows) = (block * c.h_inv).cwiseProduct(block).rowwise().sum();
  }
  return frozen;
}

// V at θ from a fresh fit started at start_eta.
Result<double> refit_value(const JointContext& context, const Vector& theta,
                           const Vector* start_eta) {
  ZELKI_TRY(const inner::InnerFit fit, context.family->fit(theta, start_eta));
  return criterion_value(context, fit, theta, beta_s_beta(context, fit.beta));
}

// ∂V/∂θ_j ≈ (V(θ + h e_j) − V(θ − h e_j))/2h by refits.
Result<double> refit_difference(const JointContext& context, const Vector& theta, Eigen::Index j,
                                const Vector* start_eta) {
  Vector plus = theta;
  Vector minus = theta;
  plus[j] += kShapeStep;
  minus[j] -= kShapeStep;
  ZELKI_TRY(const double up, refit_value(context, plus, start_eta));
  ZELKI_TRY(const double down, refit_value(context, minus, start_eta));
  return (up - down) / (2.0 * kShapeStep);
}

void check_theta(const JointContext& context, const Vector& theta) {
  ZELKI_ASSERT(context.family != nullptr && context.penalty != nullptr && context.x != nullptr,
               "joint criterion: incomplete context");
  ZELKI_ASSERT(theta.size() == 1 + static_cast<Eigen::Index>(context.family->shape_count()),
               "joint criterion: θ must hold ρ and every shape coordinate");
}

}  // namespace

Vector ShapeFamily::frozen_shape_gradient(const JointContext&, const FrozenFit&,
                                          const Vector&) const {
  internal_fault(std::string(kNoAnalyticShapeGradient), __FILE__, __LINE__);
}

FrozenFit freeze(const JointContext& context, const inner::InnerFit& fit, const Vector& theta) {
  check_theta(context, theta);
  return freeze_with(context, fit, central_terms(context, fit, theta));
}

Vector eval_grad_frozen_beta(const JointContext& context, const Vector& theta,
                             const FrozenFit& frozen) {
  check_theta(context, theta);
  ZELKI_ASSERT(context.family->has_analytic_shape_grad(), std::string(kNoAnalyticShapeGradient));
  const Vector shape = context.family->frozen_shape_gradient(context, frozen, theta);
  Vector gradient(theta.size());
  gradient[0] = rho_gradient(context, theta, frozen.beta_s_beta, frozen.trace_h_inv_s);
  gradient.tail(shape.size()) = shape;
  return gradient;
}

Result<JointEval> joint_eval(const JointContext& context, const Vector& theta,
                             const Vector* start_eta) {
  check_theta(context, theta);
  const ShapeFamily& family = *context.family;
  ZELKI_TRY(inner::InnerFit fit, family.fit(theta, start_eta));
  const CentralTerms c = central_terms(context, fit, theta);

  JointEval out;
  out.value = c.value;
  out.gradient.resize(theta.size());
  out.gradient[0] = c.grad_rho;
  Vector analytic;
  if (family.has_analytic_shape_grad()) {
    analytic = family.frozen_shape_gradient(context, freeze_with(context, fit, c), theta);
  }
  for (Eigen::Index j = 1; j < theta.size(); ++j) {
    const auto shape_index = static_cast<std::size_t>(j - 1);
    if (analytic.size() > 0 && family.analytic_in_plain_eval(shape_index)) {
      out.gradient[j] = analytic[j - 1];
    } else {
      ZELKI_TRY(out.gradient[j], refit_difference(context, theta, j, &fit.eta));
    }
  }
  out.eta = std::move(fit.eta);
  return out;
}

Result<JointEval> joint_eval_with_hessian(const JointContext& context, const Vector& theta,
                                          const Vector* start_eta) {
  check_theta(context, theta);
  const ShapeFamily& family = *context.family;
  const bool analytic = family.has_analytic_shape_grad();
  ZELKI_TRY(inner::InnerFit fit, family.fit(theta, start_eta));
  const CentralTerms c = central_terms(context, fit, theta);
  const Eigen::Index m = theta.size();
  // Every perturbed fit differs from the central one by O(step): starting there, it converges
  // in the fewest iterations.
  const Vector* warm = &fit.eta;

  JointEval out;
  out.value = c.value;
  out.gradient.resize(m);
  FrozenFit frozen;
  if (analytic) {
    frozen = freeze_with(context, fit, c);
    out.gradient = eval_grad_frozen_beta(context, theta, frozen);
  } else {
    out.gradient[0] = c.grad_rho;
    for (Eigen::Index j = 1; j < m; ++j) {
      ZELKI_TRY(out.gradient[j], refit_difference(context, theta, j, warm));
    }
  }

  // Column j: central differences of the gradient along e_j. The ρ column, and every column of
  // a family without an analytic shape gradient, refit; the shape columns of an analytic family
  // move only the shape values, with the central fit frozen.
  Matrix hessian(m, m);
  for (Eigen::Index j = 0; j < m; ++j) {
    const bool frozen_column = analytic && j > 0;
    const double step = frozen_column ? kFrozenStep : kHessianStep;
    Vector plus = theta;
    Vector minus = theta;
    plus[j] += step;
    minus[j] -= step;
    if (frozen_column) {
      hessian.col(j) = (eval_grad_frozen_beta(context, plus, frozen) -
                        eval_grad_frozen_beta(context, minus, frozen)) /
                       (2.0 * step);
    } else {
      ZELKI_TRY(const JointEval up, joint_eval(context, plus, warm));
      ZELKI_TRY(const JointEval down, joint_eval(context, minus, warm));
      hessian.col(j) = (up.gradient - down.gradient) / (2.0 * step);
    }
  }
  out.hessian = 0.5 * (hessian + hessian.transpose());
  out.eta = std::move(fit.eta);
  return out;
}

}  // namespace zelki::score
