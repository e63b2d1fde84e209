#include "fit/design_choice.hpp"

#include "design/cr.hpp"
#include "design/cr_stable.hpp"
#include "design/re.hpp"

namespace zelki::fit {

Result<DesignKind> parse_design_name(const std::string& name) {
  if (name == "cr") return DesignKind::kCr;
  if (name == "re") return DesignKind::kRe;
  if (name == "cr_stable") return DesignKind::kCrStable;
  return InvalidParameter{"design must be 'cr', 're', or 'cr_stable'; got " + name};
}

Result<design::Design> build_single_smooth_design(DesignKind kind, const Matrix& x, std::size_t k) {
  switch (kind) {
    case DesignKind::kCr:
      return design::cr_design(x, k);
    case DesignKind::kRe:
      return design::re_design(x);
    case DesignKind::kCrStable:
      return design::cr_stable_design(x, k);
  }
  ZELKI_ASSERT(false, "unknown design kind");
}

}  // namespace zelki::fit
