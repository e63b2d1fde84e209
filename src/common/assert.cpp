#include "common/assert.hpp"

namespace zelki {

void internal_fault(const std::string& message, const char* file, int line) {
  throw InternalFault("internal fault: " + message + " (" + file + ":" + std::to_string(line) +
                      ")");
}

}  // namespace zelki
