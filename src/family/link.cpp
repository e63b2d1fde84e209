#include "family/link.hpp"

namespace zelki::family {

const char* link_name(LinkKind kind) {
  switch (kind) {
    case LinkKind::Identity:
      return "Identity";
    case LinkKind::Log:
      return "Log";
    case LinkKind::Logit:
      return "Logit";
  }
  return "Identity";
}

}  // namespace zelki::family
