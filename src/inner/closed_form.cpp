#include "inner/closed_form.hpp"

#include "linalg/dense.hpp"

namespace zelki::inner {

Result<InnerFit> closed_form_fit(const GaussianProblem& problem, const Vector& rho) {
  ZELKI_ASSERT(problem.x != nullptr && problem.y != nullptr && problem.xtwx != nullptr &&
                   problem.xtwy != nullptr,
               "closed_form_fit: incomplete problem");
  const Matrix& x = *problem.x;
  const Vector& y = *problem.y;
  const Eigen::Index n = x.rows();
  ZELKI_ASSERT(y.size() == n, "closed_form_fit: y of the wrong length");
  ZELKI_ASSERT(problem.weights == nullptr || problem.weights->size() == n,
               "closed_form_fit: weights of the wrong length");

  // H = XᵀWX + S_λ.
  Matrix h = *problem.xtwx;
  h += linalg::total_penalty(problem.penalties, rho);
  ZELKI_TRY(linalg::CholeskySolution solution, linalg::cholesky_solve_ridged(h, *problem.xtwy));

  Vector fitted = linalg::matvec(x, solution.x);
  // RSS = Σ w_i (y_i − f_i)², unweighted without prior weights.
  double rss = 0.0;
  for (Eigen::Index i = 0; i < n; ++i) {
    const double r = y[i] - fitted[i];
    rss += (problem.weights == nullptr) ? r * r : (*problem.weights)[i] * r * r;
  }

  InnerFit fit;
  fit.beta = std::move(solution.x);
  fit.eta = fitted;
  fit.mu = std::move(fitted);
  fit.working_weights = (problem.weights == nullptr) ? Vector::Ones(n) : *problem.weights;
  fit.working_response = y;
  fit.chol_h = std::move(solution.factor);
  fit.deviance = rss;
  fit.pearson = rss;
  fit.n = static_cast<std::size_t>(n);
  fit.p = static_cast<std::size_t>(x.cols());
  fit.iterations = 1;
  fit.converged = true;
  return fit;
}

}  // namespace zelki::inner
