// The exponential families of the PIRLS and closed-form fits: starting values, guarded links,
// link derivatives, variance functions and deviances, each family a type of its own so that the
// inner fit is instantiated per family and its row loops are free of run-time dispatch.
#pragma once

#include <algorithm>
#include <cmath>
#include <concepts>
#include <variant>

#include "common/eigen.hpp"
#include "family/link.hpp"

namespace zelki::family {

// Means and variances are floored here so that 1/μ, ln μ and 1/V stay finite.
inline constexpr double kMeanFloor = 1e-300;
// Bernoulli probabilities are clamped to [1e-15, 1 − 1e-15] wherever they enter a logarithm or
// the logit link derivative, so that the deviance of a fitted 0 or 1 stays finite.
inline constexpr double kProbabilityMin = 1e-15;
inline constexpr double kProbabilityMax = 0.999999999999999;

// m⁺ = max(μ, 1e-300).
inline double floor_mean(double mu) { return std::max(mu, kMeanFloor); }

// m_b = μ clamped to [1e-15, 1 − 1e-15].
inline double clamp_probability(double mu) {
  return std::clamp(mu, kProbabilityMin, kProbabilityMax);
}

// η₀ = g(μ₀) with the guards of the starting values: the log of the floored mean, the logit of
// the clamped probability.
inline double guarded_link(LinkKind kind, double mu) {
  switch (kind) {
    case LinkKind::Identity:
      return mu;
    case LinkKind::Log:
      return std::log(floor_mean(mu));
    case LinkKind::Logit: {
      const double m = clamp_probability(mu);
      return std::log(m / (1.0 - m));
    }
  }
  return mu;
}

// The interface that the PIRLS iteration reads from a family. Every operation is total: it
// returns a number (possibly non-finite) for any input and never fails.
template <class F>
concept Family = requires(const F& f, double y, double mu, double eta, const Vector& v,
                          const Vector* w) {
  { f.initial_mu(v) } -> std::same_as<Vector>;
  { f.link_guarded(mu) } -> std::same_as<double>;
  { f.inverse_link(eta) } -> std::same_as<double>;
  { f.link_derivative(mu) } -> std::same_as<double>;
  { f.variance(mu) } -> std::same_as<double>;
  { f.unit_deviance(y, mu) } -> std::same_as<double>;
  { f.deviance(v, v, w) } -> std::same_as<double>;
  { f.link_kind() } -> std::same_as<LinkKind>;
};

namespace detail {

// μ₀ row by row from a family's scalar start.
template <class F>
Vector start_means(const F& family, const Vector& y) {
  Vector mu(y.size());
  for (Eigen::Index i = 0; i < y.size(); ++i) mu[i] = family.initial_mu(y[i]);
  return mu;
}

// D = Σ w_i d(y_i, μ_i), summed in row order; absent weights count as ones.
template <class F>
double sum_deviance(const F& family, const Vector& y, const Vector& mu, const Vector* w) {
  ZELKI_ASSERT(mu.size() == y.size(), "deviance: length mismatch between y and mu");
  ZELKI_ASSERT(w == nullptr || w->size() == y.size(), "deviance: weights of the wrong length");
  double total = 0.0;
  for (Eigen::Index i = 0; i < y.size(); ++i) {
    const double d = family.unit_deviance(y[i], mu[i]);
    total += (w == nullptr) ? d : (*w)[i] * d;
  }
  return total;
}

// y·ln(y/m) with the convention 0·ln 0 = 0 used by the count and binary deviances.
inline double y_log_y_over(double y, double m) { return y > 0.0 ? y * std::log(y / m) : 0.0; }

}  // namespace detail

// The members shared by the families whose start is a function of y_i alone.
#define ZELKI_FAMILY_COMMON_MEMBERS                                                  \
  Vector initial_mu(const Vector& y) const { return detail::start_means(*this, y); } \
  double deviance(const Vector& y, const Vector& mu, const Vector* w) const {        \
    return detail::sum_deviance(*this, y, mu, w);                                    \
  }                                                                                  \
  double link_guarded(double mu) const { return guarded_link(link_kind(), mu); }     \
  double inverse_link(double eta) const { return family::inverse_link(link_kind(), eta); }

// Gaussian, identity link: fitted in closed form; as a PIRLS family it converges in one solve.
struct GaussianIdentity {
  ZELKI_FAMILY_COMMON_MEMBERS
  double initial_mu(double y) const { return y; }
  double link_derivative(double) const { return 1.0; }
  double variance(double) const { return 1.0; }
  double unit_deviance(double y, double mu) const { return (y - mu) * (y - mu); }
  LinkKind link_kind() const { return LinkKind::Identity; }
};

// Bernoulli with the logit link. Responses strictly inside (0, 1) are allowed.
struct BernoulliLogit {
  ZELKI_FAMILY_COMMON_MEMBERS
  double initial_mu(double y) const { return (y + 0.5) / 2.0; }
  // g′(μ) = 1/(m_b(1 − m_b)).
  double link_derivative(double mu) const {
    const double m = clamp_probability(mu);
    return 1.0 / (m * (1.0 - m));
  }
  // V = μ(1 − μ) at the raw mean, then floored.
  double variance(double mu) const { return std::max(mu * (1.0 - mu), kMeanFloor); }
  // d = 2[y ln(y/m_b)] + 2[(1 − y) ln((1 − y)/(1 − m_b))], each term 0 at its boundary.
  double unit_deviance(double y, double mu) const {
    const double m = clamp_probability(mu);
    const double upper = y > 0.0 ? y * std::log(y / m) : 0.0;
    const double lower = y < 1.0 ? (1.0 - y) * std::log((1.0 - y) / (1.0 - m)) : 0.0;
    return 2.0 * upper + 2.0 * lower;
  }
  LinkKind link_kind() const { return LinkKind::Logit; }
};

// Quasi-binomial: the Bernoulli iteration; only the scale differs, and that is profiled later.
struct QuasibinomialLogit {
  ZELKI_FAMILY_COMMON_MEMBERS
  double initial_mu(double y) const { return BernoulliLogit{}.initial_mu(y); }
  double link_derivative(double mu) const { return BernoulliLogit{}.link_derivative(mu); }
  double variance(double mu) const { return BernoulliLogit{}.variance(mu); }
  double unit_deviance(double y, double mu) const { return BernoulliLogit{}.unit_deviance(y, mu); }
  LinkKind link_kind() const { return LinkKind::Logit; }
};

// Poisson with the log link. The start max(y, 0.1) keeps ln μ₀ finite for zero counts.
struct PoissonLog {
  ZELKI_FAMILY_COMMON_MEMBERS
  double initial_mu(double y) const { return std::max(y, 0.1); }
  double link_derivative(double mu) const { return 1.0 / floor_mean(mu); }
  double variance(double mu) const { return floor_mean(mu); }
  // d = 2[y ln(y/m⁺) − (y − m⁺)] for y > 0, and 2m⁺ for y = 0.
  double unit_deviance(double y, double mu) const {
    const double m = floor_mean(mu);
    if (y > 0.0) return 2.0 * (y * std::log(y / m) - (y - m));
    return 2.0 * m;
  }
  LinkKind link_kind() const { return LinkKind::Log; }
};

// Quasi-Poisson: the Poisson iteration with a profiled scale.
struct QuasipoissonLog {
  ZELKI_FAMILY_COMMON_MEMBERS
  double initial_mu(double y) const { return PoissonLog{}.initial_mu(y); }
  double link_derivative(double mu) const { return PoissonLog{}.link_derivative(mu); }
  double variance(double mu) const { return PoissonLog{}.variance(mu); }
  double unit_deviance(double y, double mu) const { return PoissonLog{}.unit_deviance(y, mu); }
  LinkKind link_kind() const { return LinkKind::Log; }
};

// Gamma with the log link.
struct GammaLog {
  ZELKI_FAMILY_COMMON_MEMBERS
  double initial_mu(double y) const { return std::max(y, 0.001); }
  double link_derivative(double mu) const { return 1.0 / floor_mean(mu); }
  double variance(double mu) const { return std::max(mu * mu, kMeanFloor); }
  // d = 2[ln(m⁺/y⁺) + (y⁺ − m⁺)/m⁺].
  double unit_deviance(double y, double mu) const {
    const double m = floor_mean(mu);
    const double yp = floor_mean(y);
    return 2.0 * (std::log(m / yp) + (yp - m) / m);
  }
  LinkKind link_kind() const { return LinkKind::Log; }
};

// Inverse Gaussian with the log link. Besides the Fisher-scoring pieces it offers the observed
// information weight α and its derivative in η, which the final stage of its inner fit uses.
struct InverseGaussianLog {
  ZELKI_FAMILY_COMMON_MEMBERS
  double initial_mu(double y) const { return std::max(y, 0.001); }
  double link_derivative(double mu) const { return 1.0 / floor_mean(mu); }
  double variance(double mu) const { return std::max(mu * mu * mu, kMeanFloor); }
  // d = (y⁺ − m⁺)²/(y⁺ m⁺²), without a factor 2.
  double unit_deviance(double y, double mu) const {
    const double m = floor_mean(mu);
    const double yp = floor_mean(y);
    return (yp - m) * (yp - m) / (yp * m * m);
  }
  LinkKind link_kind() const { return LinkKind::Log; }

