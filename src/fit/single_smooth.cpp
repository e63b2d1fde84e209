#include "fit/single_smooth.hpp"

#include "fit/data_checks.hpp"
#include "fit/design_choice.hpp"
#include "fit/exponential_fit.hpp"
#include "fit/shape_aware_fit.hpp"

namespace zelki::fit {

Result<FittedGam> fit_single_smooth(const SingleSmoothRequest& request, const Matrix& x,
                                    const Vector& y, const std::optional<Vector>& weights) {
  // The designs read column 0; knots and levels placed from non-finite values are meaningless.
  if (x.cols() > 0) ZELKI_CHECK(check_finite(x.col(0), "x[:, 0]"));
  ZELKI_TRY(design::Design design, build_single_smooth_design(request.design, x, request.k));
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
