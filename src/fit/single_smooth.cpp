#include "fit/single_smooth.hpp"

#include "design/cr.hpp"
#include "design/cr_stable.hpp"
#include "design/re.hpp"
#include "fit/data_checks.hpp"
#include "fit/exponential_fit.hpp"
#include "fit/shape_aware_fit.hpp"

namespace zelki::fit {

namespace {

Result<design::Design> build_design(DesignKind kind, const Matrix& x, std::size_t k) {
  switch (kind) {
    case DesignKind::kCr:
      return design::cr_design(x, k);
    case DesignKind::kRe:
      return design::re_design(x);
    case DesignKind::kCrStable:
      return design::cr_stable_design(x, k);
  }
  ZELKI_ASSERT(false, "unknown design kind");
}

}  // namespace

Result<FittedGam> fit_single_smooth(const SingleSmoothRequest& request, const Matrix& x,
                                    const Vector& y, const std::optional<Vector>& weights) {
  // The designs read column 0; knots and levels placed from non-finite values are meaningless.
  if (x.cols() > 0) ZELKI_CHECK(check_finite(x.col(0), "x[:, 0]"));
  ZELKI_TRY(design::Design design, build_design(request.design, x, request.k));
  const auto n = static_cast<std::size_t>(x.rows());
  return std::visit(
      [&](const auto& f) -> Result<FittedGam> {
        using F = std::decay_t<decltype(f)>;
        if constexpr (std::is_same_v<F, family::NegbinLog> ||
                      std::is_same_v<F, family::TdistIdentity> ||
                      std::is_same_v<F, family::TweedieLog>) {
          return shape_aware_fit(f, std::move(design), n, y, weights);
        } else {
          return outer_fit(f, std::move(design), n, y, weights);
        }
      },
      request.family);
}

}  // namespace zelki::fit
