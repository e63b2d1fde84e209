// Fits of one smooth of the first covariate column plus an intercept.
#pragma once

#include <cstddef>
#include <optional>
#include <variant>

#include "common/eigen.hpp"
#include "common/result.hpp"
#include "family/family.hpp"
#include "fit/fitted_gam.hpp"

namespace zelki::fit {

enum class DesignKind { kCr, kRe, kCrStable };

// The families of the single-smooth driver (the ordered-categorical and quantile families have
// drivers of their own).
using SingleSmoothFamily =
    std::variant<family::GaussianIdentity, family::BernoulliLogit, family::PoissonLog,
                 family::QuasipoissonLog, family::QuasibinomialLogit, family::GammaLog,
                 family::InverseGaussianLog, family::NegbinLog, family::TdistIdentity,
                 family::TweedieLog>;

struct SingleSmoothRequest {
  SingleSmoothFamily family;
  DesignKind design = DesignKind::kCr;
  std::size_t k = 10;
};

Result<FittedGam> fit_single_smooth(const SingleSmoothRequest& request, const Matrix& x,
                                    const Vector& y, const std::optional<Vector>& weights);

}  // namespace zelki::fit
