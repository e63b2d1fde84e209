#include "inner/armijo.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <string>
#include <string_view>
#include <variant>

#include "inner/weighted_gram.hpp"
#include "linalg/dense.hpp"

namespace zelki::inner {

namespace {

// Diagonal ridge of the Newton system, relative to max(1, max_i |H_ii|). It keeps the system
// positive definite when most logistic weights h_i underflow far from the quantile.
constexpr double kRelativeRidge = 1e-7;
// Slack of the line search: a trial is accepted when F rises by at most this much (rounding).
constexpr double kObjectiveSlack = 1e-10;
// Working weights below this leave the working response at η.
constexpr double kMinWorkingWeight = 1e-12;

double ridge_of(const Matrix& h) {
  double largest = 1.0;
  for (Eigen::Index i = 0; i < h.rows(); ++i) {
    const double d = std::abs(h(i, i));
    if (!std::isnan(d)) largest = std::max(largest, d);
  }
  return kRelativeRidge * largest;
}

// H = Xᵀdiag(h)X + S_λ with its ridge.
Matrix ridged_hessian(const Matrix& x, const Vector& h, const Matrix& s_lambda) {
  Matrix hessian = weighted_gram(x, h);
  hessian += s_lambda;
  hessian.diagonal().array() += ridge_of(hessian);
  return hessian;
}

// Largest |a_j − b_j|, NaN differences skipped.
double largest_change(const Vector& a, const Vector& b) {
  double c = 0.0;
  for (Eigen::Index j = 0; j < a.size(); ++j) {
    const double d = std::abs(a[j] - b[j]);
    if (!std::isnan(d)) c = std::max(c, d);
  }
  return c;
}

}  // namespace

Result<Matrix> cholesky_with_prefix(const Matrix& a, std::string_view prefix) {
  auto factor = linalg::cholesky_lower(a);
  if (factor.has_value()) return factor;
  ZelkiError error = std::move(factor).error();
  // The factorisation reports "Cholesky failed: <LAPACK message>"; keep only the LAPACK part.
  if (auto* singular = std::get_if<SingularSystem>(&error)) {
    constexpr std::string_view kPlain = "Cholesky failed: ";
    std::string text = std::move(singular->message);
    if (text.starts_with(kPlain)) text.erase(0, kPlain.size());
    singular->message = std::string(prefix) + "Cholesky: " + text;
  }
  return error;
}

double elf_objective(const ArmijoProblem& problem, const Matrix& s_lambda, const Vector& beta) {
  const Vector eta = *problem.x * beta;
  const Vector& y = *problem.y;
  double total = 0.0;
  for (Eigen::Index i = 0; i < y.size(); ++i) {
    const double d = family::elf_deviance_unit(problem.family, y[i], eta[i]);
    if (!std::isfinite(d)) return std::numeric_limits<double>::infinity();
    total += d;
  }
  return total + beta.dot(s_lambda * beta);
}

Result<InnerFit> armijo_fit(const ArmijoProblem& problem, const Vector& rho) {
  ZELKI_ASSERT(problem.x != nullptr && problem.y != nullptr, "armijo_fit: incomplete problem");
  ZELKI_CHECK(family::check_elf_parameters(problem.family));
  const Matrix& x = *problem.x;
  const Vector& y = *problem.y;
  const Eigen::Index n = x.rows();
  const Eigen::Index p = x.cols();
  ZELKI_ASSERT(y.size() == n, "armijo_fit: y of the wrong length");
  ZELKI_ASSERT(problem.initial_beta == nullptr || problem.initial_beta->size() == p,
               "armijo_fit: initial_beta of the wrong length");
  const family::ElfIdentity& elf = problem.family;

  const Matrix s_lambda = linalg::total_penalty(problem.penalties, rho);
  Vector beta = problem.initial_beta == nullptr ? Vector::Zero(p) : *problem.initial_beta;
  double objective = elf_objective(problem, s_lambda, beta);

  Vector eta(n), h(n), g(n);
  // η, g and h at β.
  const auto derivatives_at = [&](const Vector& b) {
    eta.noalias() = x * b;
    for (Eigen::Index i = 0; i < n; ++i) {
      const family::ElfDerivatives d = family::elf_derivatives(elf, y[i], eta[i]);
      g[i] = d.g;
      h[i] = d.h;
    }
  };

  std::size_t iterations = 0;
  bool converged = false;
  for (std::size_t k = 1; k <= problem.max_iter; ++k) {
    iterations = k;
    derivatives_at(beta);
    // Newton target β_N = H⁻¹ Xᵀ(h⊙η + g) = β + H⁻¹(Xᵀg − S_λβ) up to the ridge: the minimiser of
    // the quadratic model of F/2 at β.
    const Vector z = h.cwiseProduct(eta) + g;
    ZELKI_TRY(const Matrix factor, cholesky_with_prefix(ridged_hessian(x, h, s_lambda), "ELF "));
    const Vector target =
        linalg::solve_lower_transposed(factor, linalg::solve_lower(factor, x.transpose() * z));
    const Vector direction = target - beta;

    // Halve the step until the objective does not rise beyond the slack.
    double step = 1.0;
    bool accepted = false;
    Vector trial;
    double trial_objective = 0.0;
    for (std::size_t t = 0; t < problem.max_step_halvings; ++t) {
      trial = beta + step * direction;
      trial_objective = elf_objective(problem, s_lambda, trial);
      if (std::isfinite(trial_objective) && trial_objective <= objective + kObjectiveSlack) {
        accepted = true;
        break;
      }
      step *= 0.5;
    }
    if (!accepted) break;
    const double change = largest_change(trial, beta);
    beta = std::move(trial);
    objective = trial_objective;
    if (change < problem.tol) {
      converged = true;
      break;
    }
  }

  // Final stage at the returned β: working weights h, working response η + g/h, the factor of
  // the ridged Hessian and the unpenalised deviance.
  derivatives_at(beta);
  Vector z(n);
  double deviance = 0.0;
  for (Eigen::Index i = 0; i < n; ++i) {
    z[i] = h[i] > kMinWorkingWeight ? eta[i] + g[i] / h[i] : eta[i];
    deviance += family::elf_deviance_unit(elf, y[i], eta[i]);
  }
  ZELKI_TRY(Matrix chol_h, linalg::cholesky_lower(ridged_hessian(x, h, s_lambda)));

  InnerFit fit;
  fit.beta = std::move(beta);
  fit.eta = eta;
  fit.mu = std::move(eta);
  fit.working_weights = std::move(h);
  fit.working_response = std::move(z);
  fit.chol_h = std::move(chol_h);
  fit.deviance = deviance;
  fit.pearson = deviance;
  fit.n = static_cast<std::size_t>(n);
  fit.p = static_cast<std::size_t>(p);
  fit.iterations = iterations;
  fit.converged = converged;
  return fit;
}

}  // namespace zelki::inner
