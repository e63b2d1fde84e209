// The joint criterion of the families whose shape parameters are estimated together with the
// log smoothing parameter: V(θ) over θ = (ρ, transformed shape parameters), its gradient (the
// envelope formula in ρ, analytic or refit differences in the shape coordinates) and its
// Hessian. One routine serves every such family; a family plugs in through ShapeFamily.
#pragma once

#include <cstddef>
#include <string_view>

#include "common/eigen.hpp"
#include "common/result.hpp"
#include "inner/inner_fit.hpp"

namespace zelki::score {

// Quantities of a central fit that the frozen-coefficient gradient holds fixed: β̂, μ̂ and H do
// not move, only the shape values and λ of the trial θ.
struct FrozenFit {
  double beta_s_beta = 0.0;    // β̂ᵀSβ̂
  double trace_h_inv_s = 0.0;  // tr(H⁻¹S)
  double residual_df = 0.0;    // n − M_p
  Vector mu;                   // μ̂
  Vector leverages;            // x_iᵀH⁻¹x_i
};

struct JointContext;

// What the joint criterion needs from a family with shape parameters. Implementations borrow
// their data (model matrix, penalty, y, weights) for the lifetime of the fit.
class ShapeFamily {
 public:
  virtual ~ShapeFamily() = default;

  // Number of shape coordinates, the entries of θ after ρ.
  virtual std::size_t shape_count() const = 0;

  // The inner fit at ρ = θ₀ with the shape values of θ fixed. An iterative fit may start from
  // start_eta (nullptr: its own start); its optimum does not depend on the start.
  virtual Result<inner::InnerFit> fit(const Vector& theta, const Vector* start_eta) const = 0;

  // The dispersion φ of the criterion at θ: 1 unless the family carries one.
  virtual double scale(const Vector& theta) const { return static_cast<void>(theta), 1.0; }

  // The saturated log-likelihood l₀ at the shape values of θ (independent of the fit).
  virtual double saturated(const Vector& theta) const = 0;

  // Whether frozen_shape_gradient is available. Families without it get their shape gradient
  // by refit differences.
  virtual bool has_analytic_shape_grad() const { return false; }

  // Of the shape coordinates, those whose analytic component the plain evaluation (without
  // Hessian) uses; the others it takes by refits. Only consulted when has_analytic_shape_grad.
  virtual bool analytic_in_plain_eval(std::size_t shape_index) const {
    return static_cast<void>(shape_index), false;
  }

  // ∂V/∂θ_shape with the fit quantities frozen. Only for has_analytic_shape_grad families.
  virtual Vector frozen_shape_gradient(const JointContext& context, const FrozenFit& frozen,
                                       const Vector& theta) const;
};

// The evaluation context: the family and the single penalty's data. Everything is borrowed.
struct JointContext {
  const ShapeFamily* family = nullptr;
  const Matrix* x = nullptr;        // model matrix (for the leverages of the frozen fit)
  const Matrix* penalty = nullptr;  // S
  std::size_t penalty_rank = 0;     // r₀
  double penalty_log_det = 0.0;     // ℓ₀, log pseudo-determinant of S
  std::size_t null_space_dim = 0;   // M_p
};

struct JointEval {
  double value = 0.0;
  Vector gradient;
  Matrix hessian;  // empty from joint_eval
  Vector eta;      // linear predictor of the central fit, to warm-start the next evaluation
};

// Value and gradient at θ. start_eta warm-starts the central fit.
Result<JointEval> joint_eval(const JointContext& context, const Vector& theta,
                             const Vector* start_eta = nullptr);

// Value, gradient and the symmetrised Hessian at θ: what the outer Newton iteration calls.
Result<JointEval> joint_eval_with_hessian(const JointContext& context, const Vector& theta,
                                          const Vector* start_eta = nullptr);

// The frozen quantities of a fit made at θ.
FrozenFit freeze(const JointContext& context, const inner::InnerFit& fit, const Vector& theta);

// (g_ρ, shape gradient) at θ from the frozen quantities, without a refit. Calling it for a family
// without an analytic shape gradient is an internal fault.
Vector eval_grad_frozen_beta(const JointContext& context, const Vector& theta,
                             const FrozenFit& frozen);

inline constexpr std::string_view kNoAnalyticShapeGradient =
    "eval_grad_frozen_beta called for a family without analytic_shape_score_gradient — gate this "
    "with has_analytic_shape_grad in the caller.";

}  // namespace zelki::score
