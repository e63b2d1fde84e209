// The ELF loss: derivatives against finite differences, the location and value of its minimum,
// the normalising constant against numerical integration of the density, and the parameter
// checks.
#include "family/elf.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <variant>

namespace zelki::family {
namespace {

struct ElfCase {
  const char* name;
  double tau, sigma, lambda, y, eta;
};

class ElfDerivativeTest : public ::testing::TestWithParam<ElfCase> {};

TEST_P(ElfDerivativeTest, MatchFiniteDifferencesOfTheUnitDeviance) {
  const auto& c = GetParam();
  const ElfIdentity f = elf_identity(c.tau, c.sigma, c.lambda);
  const auto d = [&](double eta) { return elf_deviance_unit(f, c.y, eta); };
  // Central differences with a step proportional to the loss's own length scale λ: truncation
  // error O(step²·d‴) and rounding O(eps·|d|/step) stay below 1e-6 relative to the slopes 1/σ.
  const double step = 1e-4 * c.lambda;
  const double first = (d(c.eta + step) - d(c.eta - step)) / (2.0 * step);
  const double second = (d(c.eta + step) - 2.0 * d(c.eta) + d(c.eta - step)) / (step * step);
  const ElfDerivatives got = elf_derivatives(f, c.y, c.eta);
  const double slope_scale = 1.0 / c.sigma;
  EXPECT_NEAR(got.g, -0.5 * first, 1e-6 * slope_scale);
  EXPECT_NEAR(got.h, 0.5 * second, 1e-4 * slope_scale / c.lambda);
}

INSTANTIATE_TEST_SUITE_P(Cases, ElfDerivativeTest,
                         ::testing::Values(ElfCase{"median_at_zero", 0.5, 1.0, 1.0, 0.0, 0.0},
                                           ElfCase{"low_tau", 0.1, 0.3, 0.2, 1.3, 0.4},
                                           ElfCase{"high_tau", 0.9, 2.0, 0.5, -1.0, 0.7},
                                           ElfCase{"far_above", 0.3, 0.5, 0.05, 40.0, 0.0},
                                           ElfCase{"far_below", 0.7, 0.5, 0.05, -40.0, 0.0}),
                         [](const auto& param_info) { return std::string(param_info.param.name); });

TEST(ElfLoss, MinimumIsZeroAtTheShiftedResidual) {
  for (const double tau : {0.05, 0.3, 0.5, 0.9}) {
    const ElfIdentity f = elf_identity(tau, 0.7, 0.4);
    const double r_star = f.lambda * std::log((1.0 - tau) / tau);
    // d(r*) = 0 up to cancellation among terms of size λ/σ·|ln τ|.
    EXPECT_NEAR(elf_deviance_unit(f, r_star, 0.0), 0.0, 1e-14) << "tau " << tau;
    EXPECT_NEAR(elf_derivatives(f, r_star, 0.0).g, 0.0, 1e-15) << "tau " << tau;
    EXPECT_GT(elf_deviance_unit(f, r_star + 0.1, 0.0), 0.0);
    EXPECT_GT(elf_deviance_unit(f, r_star - 0.1, 0.0), 0.0);
  }
}

TEST(ElfLoss, GrowsLinearlyWithThePinballSlopes) {
  const ElfIdentity f = elf_identity(0.2, 0.5, 0.1);
  // Far from the quantile softplus(u) = max(u, 0) + O(e^(−|u|)): slopes 2τ/σ above, 2(1 − τ)/σ
  // below.
  const double above = elf_deviance_unit(f, 101.0, 0.0) - elf_deviance_unit(f, 100.0, 0.0);
  const double below = elf_deviance_unit(f, -101.0, 0.0) - elf_deviance_unit(f, -100.0, 0.0);
  EXPECT_NEAR(above, 2.0 * 0.2 / 0.5, 1e-12);
  EXPECT_NEAR(below, 2.0 * 0.8 / 0.5, 1e-12);
}

// exp(−d/2 + c) is a density in y: its integral is 1, by the trapezoid rule on a wide grid.
TEST(ElfLoss, NormalisingConstantMakesTheDensityIntegrateToOne) {
  for (const ElfCase& c : {ElfCase{"", 0.5, 1.0, 1.0, 0, 0}, ElfCase{"", 0.1, 0.4, 0.4, 0, 0},
                           ElfCase{"", 0.8, 0.3, 0.9, 0, 0}}) {
    const ElfIdentity f = elf_identity(c.tau, c.sigma, c.lambda);
    const double log_c = elf_log_normaliser(f);
    // The tails decay like exp(−τ r/σ) and exp(−(1 − τ)|r|/σ); ±400σ/min(τ, 1 − τ) leaves e^(−200).
    const double half_width = 400.0 * c.sigma / std::min(c.tau, 1.0 - c.tau);
    constexpr int kPoints = 400001;
    const double h = 2.0 * half_width / (kPoints - 1);
    double integral = 0.0;
    for (int i = 0; i < kPoints; ++i) {
      const double y = -half_width + h * i;
      const double weight = (i == 0 || i == kPoints - 1) ? 0.5 : 1.0;
      integral += weight * std::exp(-0.5 * elf_deviance_unit(f, y, 0.0) + log_c);
    }
    // The trapezoid rule on a smooth density with h ≤ 0.01σ: error far below 1e-6.
    EXPECT_NEAR(integral * h, 1.0, 1e-6) << "tau " << c.tau;
  }
}

struct CheckCase {
  const char* name;
  double tau, sigma, lambda;
  const char* message;  // nullptr: accepted
};

class ElfParameterCheckTest : public ::testing::TestWithParam<CheckCase> {};

TEST_P(ElfParameterCheckTest, RejectsWithTheFixedMessage) {
  const auto& c = GetParam();
  const Status status = check_elf_parameters(elf_identity(c.tau, c.sigma, c.lambda));
  if (c.message == nullptr) {
    EXPECT_TRUE(status.has_value());
    return;
  }
  ASSERT_FALSE(status.has_value());
  const auto* e = std::get_if<InvalidParameter>(&status.error());
  ASSERT_NE(e, nullptr);
  EXPECT_EQ(e->message, c.message);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ElfParameterCheckTest,
    ::testing::Values(
        CheckCase{"tau_one", 1.0, 1.0, 1.0, "ELF τ must be in (0, 1); got 1"},
        CheckCase{"tau_zero_before_sigma", 0.0, 0.0, 1.0, "ELF τ must be in (0, 1); got 0"},
        CheckCase{"sigma_zero", 0.5, 0.0, 1.0, "ELF σ and λ must be > 0; got σ=0 λ=1"},
        CheckCase{"lambda_negative", 0.5, 2.0, -0.5, "ELF σ and λ must be > 0; got σ=2 λ=-0.5"},
        CheckCase{"nan_passes", std::nan(""), std::nan(""), std::nan(""), nullptr}),
    [](const auto& param_info) { return std::string(param_info.param.name); });

}  // namespace
}  // namespace zelki::family
