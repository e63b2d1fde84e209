// Centring matrix: an orthonormal basis of the null space of one constraint.
#include "design/transform.hpp"

#include <gtest/gtest.h>

#include <limits>

namespace zelki::design {
namespace {

constexpr double kEps = std::numeric_limits<double>::epsilon();

struct CentringCase {
  const char* name;
  Vector c;
};

class DesignCentringTest : public ::testing::TestWithParam<CentringCase> {};

TEST_P(DesignCentringTest, ColumnsAreOrthonormalAndOrthogonalToConstraint) {
  const Vector& c = GetParam().c;
  const Eigen::Index k = c.size();
  const Matrix z = centring_matrix(c);
  ASSERT_EQ(z.rows(), k);
  ASSERT_EQ(z.cols(), k - 1);
  // One reflection applied to unit vectors: each entry carries a few rounding errors of order ε.
  const double tol = 10.0 * static_cast<double>(k) * kEps;
  EXPECT_LE((c.transpose() * z).cwiseAbs().maxCoeff(), tol * c.stableNorm());
  EXPECT_LE((z.transpose() * z - Matrix::Identity(k - 1, k - 1)).cwiseAbs().maxCoeff(), tol);
}

INSTANTIATE_TEST_SUITE_P(
    Constraints, DesignCentringTest,
    ::testing::Values(CentringCase{"positive_lead", (Vector(4) << 3.0, 1.0, 2.0, 5.0).finished()},
                      CentringCase{"negative_lead", (Vector(3) << -2.0, 1.0, 0.5).finished()},
                      CentringCase{"zero_lead", (Vector(4) << 0.0, 1.0, -1.0, 2.0).finished()},
                      CentringCase{"two_entries", (Vector(2) << 1.0, 1.0).finished()},
                      CentringCase{"huge_scale", (Vector(3) << 1e200, -3e199, 2e200).finished()}),
    [](const auto& case_info) { return std::string(case_info.param.name); });

TEST(DesignCentringTest, NegligibleConstraintDropsLastCoefficient) {
  // Below 2⁻⁵² in norm there is no direction to remove (a basis evaluated on no rows).
  for (const double scale : {0.0, 1e-17}) {
    const Vector c = Vector::Constant(4, scale);
    EXPECT_EQ(centring_matrix(c), Matrix::Identity(4, 3)) << "scale " << scale;
  }
}

}  // namespace
}  // namespace zelki::design
