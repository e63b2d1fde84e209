// Dense containers of the core. Include this header instead of Eigen directly, so that Eigen's
// own checks, in builds that keep assertions, report internal faults through the same path as
// ZELKI_ASSERT. Release builds drop them: they would check every coefficient access in the
// hot loops.
#pragma once

#include "common/assert.hpp"

#if !defined(eigen_assert) && !defined(NDEBUG)
#define eigen_assert(x) ZELKI_ASSERT((x), "Eigen check failed: " #x)
#endif

#include <Eigen/Dense>

namespace zelki {

using Matrix = Eigen::MatrixXd;
using Vector = Eigen::VectorXd;

}  // namespace zelki
