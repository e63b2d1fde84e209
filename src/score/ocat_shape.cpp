#include "score/ocat_shape.hpp"

#include "inner/full_newton.hpp"

namespace zelki::score {

family::OcatIdentity OcatShapeFamily::family_at(const Vector& theta) const {
  const auto thresholds = static_cast<Eigen::Index>(data_.n_cats - 2);
  return family::ocat_identity(data_.n_cats, theta.segment(1, thresholds));
}

Result<inner::InnerFit> OcatShapeFamily::fit(const Vector& theta, const Vector* start_eta) const {
  inner::FullNewtonProblem problem;
  problem.penalties = data_.penalties;
  problem.x = data_.x;
  problem.y = data_.y;
  problem.family = family_at(theta);
  problem.weights = data_.weights;
  problem.initial_eta = start_eta;
  problem.max_iter = data_.max_iter;
  problem.tol = data_.tol;
  return inner::full_newton_fit(problem, theta.head(1));
}

// The deviance −2 Σ w ln P is already the full negative log-likelihood (a saturated
// categorical model has every probability 1), so there is nothing to add.
double OcatShapeFamily::saturated(const Vector&) const { return 0.0; }

}  // namespace zelki::score
