// libFuzzer target: a frame is untrusted input. Whatever the bytes, deserialize must fail cleanly
// or give a model that predicts or refuses, and that saves and reloads to the same bytes.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "fit/inference.hpp"
#include "persistence/frame.hpp"

namespace {

// Four columns, enough for every stored column index of a small additive or tensor model; the
// values span the knot ranges of typical fits and go beyond them.
zelki::Matrix fixed_x() {
  zelki::Matrix x(5, 4);
  x << 0.0, 0.1, 1.0, 2.0,   //
      0.25, 0.5, 0.75, 3.0,  //
      0.5, -1.0, 0.3, 1.0,   //
      1.0, 0.9, 0.0, 4.0,    //
      2.0, 0.4, 0.6, 0.0;
  return x;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const zelki::Matrix x = fixed_x();
  auto model =
      zelki::persistence::deserialize(std::string_view(reinterpret_cast<const char*>(data), size));
  if (!model.has_value()) return 0;
  (void)zelki::fit::predict(*model, x);
  const std::string frame = zelki::persistence::serialize(*model);
  auto again = zelki::persistence::deserialize(frame);
  if (!again.has_value() || zelki::persistence::serialize(*again) != frame) __builtin_trap();
  return 0;
}
