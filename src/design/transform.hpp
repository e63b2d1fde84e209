// Column transforms shared by every design: column sums, the sum-to-zero centring matrix and the
// intercept column.
#pragma once

#include <initializer_list>

#include "common/eigen.hpp"

namespace zelki::design {

// Σ_r B[r, ·]: the sums of the columns of b over its rows. A term whose coefficients β satisfy
// cᵀβ = 0 for these sums c has fitted values summing to zero over the data.
Vector column_sums(const Matrix& b);

// The k×(k−1) matrix Z with cᵀZ = 0 and orthonormal columns, for a constraint vector c of
// length k ≥ 2: the null space of cᵀ, taken from a Householder reflection. A vector c of norm
// below 2⁻⁵² has no usable direction; Z is then the identity with its last row zero.
Matrix centring_matrix(const Vector& c);

// [1 | a]: the n×(q+1) matrix whose column 0 is all ones and whose columns 1 … q are a.
Matrix add_intercept_column(const Matrix& a);

// [1 | B·F₁·F₂·…] built in the storage of B, a block of rows at a time, when B has one column
// more than the product (as a centred basis has): no second n-row matrix is made. The products
// are evaluated left to right in each block, so any two calls on the same rows agree bit for bit.
Matrix intercept_then_products(Matrix b, std::initializer_list<const Matrix*> factors);

}  // namespace zelki::design
