// The negative binomial, scaled-t and Tweedie families as plug-ins of the joint criterion: each
// maps θ to its shape values, fits by PIRLS with those values fixed and supplies its saturated
// term (Tweedie also its analytic shape gradient).
#pragma once

#include <array>
#include <cstddef>
#include <span>

#include "common/eigen.hpp"
#include "family/family.hpp"
#include "score/shape_aware.hpp"

namespace zelki::score {

// The data a PIRLS-fitted shape family borrows for the whole fit: nothing is copied per
// evaluation.
struct ShapeData {
  const Matrix* x = nullptr;          // n×p model matrix
  std::span<const Matrix> penalties;  // the single penalty S
  const Vector* y = nullptr;          // response
  const Vector* weights = nullptr;    // prior weights; nullptr means all ones
  std::size_t max_iter = 50;
  double tol = 1e-9;
};

// The last few values of a function of the shape values. An evaluation with its Hessian scores
// several fits at the same shape values (those that move only ρ), and l₀ depends on the shape
// values alone, so each distinct point is summed once.
class SaturatedMemo {
 public:
  template <class Compute>
  double get(double a, double b, Compute compute) const {
    for (const Entry& e : entries_) {
      if (e.filled && e.a == a && e.b == b) return e.value;
    }
    Entry& slot = entries_[next_];
    next_ = (next_ + 1) % entries_.size();
    slot = Entry{a, b, compute(), true};
    return slot.value;
  }

 private:
  struct Entry {
    double a = 0.0;
    double b = 0.0;
    double value = 0.0;
    bool filled = false;
  };
  // Central point, and the two shape-perturbed points of each shape coordinate.
  mutable std::array<Entry, 8> entries_{};
  mutable std::size_t next_ = 0;
};

// θ = (ρ, ln θ_nb).
class NegbinShapeFamily final : public ShapeFamily {
 public:
  explicit NegbinShapeFamily(ShapeData data) : data_(data) {}
  std::size_t shape_count() const override { return 1; }
  Result<inner::InnerFit> fit(const Vector& theta, const Vector* start_eta) const override;
  double saturated(const Vector& theta) const override;
  static family::NegbinLog family_at(const Vector& theta);

 private:
  ShapeData data_;
  SaturatedMemo memo_;
};

// θ = (ρ, ln σ², ln(ν − 2)).
class TdistShapeFamily final : public ShapeFamily {
 public:
  explicit TdistShapeFamily(ShapeData data) : data_(data) {}
  std::size_t shape_count() const override { return 2; }
  Result<inner::InnerFit> fit(const Vector& theta, const Vector* start_eta) const override;
  double saturated(const Vector& theta) const override;
  static family::TdistIdentity family_at(const Vector& theta);

 private:
  ShapeData data_;
};

// θ = (ρ, ln φ, logit(p − 1)), with the bounds of the Tweedie transform. φ is the dispersion of
// the criterion; both shape gradients are analytic, the ln φ one also in the plain evaluation.
class TweedieShapeFamily final : public ShapeFamily {
 public:
  explicit TweedieShapeFamily(ShapeData data) : data_(data) {}
  std::size_t shape_count() const override { return 2; }
  Result<inner::InnerFit> fit(const Vector& theta, const Vector* start_eta) const override;
  double scale(const Vector& theta) const override;
  double saturated(const Vector& theta) const override;
  bool has_analytic_shape_grad() const override { return true; }
  bool analytic_in_plain_eval(std::size_t shape_index) const override { return shape_index == 0; }
  Vector frozen_shape_gradient(const JointContext& context, const FrozenFit& frozen,
                               const Vector& theta) const override;
  static family::TweedieLog family_at(const Vector& theta);

 private:
  ShapeData data_;
  SaturatedMemo memo_;
};

}  // namespace zelki::score
