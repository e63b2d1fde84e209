// The single-smooth design named by a fit request, built from column 0 of x.
#pragma once

#include <cstddef>
#include <string>

#include "common/eigen.hpp"
#include "common/result.hpp"
#include "design/design.hpp"
#include "fit/single_smooth.hpp"

namespace zelki::fit {

// "cr", "re" or "cr_stable"; anything else fails with InvalidParameter
// "design must be 'cr', 're', or 'cr_stable'; got {name}".
Result<DesignKind> parse_design_name(const std::string& name);

// cr_design(x, k), re_design(x) or cr_stable_design(x, k); the builder's error on failure.
Result<design::Design> build_single_smooth_design(DesignKind kind, const Matrix& x, std::size_t k);

}  // namespace zelki::fit
