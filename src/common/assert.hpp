// Internal faults: states that no input can produce. They throw InternalFault, which only the
// binding catches (and raises as a BaseException-derived Python class).
#pragma once

#include <stdexcept>
#include <string>

namespace zelki {

class InternalFault : public std::logic_error {
 public:
  using std::logic_error::logic_error;
};

[[noreturn]] void internal_fault(const std::string& message, const char* file, int line);

}  // namespace zelki

#define ZELKI_ASSERT(cond, message)                                      \
  do {                                                                   \
    if (!(cond)) ::zelki::internal_fault((message), __FILE__, __LINE__); \
  } while (false)
