// Additive designs: an intercept and one block per smooth term, [1 | C_1 | C_2 | …], with each
// term's penalties embedded in the full coefficient space.
#pragma once

#include <cstddef>
#include <cstdint>
#include <variant>
#include <vector>

#include "common/eigen.hpp"
#include "common/result.hpp"
#include "design/design.hpp"

namespace zelki::design {

// The typed terms of an additive model. Column indices refer to the columns of x.
struct CrTermSpec {
  std::uint64_t column = 0;
  std::uint64_t k = 10;
};
struct CrStableTermSpec {
  std::uint64_t column = 0;
  std::uint64_t k = 10;
};
struct ReTermSpec {
  std::uint64_t column = 0;
};
struct TensorTermSpec {
  std::uint64_t col_a = 0;
  std::uint64_t col_b = 1;
  std::uint64_t k_a = 10;
  std::uint64_t k_b = 10;
};
using TermSpec = std::variant<CrTermSpec, CrStableTermSpec, ReTermSpec, TensorTermSpec>;

// The columns of x a term reads, in order: [column], or [col_a, col_b] for a tensor term.
std::vector<std::uint64_t> columns_read(const TermSpec& term);

// Every column every term reads must exist in x, which has c_x columns; the first that does not
// fails with "Additive term {t} reads column {column} but x has only {c_x} columns".
Status check_term_columns(const std::vector<TermSpec>& terms, std::size_t c_x);

// The design of intercept plus terms: columns checked for all terms first, then each term built
// in order (its builder's error is returned unchanged). Penalties come per term in term order
// (two for a tensor term), with their ranks and log pseudo-determinants; the null-space dimension
// is p − Σ ranks, saturating at 0.
Result<Design> additive_design(const Matrix& x, const std::vector<TermSpec>& terms);

}  // namespace zelki::design
