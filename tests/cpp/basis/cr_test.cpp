// Cubic regression spline basis: knot placement, validation, evaluation and penalty.
#include "basis/cr.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <string>
#include <variant>
#include <vector>

#include "linalg/dense.hpp"
#include "support/numeric_checks.hpp"

namespace zelki::basis {
namespace {

using zelki::testing::kEps;

Vector vec(std::initializer_list<double> values) {
  Vector v(static_cast<Eigen::Index>(values.size()));
  Eigen::Index i = 0;
  for (double x : values) v[i++] = x;
  return v;
}

CrBasis make_basis(const Vector& knots) {
  auto basis = CrBasis::from_knots(knots);
  if (!basis.has_value()) throw std::runtime_error(display(basis.error()));
  return *std::move(basis);
}

Matrix column(const Vector& values) { return values; }

// ---------------------------------------------------------------------------------------------
// Knot placement and validation.

struct PlacementCase {
  const char* name;
  Vector values;
  std::size_t k;
  Vector expected;
};

class PlaceKnotsTest : public ::testing::TestWithParam<PlacementCase> {};

TEST_P(PlaceKnotsTest, PlacesExpectedKnots) {
  const auto& c = GetParam();
  const auto basis = place_knots(c.values, c.k);
  ASSERT_TRUE(basis.has_value()) << display(basis.error());
  ASSERT_EQ(basis->k(), c.k);
  // Knots are j·step + first or an interpolation of two values: a couple of roundings.
  const double tol = 4 * kEps * std::max(1.0, c.expected.cwiseAbs().maxCoeff());
  for (Eigen::Index j = 0; j < c.expected.size(); ++j) {
    EXPECT_NEAR(basis->knots()[j], c.expected[j], tol) << "knot " << j;
  }
  // The ends are exactly the smallest and largest distinct value.
  EXPECT_EQ(basis->knots()[0], c.expected[0]);
  EXPECT_EQ(basis->knots()[c.expected.size() - 1], c.expected[c.expected.size() - 1]);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, PlaceKnotsTest,
    ::testing::Values(
        // Ties collapse: five distinct values for five knots, unsorted input.
        PlacementCase{"TiesMerged", vec({3, 1, 2, 2, 0, 4, 1, 3, 0}), 5, vec({0, 1, 2, 3, 4})},
        // 0 and 0.5e-12 are one value: two distinct values, so evenly spaced knots.
        PlacementCase{"TinyGapIsATie", vec({0, 0.5e-12, 1}), 5, vec({0, 0.25, 0.5, 0.75, 1})},
        // Closeness is measured against the last kept value (0), not the previous raw value:
        // 0.6e-12 is dropped but 1.2e-12 is kept.
        PlacementCase{"MergeAgainstLastKept", vec({1, 0, 0.6e-12, 1.2e-12}), 3,
                      vec({0, 1.2e-12, 1})},
        PlacementCase{"FewDistinctSpanTheRange", vec({5, 2, 5, 2}), 4, vec({2, 3, 4, 5})},
        PlacementCase{"EmptyColumn", Vector(0), 4, vec({0, 1.0 / 3.0, 2.0 / 3.0, 1})},
        // Distinct values 0, 1, 4, 9, 16 at positions 0, 4/3, 8/3, 4: interior knots
        // interpolate 1→4 at 1/3 and 4→9 at 2/3.
        PlacementCase{"InterpolatedQuantiles", vec({16, 0, 9, 1, 4, 9}), 4,
                      vec({0, 2, 4 + 5.0 * 2.0 / 3.0, 16})}),
    [](const auto& case_info) { return std::string(case_info.param.name); });

struct RejectCase {
  const char* name;
  Result<CrBasis> (*make)();
  const char* expected;
};

class RejectTest : public ::testing::TestWithParam<RejectCase> {};

TEST_P(RejectTest, FailsWithInvalidParameter) {
  const auto basis = GetParam().make();
  ASSERT_FALSE(basis.has_value());
  const auto* invalid = std::get_if<InvalidParameter>(&basis.error());
  ASSERT_NE(invalid, nullptr) << display(basis.error());
  EXPECT_EQ(invalid->message, GetParam().expected);
}

constexpr const char* kIncreasing = "CR spline knots must be strictly increasing";

INSTANTIATE_TEST_SUITE_P(
    Cases, RejectTest,
    ::testing::Values(RejectCase{"PlaceTwoKnots",
                                 [] { return place_knots(Vector::LinSpaced(10, 0, 1), 2); },
                                 "CR spline needs k ≥ 3 (got 2)"},
                      RejectCase{"FromNoKnots", [] { return CrBasis::from_knots(Vector(0)); },
                                 "CR spline needs k ≥ 3 (got 0)"},
                      // The count is checked before the order.
                      RejectCase{"CountBeforeOrder",
                                 [] {
                                   return CrBasis::from_knots(vec({1, 0}));
                                 },
                                 "CR spline needs k ≥ 3 (got 2)"},
                      RejectCase{"ConstantColumn",
                                 [] { return place_knots(Vector::Constant(6, 2.5), 4); },
                                 kIncreasing},
                      RejectCase{"RepeatedKnot",
                                 [] {
                                   return CrBasis::from_knots(vec({0, 1, 1, 2}));
                                 },
                                 kIncreasing},
                      RejectCase{"NaNKnot",
                                 [] {
                                   return CrBasis::from_knots(vec({0, std::nan(""), 2}));
                                 },
                                 kIncreasing}),
    [](const auto& case_info) { return std::string(case_info.param.name); });

// ---------------------------------------------------------------------------------------------
// Evaluation and penalty on a few knot vectors.

struct KnotCase {
  const char* name;
  Vector knots;
};

class CrKnotsTest : public ::testing::TestWithParam<KnotCase> {
 protected:
  CrBasis basis_ = make_basis(GetParam().knots);
  const Vector& knots() const { return basis_.knots(); }
  double span() const { return knots()[knots().size() - 1] - knots()[0]; }
};

// Constants and straight lines are reproduced inside the knot range and, through the linear
// continuation, outside it.
TEST_P(CrKnotsTest, ReproducesConstantsAndLines) {
  const Vector t =
      Vector::LinSpaced(401, knots()[0] - span(), knots()[knots().size() - 1] + span());
  const Matrix b = basis_.evaluate(column(t));
  ASSERT_EQ(b.rows(), t.size());
  ASSERT_EQ(b.cols(), knots().size());
  const double k = static_cast<double>(knots().size());
  for (Eigen::Index r = 0; r < t.size(); ++r) {
    // Sums of k terms no larger than max|B[r,·]|·max(1, max|κ|): k roundings of that size,
    // with a factor 8 for the rounding inside each cubic.
    const double size =
        b.row(r).cwiseAbs().maxCoeff() * std::max(1.0, knots().cwiseAbs().maxCoeff());
    const double tol = 8 * k * kEps * size;
    EXPECT_NEAR(b.row(r).sum(), 1.0, tol) << "t = " << t[r];
    EXPECT_NEAR(b.row(r).dot(knots()), t[r], tol) << "t = " << t[r];
  }
}

// The basis is parameterised by the values at the knots: row j at knot j is the unit vector,
// exactly except at the last knot, which is the right end of the last cubic piece.
TEST_P(CrKnotsTest, RowsAtKnotsAreUnitVectors) {
  const Eigen::Index k = knots().size();
  const Matrix b = basis_.evaluate(column(knots()));
  const Matrix identity = Matrix::Identity(k, k);
  for (Eigen::Index j = 0; j + 1 < k; ++j) EXPECT_EQ(b.row(j), identity.row(j)) << "knot " << j;
  // Four-term cubic with terms of size up to ~1: a few roundings each.
  EXPECT_LE((b.row(k - 1) - identity.row(k - 1)).cwiseAbs().maxCoeff(), 64 * kEps);
}

// S·1 = 0 and S·κ = 0, and every other direction is penalised: rank k − 2.
TEST_P(CrKnotsTest, PenaltyHasLinearNullSpaceAndRankKMinus2) {
  const auto penalties = basis_.penalties();
  ASSERT_EQ(penalties.size(), 1u);
  const Matrix& s = penalties[0];
  const Eigen::Index k = knots().size();
  ASSERT_EQ(s.rows(), k);
  ASSERT_EQ(s.cols(), k);
  const double s_max = s.cwiseAbs().maxCoeff();
  // Products of k entries of size ≤ max|S|·max(1, max|κ|), with a factor 16 of margin.
  const double null_tol = 16 * k * kEps * s_max * std::max(1.0, knots().cwiseAbs().maxCoeff());
  EXPECT_LE((s * Vector::Ones(k)).cwiseAbs().maxCoeff(), null_tol);
  EXPECT_LE((s * knots()).cwiseAbs().maxCoeff(), null_tol);
  EXPECT_LE((s - s.transpose()).cwiseAbs().maxCoeff(), 16 * k * kEps * s_max);

  const auto eig = linalg::symmetric_eigen(0.5 * (s + s.transpose()));
  ASSERT_TRUE(std::holds_alternative<linalg::Eigensystem>(eig));
  const Vector& values = std::get<linalg::Eigensystem>(eig).values;
  const double largest = values[k - 1];
  // Zero eigenvalues are perturbed by the rounding of S, of order k·eps·‖S‖.
  const double zero_tol = 16 * k * kEps * largest;
  EXPECT_LE(std::abs(values[0]), zero_tol);
  EXPECT_LE(std::abs(values[1]), zero_tol);
  // The smallest penalised direction stands far above that noise floor.
  EXPECT_GT(values[2], 1e4 * zero_tol);
}

// βᵀSβ = ∫ f''(t)² dt for f = Σ β_j b_j, with f'' taken from evaluate() alone: central second
// differences, integrated by two-point Gauss rules on a fine grid inside each knot interval.
TEST_P(CrKnotsTest, PenaltyIsIntegratedSquaredSecondDerivative) {
  const Eigen::Index k = knots().size();
  std::mt19937 gen(17);
  std::uniform_real_distribution<double> uniform(-1.0, 1.0);
  constexpr int kCells = 8;  // grid cells per knot interval
  const double gauss_offset = 0.5 / std::sqrt(3.0);
  const Matrix s = basis_.penalties()[0];
  for (int trial = 0; trial < 3; ++trial) {
    Vector beta(k);
    for (Eigen::Index j = 0; j < k; ++j) beta[j] = uniform(gen);
    auto f = [&](double t) { return (basis_.evaluate(Matrix::Constant(1, 1, t)) * beta)(0); };
    double integral = 0.0;
    for (Eigen::Index i = 0; i + 1 < k; ++i) {
      const double width = (knots()[i + 1] - knots()[i]) / kCells;
      // The step keeps every difference inside one cubic piece (Gauss points lie 0.21·width
      // from the cell edges), where second differences of a cubic are exact up to rounding.
      const double step = width / 20.0;
      for (int cell = 0; cell < kCells; ++cell) {
        const double mid = knots()[i] + (cell + 0.5) * width;
        for (double g : {mid - gauss_offset * width, mid + gauss_offset * width}) {
          const double second = (f(g + step) - 2.0 * f(g) + f(g - step)) / (step * step);
          integral += 0.5 * width * second * second;
        }
      }
    }
    // f'' is linear on each piece, so the Gauss rule is exact; the error is the rounding of the
    // differences, ~4·eps·|f|/step² relative to f'' ~ 1/h², far below 1e-7.
    EXPECT_NEAR(beta.dot(s * beta), integral, 1e-7 * integral) << "trial " << trial;
  }
}

INSTANTIATE_TEST_SUITE_P(KnotVectors, CrKnotsTest,
                         ::testing::Values(KnotCase{"ThreeKnots", vec({0, 1, 2})},
                                           KnotCase{"Uneven", vec({-1, 0.3, 0.5, 2, 3.7, 6})},
                                           KnotCase{"EvenTen", Vector::LinSpaced(10, 0, 1)},
                                           // Far from the origin: differences of large knot values.
                                           KnotCase{"Offset",
                                                    vec({1000, 1000.5, 1002, 1002.2, 1005})}),
                         [](const auto& case_info) { return std::string(case_info.param.name); });

// Knots 0, 1, 2: the natural spline through (0, y0), (1, y1), (2, y2) has f''(1) = M with
// (2/3)·M = y0 − 2y1 + y2 and f''(0) = f''(2) = 0, so on [0, 1]
// f(t) = y0(1 − t) + y1·t + (M/6)(t³ − t), and ∫ f''² = 2·M²/3 = 1.5·(y0 − 2y1 + y2)².
TEST(CrClosedFormTest, ThreeKnotsMatchHandDerivedSpline) {
  const CrBasis basis = make_basis(vec({0, 1, 2}));
  const Matrix b = basis.evaluate(column(vec({0.5, -1.0, 3.0})));
  // Hand values: at 0.5, (y0, y1, y2) = e0 gives M = 1.5, f = 0.5 − 0.09375; e1 gives M = −3,
  // f = 0.5 + 0.1875; e2 gives −0.09375. Slopes at the ends: e1 has f'(0) = 1.5 = −f'(2).
  const Matrix expected{{0.40625, 0.6875, -0.09375}, {2.25, -1.5, 0.25}, {0.25, -1.5, 2.25}};
  // Exact binary fractions computed in a handful of operations.
  EXPECT_LE((b - expected).cwiseAbs().maxCoeff(), 16 * kEps);
  const Vector second_difference = vec({1, -2, 1});
  const Matrix s_expected = 1.5 * second_difference * second_difference.transpose();
  EXPECT_LE((basis.penalties()[0] - s_expected).cwiseAbs().maxCoeff(), 16 * kEps * 6.0);
}

TEST(CrEvaluateTest, ReadsColumnZeroAndGivesNaNRowForNaN) {
  const CrBasis basis = make_basis(vec({0, 1, 2, 3}));
  const Matrix x{{std::nan(""), 0.0}, {1.0, std::nan("")}};
  const Matrix b = basis.evaluate(x);
  EXPECT_TRUE(b.row(0).array().isNaN().all());
  EXPECT_EQ(b.row(1), Matrix::Identity(4, 4).row(1));
}

}  // namespace
}  // namespace zelki::basis
