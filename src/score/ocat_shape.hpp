// The ordered-categorical family as a plug-in of the joint criterion: θ = (ρ, t₁ … t_{K−2}),
// the thresholds being the log gaps between adjacent cut points; each fit is the full-Newton
// inner fit with those thresholds fixed, and the saturated term is 0.
#pragma once

#include <cstddef>
#include <span>

#include "common/eigen.hpp"
#include "family/ocat.hpp"
#include "score/shape_aware.hpp"

namespace zelki::score {

// The data the ordered-categorical fits borrow for the whole optimisation.
struct OcatData {
  const Matrix* x = nullptr;          // n×p model matrix
  std::span<const Matrix> penalties;  // the single penalty S
  const Vector* y = nullptr;          // categories 1 … K
  const Vector* weights = nullptr;    // prior weights; nullptr means all ones
  std::size_t n_cats = 3;
  std::size_t max_iter = 50;
  double tol = 1e-9;
};

class OcatShapeFamily final : public ShapeFamily {
 public:
  explicit OcatShapeFamily(OcatData data) : data_(data) {}
  std::size_t shape_count() const override { return data_.n_cats - 2; }
  Result<inner::InnerFit> fit(const Vector& theta, const Vector* start_eta) const override;
  double saturated(const Vector& theta) const override;
  // The family with the thresholds of θ.
  family::OcatIdentity family_at(const Vector& theta) const;

 private:
  OcatData data_;
};

}  // namespace zelki::score