  // Observed information weight α = Wᶠ·f with the Fisher weight Wᶠ = w/(V_c g′²),
  // V_c = max(μ³, 1e-300), g′ = 1/m⁺, and f = 1 + (y − μ)(a₁ + c₁), a₁ = 3μ²/V_c = V_c′/V_c,
  // c₁ = −1/m⁺ = g″/g′. α is negative where y < μ/2.
  double observed_weight(double y, double mu, double w) const {
    const double m = floor_mean(mu);
    const double vc = variance(mu);
    const double g1 = 1.0 / m;
    const double fisher = w / (vc * g1 * g1);
    const double a1 = 3.0 * mu * mu / vc;
    const double c1 = -1.0 / m;
    return fisher * (1.0 + (y - mu) * (a1 + c1));
  }

  // α′ = dα/dη = m⁺·(dWᶠ/dμ·f + Wᶠ·df/dμ), written as a product so that it has no division
  // by f and is the true derivative wherever f ≤ 0 as well. With a₂ = 6μ/V_c, c₂ = 2/m⁺²:
  //   d ln Wᶠ/dμ = −a₁ − 2c₁,   df/dμ = (a₂ − a₁² + c₂ − c₁²)(y − μ) − (a₁ + c₁),
  // the latter because da₁/dμ = a₂ − a₁² and dc₁/dμ = c₂ − c₁² = 1/m⁺². When g′ < 1e-12 the
  // mean is beyond 1e12 and the derivative is taken as 0.
  double observed_weight_derivative(double y, double mu, double w) const {
    constexpr double kMinLinkDerivative = 1e-12;
    const double m = floor_mean(mu);
    const double g1 = 1.0 / m;
    if (g1 < kMinLinkDerivative) return 0.0;
    const double vc = variance(mu);
    const double fisher = w / (vc * g1 * g1);
    const double a1 = 3.0 * mu * mu / vc;
    const double c1 = -1.0 / m;
    const double a2 = 6.0 * mu / vc;
    const double c2 = 2.0 / (m * m);
    const double r = y - mu;
    const double f = 1.0 + r * (a1 + c1);
    const double df = (a2 - a1 * a1 + c2 - c1 * c1) * r - (a1 + c1);
    const double dfisher = fisher * (-a1 - 2.0 * c1);
    return m * (dfisher * f + fisher * df);
  }
};

// Negative binomial with overdispersion θ and the log link.
struct NegbinLog {
  double theta = 2.0;
  ZELKI_FAMILY_COMMON_MEMBERS
  double initial_mu(double y) const { return std::max(y, 0.1); }
  double link_derivative(double mu) const { return 1.0 / floor_mean(mu); }
  // V = μ + μ²/θ at the raw mean, then floored.
  double variance(double mu) const { return std::max(mu + mu * mu / theta, kMeanFloor); }
  // d = 2[y ln(y/m⁺) − (y + θ) ln((y + θ)/(m⁺ + θ))] for y > 0, 2θ ln((m⁺ + θ)/θ) for y = 0.
  double unit_deviance(double y, double mu) const {
    const double m = floor_mean(mu);
    if (y > 0.0) {
      return 2.0 * (y * std::log(y / m) - (y + theta) * std::log((y + theta) / (m + theta)));
    }
    return 2.0 * theta * std::log((m + theta) / theta);
  }
  LinkKind link_kind() const { return LinkKind::Log; }
};

// Tweedie with power p in (1, 2) and the log link. The dispersion φ does not enter the
// iteration, only the likelihood.
struct TweedieLog {
  double p = 1.5;
  double phi = 1.0;
  ZELKI_FAMILY_COMMON_MEMBERS
  double initial_mu(double y) const { return std::max(y, 0.1); }
  double link_derivative(double mu) const { return 1.0 / floor_mean(mu); }
  double variance(double mu) const { return std::max(std::pow(floor_mean(mu), p), kMeanFloor); }
  // With a = (m⁺)^(1−p), b = (m⁺)^(2−p):
  //   d = 2[y^(2−p)/((1 − p)(2 − p)) − y a/(1 − p) + b/(2 − p)] for y > 0, 2b/(2 − p) otherwise.
  double unit_deviance(double y, double mu) const {
    const double m = floor_mean(mu);
    const double b = std::pow(m, 2.0 - p);
    if (y > 0.0) {
      const double a = std::pow(m, 1.0 - p);
      return 2.0 *
             (std::pow(y, 2.0 - p) / ((1.0 - p) * (2.0 - p)) - y * a / (1.0 - p) + b / (2.0 - p));
    }
    return 2.0 * b / (2.0 - p);
  }
  LinkKind link_kind() const { return LinkKind::Log; }
};

// Scaled t with ν degrees of freedom, scale σ² and the identity link. The working weight uses
// the constant "variance" σ², and the unit deviance is −2 times the log-density without its
// constant terms.
struct TdistIdentity {
  double nu = 5.0;
  double sigma2 = 1.0;
  // μ₀ = (y_i + ȳ)/2, ȳ the arithmetic mean over all rows.
  Vector initial_mu(const Vector& y) const {
    const double mean = y.size() > 0 ? y.sum() / static_cast<double>(y.size()) : 0.0;
    return ((y.array() + mean) / 2.0).matrix();
  }
  double deviance(const Vector& y, const Vector& mu, const Vector* w) const {
    return detail::sum_deviance(*this, y, mu, w);
  }
  double link_guarded(double mu) const { return mu; }
  double inverse_link(double eta) const { return eta; }
  double link_derivative(double) const { return 1.0; }
  double variance(double) const { return std::max(sigma2, kMeanFloor); }
  // d = (1 + ν) ln(1 + (y − μ)²/(ν σ²)).
  double unit_deviance(double y, double mu) const {
    const double r = y - mu;
    return (1.0 + nu) * std::log1p(r * r / (nu * sigma2));
  }
  LinkKind link_kind() const { return LinkKind::Identity; }
};

#undef ZELKI_FAMILY_COMMON_MEMBERS

inline GaussianIdentity gaussian_identity() { return {}; }
inline BernoulliLogit bernoulli_logit() { return {}; }
inline QuasibinomialLogit quasibinomial_logit() { return {}; }
inline PoissonLog poisson_log() { return {}; }
inline QuasipoissonLog quasipoisson_log() { return {}; }
inline GammaLog gamma_log() { return {}; }
inline InverseGaussianLog inverse_gaussian_log() { return {}; }
inline NegbinLog negbin_log(double theta) { return NegbinLog{theta}; }
inline TweedieLog tweedie_log(double p, double phi) { return TweedieLog{p, phi}; }
inline TdistIdentity tdist_identity(double nu, double sigma2) { return TdistIdentity{nu, sigma2}; }

static_assert(Family<GaussianIdentity> && Family<BernoulliLogit> && Family<QuasibinomialLogit> &&
              Family<PoissonLog> && Family<QuasipoissonLog> && Family<GammaLog> &&
              Family<InverseGaussianLog> && Family<NegbinLog> && Family<TweedieLog> &&
              Family<TdistIdentity>);

// The seven families without shape parameters, as one value for the drivers.
using ExponentialFamily = std::variant<GaussianIdentity, BernoulliLogit, QuasibinomialLogit,
                                       PoissonLog, QuasipoissonLog, GammaLog, InverseGaussianLog>;

inline LinkKind link_kind(const ExponentialFamily& family) {
  return std::visit([](const auto& f) { return f.link_kind(); }, family);
}

}  // namespace zelki::family
