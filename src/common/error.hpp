// The one error type of the numerical core and its fixed display texts.
#pragma once

#include <cstdint>
#include <string>
#include <variant>

namespace zelki {

struct InvalidParameter {
  std::string message;
};
struct SingularSystem {
  std::string message;
};
struct NotConverged {
  std::uint64_t iters = 0;
  double grad_norm = 0.0;
};
struct Linalg {
  std::string message;
};

using ZelkiError = std::variant<InvalidParameter, SingularSystem, NotConverged, Linalg>;

// The display text of an error, e.g. "singular system: Cholesky failed: ...".
std::string display(const ZelkiError& error);

// Debug form (variant name and fields), used only in internal-fault reports.
std::string debug_string(const ZelkiError& error);

}  // namespace zelki
