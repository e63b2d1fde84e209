// H⁻¹ from the lower Cholesky factor of H, and traces with it.
#pragma once

#include "common/eigen.hpp"

namespace zelki::linalg {

// H⁻¹ = L⁻ᵀ L⁻¹, symmetric, for H = L Lᵀ.
Matrix inverse_from_cholesky(const Matrix& l);

// tr(A B) = Σ_i Σ_m A_im B_mi without forming the product.
double trace_of_product(const Matrix& a, const Matrix& b);

}  // namespace zelki::linalg
