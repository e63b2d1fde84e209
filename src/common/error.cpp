#include "common/error.hpp"

#include "common/format.hpp"

namespace zelki {

namespace {
template <class... Ts>
struct Overloaded : Ts... {
  using Ts::operator()...;
};
template <class... Ts>
Overloaded(Ts...) -> Overloaded<Ts...>;
}  // namespace

std::string display(const ZelkiError& error) {
  return std::visit(Overloaded{
                        [](const InvalidParameter& e) { return "invalid parameter: " + e.message; },
                        [](const SingularSystem& e) { return "singular system: " + e.message; },
                        [](const NotConverged& e) {
                          return "solver did not converge after " + std::to_string(e.iters) +
                                 " iterations (last grad norm = " + format_grad_norm(e.grad_norm) +
                                 ")";
                        },
                        [](const Linalg& e) { return "linalg failure: " + e.message; },
                    },
                    error);
}

std::string debug_string(const ZelkiError& error) {
  return std::visit(Overloaded{
                        [](const InvalidParameter& e) {
                          return "InvalidParameter { message: \"" + e.message + "\" }";
                        },
                        [](const SingularSystem& e) {
                          return "SingularSystem { message: \"" + e.message + "\" }";
                        },
                        [](const NotConverged& e) {
                          return "NotConverged { iters: " + std::to_string(e.iters) +
                                 ", grad_norm: " + format_number(e.grad_norm) + " }";
                        },
                        [](const Linalg& e) { return "Linalg { message: \"" + e.message + "\" }"; },
                    },
                    error);
}

}  // namespace zelki
