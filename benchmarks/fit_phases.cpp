// Wall time of the phases of a single-smooth fit at large n: design, cross-products, the whole
// fit. Run: build/bench/fit_phases [n] [k]
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <random>

#include "design/cr.hpp"
#include "fit/single_smooth.hpp"
#include "inner/weighted_gram.hpp"

namespace {

template <class F>
double seconds(F&& f, int reps = 3) {
  double best = 1e300;
  for (int r = 0; r < reps; ++r) {
    const auto start = std::chrono::steady_clock::now();
    f();
    const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
    best = std::min(best, elapsed.count());
  }
  return best;
}

}  // namespace

int main(int argc, char** argv) {
  using namespace zelki;
  const Eigen::Index n = argc > 1 ? std::atol(argv[1]) : 1000000;
  const std::size_t k = argc > 2 ? std::strtoul(argv[2], nullptr, 10) : 10;
  std::mt19937_64 rng(1);
  std::uniform_real_distribution<double> unif(0.0, 1.0);
  std::normal_distribution<double> noise(0.0, 0.3);
  Matrix x(n, 1);
  Vector yg(n), yp(n), yb(n);
  for (Eigen::Index i = 0; i < n; ++i) {
    x(i, 0) = unif(rng);
    const double f = std::sin(2.0 * M_PI * x(i, 0));
    yg[i] = f + noise(rng);
    yp[i] = static_cast<double>(std::poisson_distribution<int>(std::exp(1.0 + f))(rng));
    yb[i] = unif(rng) < 1.0 / (1.0 + std::exp(-2.0 * f)) ? 1.0 : 0.0;
  }
  std::printf("n=%ld k=%zu\n", static_cast<long>(n), k);
  std::printf("cr_design        %.4f s\n", seconds([&] { (void)design::cr_design(x, k); }));
  const Matrix xd = design::cr_design(x, k)->x;
  std::printf("weighted_cross   %.4f s\n",
              seconds([&] { (void)inner::weighted_cross(xd, Vector::Ones(n), yg); }));
  const std::pair<const char*, fit::SingleSmoothFamily> cases[] = {
      {"gaussian", family::gaussian_identity()},
      {"poisson", family::poisson_log()},
      {"binomial", family::bernoulli_logit()}};
  for (const auto& [name, fam] : cases) {
    const Vector& y =
        std::string(name) == "gaussian" ? yg : (std::string(name) == "poisson" ? yp : yb);
    fit::SingleSmoothRequest request{fam, fit::DesignKind::kCr, k};
    std::printf("fit %-12s %.4f s\n", name,
                seconds([&] { (void)fit::fit_single_smooth(request, x, y, std::nullopt); }));
  }
  return 0;
}
