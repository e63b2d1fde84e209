// Dense linear algebra: products, total penalty, Cholesky with ridge, eigen-decomposition, LU.
#include "linalg/dense.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <variant>
#include <vector>

#include "support/numeric_checks.hpp"

namespace zelki::linalg {
namespace {

using zelki::testing::kEps;
using zelki::testing::relative_error;
using zelki::testing::spd_with_eigenvalues;

std::string singular_message(const ZelkiError& error) {
  const auto* singular = std::get_if<SingularSystem>(&error);
  return singular == nullptr ? "<not SingularSystem: " + display(error) + ">" : singular->message;
}

template <class T>
std::string linalg_message(const LinalgResult<T>& result) {
  const auto* error = std::get_if<LinalgError>(&result);
  return error == nullptr ? "<no error>" : message(*error);
}

TEST(LinalgErrorTest, MessagesOfEveryKind) {
  EXPECT_EQ(message(NotSquare{2, 3}), "Not square: rows(2) != cols(3)");
  EXPECT_EQ(message(LapackInvalidArgument{-4}),
            "Invalid value for LAPACK subroutine 4-th argument");
  EXPECT_EQ(message(LapackFailure{2}),
            "Computational failure in LAPACK subroutine: return_code = 2");
  EXPECT_EQ(message(InvalidShape{}), "Invalid shape");
}

// The pieces of penalised weighted least squares against their sums over rows.
TEST(ProductsTest, WeightedNormalEquationsMatchRowSums) {
  const Matrix x{{1.0, -2.0, 0.5}, {3.0, 0.0, 1.0}, {-1.0, 4.0, 2.0}, {0.5, 0.5, -3.0}};
  const Vector w{{2.0, 0.5, 1.0, 3.0}};
  const Vector z{{1.0, -1.0, 2.0, 0.25}};
  Matrix xtwx = Matrix::Zero(3, 3);
  Vector xtwz = Vector::Zero(3);
  for (Eigen::Index i = 0; i < x.rows(); ++i) {
    xtwx += w[i] * x.row(i).transpose() * x.row(i);
    xtwz += w[i] * z[i] * x.row(i).transpose();
  }
  const Matrix xtw = weighted_transpose(x, w);
  ASSERT_EQ(xtw.rows(), 3);
  ASSERT_EQ(xtw.cols(), 4);
  // Sums of four products of small numbers: a few roundings each.
  constexpr double kTol = 16 * kEps;
  EXPECT_LE(relative_error(matmul(xtw, x), xtwx), kTol);
  EXPECT_LE(relative_error(matvec(xtw, z), xtwz), kTol);
  EXPECT_NEAR(dot(z, w), 2.0 - 0.5 + 2.0 + 0.75, kTol);
}

TEST(TotalPenaltyTest, WeightsEachPenaltyByExpRho) {
  const Matrix s0{{2.0, -1.0}, {-1.0, 2.0}};
  const Matrix s1{{1.0, 0.5}, {0.5, 3.0}};
  const std::vector<Matrix> one{s0};
  EXPECT_EQ(total_penalty(one, Vector::Zero(1)), s0);
  const std::vector<Matrix> two{s0, s1};
  // exp(ln 2) is 2 up to one rounding of exp and one of ln.
  constexpr double kTol = 4 * kEps;
  EXPECT_LE(relative_error(total_penalty(two, Vector{{std::log(2.0), 0.0}}), 2.0 * s0 + s1), kTol);
}

struct RidgeCase {
  const char* name;
  Vector eigenvalues;
};

class CholeskySolveRidgedTest : public ::testing::TestWithParam<RidgeCase> {};

// x solves (A + εI) x = b with ε = 1e-12·max(1, max|A_ii|); the cases are conditioned so that
// the ridge moves x by far more than the solve's rounding, and the factor is that of A itself.
TEST_P(CholeskySolveRidgedTest, FactorsAAndSolvesTheRidgedSystem) {
  const auto& c = GetParam();
  const Matrix a = spd_with_eigenvalues(c.eigenvalues, /*seed=*/7);
  const Eigen::Index n = a.rows();
  const Vector b = Vector::LinSpaced(n, -1.0, 2.0);

  const auto solved = cholesky_solve_ridged(a, b);
  ASSERT_TRUE(solved.has_value()) << display(solved.error());
  const Matrix& l = solved->factor;

  // Backward-stable Cholesky: ‖L Lᵀ − A‖ ≤ c·n·eps·‖A‖, with a factor 10 of margin.
  const double a_norm = a.cwiseAbs().maxCoeff();
  EXPECT_LE((l * l.transpose() - a).cwiseAbs().maxCoeff(), 10.0 * n * kEps * a_norm);
  EXPECT_TRUE(l.triangularView<Eigen::StrictlyUpper>().toDenseMatrix().isZero(0.0));

  const double ridge = 1e-12 * std::max(1.0, a.diagonal().cwiseAbs().maxCoeff());
  const Matrix ridged = a + ridge * Matrix::Identity(n, n);
  const Vector expected = ridged.fullPivLu().solve(b);
  const Vector unridged = a.fullPivLu().solve(b);
  // Both solves are backward stable: forward error ≤ n·cond·eps, with a factor 10 of margin.
  const double cond = c.eigenvalues.maxCoeff() / c.eigenvalues.minCoeff();
  const double tol = 10.0 * n * cond * kEps;
  EXPECT_LE(relative_error(solved->x, expected), tol);
  EXPECT_GT(relative_error(unridged, expected), 10.0 * tol) << "case does not resolve the ridge";
}

INSTANTIATE_TEST_SUITE_P(
    Spectra, CholeskySolveRidgedTest,
    ::testing::Values(RidgeCase{"NearlySingular", Vector{{1e-9, 1.0, 2.0}}},
                      // Every |A_ii| < 1: the ridge is exactly 1e-12.
                      RidgeCase{"SmallDiagonal", Vector{{1e-10, 0.25, 0.5}}},
                      // Diagonal up to ~1e4: the ridge scales with it (a bare 1e-12 would fail).
                      RidgeCase{"LargeDiagonal", Vector{{1e-3, 1e3, 1e4, 2e4}}}),
    [](const auto& case_info) { return std::string(case_info.param.name); });

TEST(CholeskyTest, EmptyMatrixGivesEmptyFactorAndSolution) {
  const auto l = cholesky_lower(Matrix(0, 0));
  ASSERT_TRUE(l.has_value());
  EXPECT_EQ(l->size(), 0);
  const auto solved = cholesky_solve_ridged(Matrix(0, 0), Vector(0));
  ASSERT_TRUE(solved.has_value());
  EXPECT_EQ(solved->factor.size(), 0);
  EXPECT_EQ(solved->x.size(), 0);
}

struct CholeskyFailureCase {
  const char* name;
  Matrix a;
  const char* expected;
};

class CholeskyFailureTest : public ::testing::TestWithParam<CholeskyFailureCase> {};

// Both Cholesky operations fail with the same SingularSystem text; the ridged solve fails on A
// itself even when A + εI would factorise.
TEST_P(CholeskyFailureTest, ReportsSingularSystem) {
  const auto& c = GetParam();
  const auto l = cholesky_lower(c.a);
  ASSERT_FALSE(l.has_value());
  EXPECT_EQ(singular_message(l.error()), c.expected);
  const auto solved = cholesky_solve_ridged(c.a, Vector::Ones(c.a.rows()));
  ASSERT_FALSE(solved.has_value());
  EXPECT_EQ(singular_message(solved.error()), c.expected);
  EXPECT_EQ(display(solved.error()), std::string("singular system: ") + c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, CholeskyFailureTest,
    ::testing::Values(
        CholeskyFailureCase{"Indefinite", Matrix{{1.0, 2.0}, {2.0, 1.0}},
                            "Cholesky failed: Computational failure in LAPACK subroutine: "
                            "return_code = 2"},
        CholeskyFailureCase{"NegativeFirstPivot", Matrix{{-1.0, 0.0}, {0.0, 1.0}},
                            "Cholesky failed: Computational failure in LAPACK subroutine: "
                            "return_code = 1"},
        CholeskyFailureCase{"FixableByRidge",
                            Matrix{{1.0, 0.0, 0.0}, {0.0, -1e-14, 0.0}, {0.0, 0.0, 1.0}},
                            "Cholesky failed: Computational failure in LAPACK subroutine: "
                            "return_code = 2"},
        CholeskyFailureCase{"NotSquare", Matrix::Identity(2, 3),
                            "Cholesky failed: Not square: rows(2) != cols(3)"}),
    [](const auto& case_info) { return std::string(case_info.param.name); });

TEST(LogDetTest, MatchesSumOfLogEigenvalues) {
  const Vector eigenvalues{{0.01, 1.5, 40.0, 300.0}};
  const auto l = cholesky_lower(spd_with_eigenvalues(eigenvalues, /*seed=*/3));
  ASSERT_TRUE(l.has_value());
  // Backward error of Cholesky perturbs each log eigenvalue by ≲ n·cond·eps.
  EXPECT_NEAR(log_det_from_cholesky(*l), eigenvalues.array().log().sum(), 1e-9);
}

TEST(SymmetricEigenTest, DiagonalComesBackAscending) {
  const Matrix a = Vector{{3.0, 1.0, 2.0}}.asDiagonal();
  const auto eig = symmetric_eigen(a);
  ASSERT_TRUE(std::holds_alternative<Eigensystem>(eig));
  const auto& e = std::get<Eigensystem>(eig);
  EXPECT_EQ(e.values, (Vector{{1.0, 2.0, 3.0}}));
  // Columns are ±e1, ±e2, ±e0.
  EXPECT_EQ(e.vectors.cwiseAbs(), (Matrix{{0.0, 0.0, 1.0}, {1.0, 0.0, 0.0}, {0.0, 1.0, 0.0}}));
}

TEST(SymmetricEigenTest, DecomposesIndefiniteMatrix) {
  const Vector spectrum{{7.0, -2.0, 0.5, 3.0, -2.0 + 1e-3}};
  const Matrix a = spd_with_eigenvalues(spectrum, /*seed=*/5);
  const auto eig = symmetric_eigen(a);
  ASSERT_TRUE(std::holds_alternative<Eigensystem>(eig));
  const auto& e = std::get<Eigensystem>(eig);
  Vector sorted = spectrum;
  std::sort(sorted.begin(), sorted.end());
  // Backward-stable symmetric eigensolver: errors of order n·eps·‖A‖, with margin.
  const double tol = 100.0 * a.rows() * kEps * 7.0;
  EXPECT_LE(relative_error(e.values, sorted), tol);
  EXPECT_LE(relative_error(a * e.vectors, e.vectors * e.values.asDiagonal()), tol);
  EXPECT_LE(relative_error(e.vectors.transpose() * e.vectors, Matrix::Identity(5, 5)), tol);
}

TEST(LuSolveTest, SolvesSystemThatNeedsPivoting) {
  // A zero leading entry: elimination without row exchanges would divide by zero.
  const Matrix a{{0.0, 2.0, 1.0}, {1.0, 1.0, 1.0}, {3.0, 0.0, -1.0}};
  const Vector x_true{{1.0, -2.0, 0.5}};
  const auto x = lu_solve(a, a * x_true);
  ASSERT_TRUE(std::holds_alternative<Vector>(x));
  // Condition number of a is about 10; 100·eps leaves ample margin.
  EXPECT_LE(relative_error(std::get<Vector>(x), x_true), 100 * kEps);
}

TEST(LinalgFailureTest, EigenAndLuReturnTheLinalgError) {
  EXPECT_EQ(linalg_message(symmetric_eigen(Matrix::Zero(2, 3))), "Not square: rows(2) != cols(3)");
  EXPECT_EQ(linalg_message(lu_solve(Matrix::Zero(3, 2), Vector::Zero(3))),
            "Not square: rows(3) != cols(2)");
  // Second column is twice the first: U_22 is exactly zero.
  EXPECT_EQ(linalg_message(lu_solve(Matrix{{1.0, 2.0}, {2.0, 4.0}}, Vector::Ones(2))),
            "Computational failure in LAPACK subroutine: return_code = 2");
}

}  // namespace
}  // namespace zelki::linalg
