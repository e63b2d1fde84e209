// The joint criterion of the shape-aware families: its gradient against finite differences of
// its value, the plain and Hessian evaluations against each other, and the gating of the
// frozen-coefficient gradient.
#include "score/shape_aware.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <numbers>
#include <random>
#include <string>

#include "common/assert.hpp"
#include "design/cr.hpp"
#include "score/shape_aware_families.hpp"

namespace zelki::score {
namespace {

enum class Kind { kNegbin, kTdist, kTweedie };

// A smooth curve on [0, 1] with a few hundred responses of the family, the cr design of k = 8
// and the family borrowing them.
struct Problem {
  Matrix x;
  design::Design design;
  Vector y;
  std::unique_ptr<ShapeFamily> family;
  JointContext context;
  Vector theta;  // an evaluation point away from the optimum
};

std::unique_ptr<Problem> make_problem(Kind kind) {
  constexpr Eigen::Index kRows = 300;
  auto problem = std::make_unique<Problem>();
  std::mt19937 gen(11);
  std::uniform_real_distribution<double> unif(0.0, 1.0);
  problem->x.resize(kRows, 1);
  problem->y.resize(kRows);
  for (Eigen::Index i = 0; i < kRows; ++i) {
    const double t = unif(gen);
    problem->x(i, 0) = t;
    const double f = std::sin(2.0 * std::numbers::pi * t);
    if (kind == Kind::kNegbin) {
      // Gamma–Poisson mixture: NB with mean μ and θ = 3.
      const double mu = std::exp(1.0 + f);
      std::gamma_distribution<double> gamma(3.0, mu / 3.0);
      std::poisson_distribution<int> poisson(gamma(gen));
      problem->y[i] = poisson(gen);
    } else if (kind == Kind::kTdist) {
      std::student_t_distribution<double> t_dist(4.0);
      problem->y[i] = 2.0 * f + 0.5 * t_dist(gen);
    } else {
      // Compound Poisson–gamma with p = 1.4, φ = 0.8.
      const double mu = std::exp(0.5 + f);
      const double p = 1.4, phi = 0.8;
      std::poisson_distribution<int> count(std::pow(mu, 2.0 - p) / (phi * (2.0 - p)));
      const int n = count(gen);
      double total = 0.0;
      if (n > 0) {
        std::gamma_distribution<double> sum(n * (2.0 - p) / (p - 1.0),
                                            phi * (p - 1.0) * std::pow(mu, p - 1.0));
        total = sum(gen);
      }
      problem->y[i] = total;
    }
  }
  problem->design = std::move(design::cr_design(problem->x, 8)).value();
  ShapeData data;
  data.x = &problem->design.x;
  data.penalties = problem->design.penalties;
  data.y = &problem->y;
  switch (kind) {
    case Kind::kNegbin:
      problem->family = std::make_unique<NegbinShapeFamily>(data);
      problem->theta = Vector{{1.0, std::log(1.5)}};
      break;
    case Kind::kTdist:
      problem->family = std::make_unique<TdistShapeFamily>(data);
      problem->theta = Vector{{0.5, std::log(0.5), std::log(4.0)}};
      break;
    case Kind::kTweedie:
      problem->family = std::make_unique<TweedieShapeFamily>(data);
      problem->theta = Vector{{0.5, std::log(1.2), 0.3}};
      break;
  }
  problem->context.family = problem->family.get();
  problem->context.x = &problem->design.x;
  problem->context.penalty = &problem->design.penalties[0];
  problem->context.penalty_rank = problem->design.penalty_ranks[0];
  problem->context.penalty_log_det = problem->design.penalty_log_dets[0];
  problem->context.null_space_dim = problem->design.null_space_dim;
  return problem;
}

struct GradientCase {
  const char* name;
  Kind kind;
  // Allowed |analytic − difference| relative to max(1, |g|), per coordinate. The ρ component is
  // the envelope derivative: it holds the working weights at the inner solution, exact where they
  // do not depend on β (the scaled t's constant 1/σ²) and otherwise off by ½ tr(H⁻¹ dH/dρ) through
  // the weights, a few percent of the gradient scale. Shape components by refits are differences
  // of the same V and agree to the difference error; the Tweedie p component holds μ̂ fixed.
  double rho_tol;
  double shape_tol;
};

class JointGradientTest : public ::testing::TestWithParam<GradientCase> {};

TEST_P(JointGradientTest, GradientMatchesDifferencesOfValueAndBothFormsAgree) {
  const auto& c = GetParam();
  const auto problem = make_problem(c.kind);
  const JointContext& context = problem->context;
  const Vector& theta = problem->theta;
  const auto plain = joint_eval(context, theta);
  const auto full = joint_eval_with_hessian(context, theta);
  ASSERT_TRUE(plain.has_value() && full.has_value());
  EXPECT_EQ(plain->value, full->value);
  ASSERT_EQ(full->hessian.rows(), theta.size());
  EXPECT_EQ(full->hessian, full->hessian.transpose());

  // Differences of V with fully converged refits (step 1e-4: truncation ~1e-8·V‴, PIRLS
  // tolerance 1e-9 relative on D gives ~1e-9·D/1e-4 noise).
  constexpr double kStep = 1e-4;
  for (Eigen::Index j = 0; j < theta.size(); ++j) {
    Vector plus = theta, minus = theta;
    plus[j] += kStep;
    minus[j] -= kStep;
    const double fd =
        (joint_eval(context, plus)->value - joint_eval(context, minus)->value) / (2.0 * kStep);
    const double tol = (j == 0 ? c.rho_tol : c.shape_tol) * std::max(1.0, std::abs(fd));
    EXPECT_NEAR(full->gradient[j], fd, tol) << c.name << " coordinate " << j;
    EXPECT_NEAR(plain->gradient[j], fd, tol) << c.name << " coordinate " << j;
  }
}

INSTANTIATE_TEST_SUITE_P(Families, JointGradientTest,
                         ::testing::Values(GradientCase{"negbin", Kind::kNegbin, 0.05, 1e-4},
                                           GradientCase{"tdist", Kind::kTdist, 0.05, 1e-4},
                                           GradientCase{"tweedie", Kind::kTweedie, 0.05, 0.02}),
                         [](const auto& test_info) { return std::string(test_info.param.name); });

TEST(JointCriterion, FrozenGradientIsGatedByAnalyticShapeGradient) {
  const auto negbin = make_problem(Kind::kNegbin);
  ASSERT_FALSE(negbin->family->has_analytic_shape_grad());
  const auto fit = negbin->family->fit(negbin->theta, nullptr);
  ASSERT_TRUE(fit.has_value());
  const FrozenFit frozen = freeze(negbin->context, *fit, negbin->theta);
  try {
    static_cast<void>(eval_grad_frozen_beta(negbin->context, negbin->theta, frozen));
    FAIL() << "expected an internal fault";
  } catch (const InternalFault& fault) {
    EXPECT_NE(std::string(fault.what()).find(kNoAnalyticShapeGradient), std::string::npos);
  }

  // For Tweedie the frozen gradient at the central point is the evaluation's own gradient.
  const auto tweedie = make_problem(Kind::kTweedie);
  const auto tw_fit = tweedie->family->fit(tweedie->theta, nullptr);
  ASSERT_TRUE(tw_fit.has_value());
  const Vector frozen_gradient = eval_grad_frozen_beta(
      tweedie->context, tweedie->theta, freeze(tweedie->context, *tw_fit, tweedie->theta));
  const auto full = joint_eval_with_hessian(tweedie->context, tweedie->theta);
  ASSERT_TRUE(full.has_value());
  EXPECT_LT((frozen_gradient - full->gradient).cwiseAbs().maxCoeff(), 1e-12 * (1.0 + full->value));
}

TEST(JointCriterion, RhoGradientTendsToMinusHalfRankWithoutPenalty) {
  const auto problem = make_problem(Kind::kTdist);
  Vector theta = problem->theta;
  theta[0] = -30.0;  // λ ≈ 1e-13: both λ-terms of g_ρ vanish
  const auto e = joint_eval(problem->context, theta);
  ASSERT_TRUE(e.has_value());
  EXPECT_NEAR(e->gradient[0], -0.5 * static_cast<double>(problem->context.penalty_rank), 1e-9);
}

}  // namespace
}  // namespace zelki::score
