// Dense containers of the core. Include this header instead of Eigen directly, so that Eigen's
// own checks report internal faults through the same path as ZELKI_ASSERT.
#pragma once

#include "common/assert.hpp"

#ifndef eigen_assert
#define eigen_assert(x) ZELKI_ASSERT((x), "Eigen check failed: " #x)
#endif

#include <Eigen/Dense>

namespace zelki {

using Matrix = Eigen::MatrixXd;
using Vector = Eigen::VectorXd;

}  // namespace zelki
