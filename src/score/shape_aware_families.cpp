#include "score/shape_aware_families.hpp"

#include <cmath>

#include "family/negbin.hpp"
#include "family/tdist.hpp"
#include "family/tweedie.hpp"
#include "inner/pirls.hpp"

namespace zelki::score {

namespace {

template <class F>
Result<inner::InnerFit> pirls_at(const F& family, const ShapeData& data, const Vector& theta,
                                 const Vector* start_eta) {
  inner::PirlsProblem problem;
  problem.penalties = data.penalties;
  problem.x = data.x;
  problem.y = data.y;
  problem.weights = data.weights;
  problem.initial_eta = start_eta;
  problem.max_iter = data.max_iter;
  problem.tol = data.tol;
  const Vector rho = theta.head(1);
  return inner::pirls(family, problem, rho);
}

}  // namespace

family::NegbinLog NegbinShapeFamily::family_at(const Vector& theta) {
  return family::negbin_log(family::negbin_theta_from(theta[1]));
}

Result<inner::InnerFit> NegbinShapeFamily::fit(const Vector& theta, const Vector* start_eta) const {
  return pirls_at(family_at(theta), data_, theta, start_eta);
}

double NegbinShapeFamily::saturated(const Vector& theta) const {
  const double t = family::negbin_theta_from(theta[1]);
  return memo_.get(t, 0.0, [&] { return family::negbin_saturated(*data_.y, t); });
}

family::TdistIdentity TdistShapeFamily::family_at(const Vector& theta) {
  const family::TdistShape shape = family::tdist_shape_from(theta[1], theta[2]);
  return family::tdist_identity(shape.nu, shape.sigma2);
}

Result<inner::InnerFit> TdistShapeFamily::fit(const Vector& theta, const Vector* start_eta) const {
  return pirls_at(family_at(theta), data_, theta, start_eta);
}

double TdistShapeFamily::saturated(const Vector& theta) const {
  const family::TdistShape shape = family::tdist_shape_from(theta[1], theta[2]);
  return family::tdist_saturated(static_cast<std::size_t>(data_.y->size()), shape.nu, shape.sigma2);
}

family::TweedieLog TweedieShapeFamily::family_at(const Vector& theta) {
  const family::TweedieShape shape = family::tweedie_shape_from(theta[1], theta[2]);
  return family::tweedie_log(shape.p, shape.phi);
}

Result<inner::InnerFit> TweedieShapeFamily::fit(const Vector& theta,
                                                const Vector* start_eta) const {
  return pirls_at(family_at(theta), data_, theta, start_eta);
}

double TweedieShapeFamily::scale(const Vector& theta) const {
  return family::tweedie_shape_from(theta[1], theta[2]).phi;
}

double TweedieShapeFamily::saturated(const Vector& theta) const {
  const family::TweedieShape shape = family::tweedie_shape_from(theta[1], theta[2]);
  return memo_.get(shape.phi, shape.p,
                   [&] { return family::tweedie_saturated(*data_.y, shape.phi, shape.p); });
}

// With β̂ and μ̂ frozen, V depends on φ through D_p/(2φ), (M_p/2) ln φ and l₀, and on p through
// D, l₀ and ½ ln|H| (the working weights W_i = w_i μ̂_i^(2−p) of the log link):
//   ∂V/∂ln φ = Σ y^(2−p)/((1−p)(2−p)φ) − D_p/(2φ) − M_p/2 − Σ ∂ln W_i/∂ln φ,
//   ∂V/∂p    = ∂D/∂p/(2φ) − Σ ∂/∂p[y^(2−p)/((1−p)(2−p)φ)] − Σ ∂ln W_i/∂p + ½ Σ ∂W_i/∂p h_i,
// h_i = x_iᵀH⁻¹x_i and ∂W_i/∂p = −ln μ̂_i W_i; the last term is ½ tr(H⁻¹ Xᵀ ∂W/∂p X). The chain
// factors are dp/dθ₂ = (p − 1)(2 − p) and 1 for ln φ, both 0 where a bound of the transform holds.
Vector TweedieShapeFamily::frozen_shape_gradient(const JointContext& context,
                                                 const FrozenFit& frozen,
                                                 const Vector& theta) const {
  const family::TweedieShape shape = family::tweedie_shape_from(theta[1], theta[2]);
  const double p = shape.p;
  const double phi = shape.phi;
  const double lambda = std::exp(theta[0]);
  const Vector& y = *data_.y;
  const family::TweedieLog tweedie = family::tweedie_log(p, phi);
  const double deviance = tweedie.deviance(y, frozen.mu, data_.weights);
  const family::TweedieShapeDerivatives d =
      family::tweedie_shape_derivatives(y, frozen.mu, data_.weights, p, phi);
  const double penalised_deviance = deviance + lambda * frozen.beta_s_beta;
  // M_p/2, written through the residual degrees of freedom of the frozen fit.
  const double half_mp = (static_cast<double>(y.size()) - frozen.residual_df) / 2.0;
  static_cast<void>(context);

  double half_dlogdet_dp = 0.0;
  for (Eigen::Index i = 0; i < y.size(); ++i) {
    const double m = family::floor_mean(frozen.mu[i]);
    const double variance = std::pow(m, p);
    // Where the variance floor holds, W does not move with p.
    if (!(variance > family::kMeanFloor)) continue;
    const double w = (data_.weights == nullptr) ? 1.0 : (*data_.weights)[i];
    const double working_weight = w * m * m / variance;
    half_dlogdet_dp -= 0.5 * std::log(m) * working_weight * frozen.leverages[i];
  }

  Vector gradient(2);
  gradient[0] = shape.phi_at_bound
                    ? 0.0
                    : d.power_term - penalised_deviance / (2.0 * phi) - half_mp - d.dlogw_dlogphi;
  const double dp_dtheta2 = shape.p_at_bound ? 0.0 : (p - 1.0) * (2.0 - p);
  gradient[1] =
      dp_dtheta2 * (d.ddeviance_dp / (2.0 * phi) - d.dpower_term_dp - d.dlogw_dp + half_dlogdet_dp);
  return gradient;
}

}  // namespace zelki::score
