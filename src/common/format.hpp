// Number formatting for every message of the system.
#pragma once

#include <cstdint>
#include <string>

namespace zelki {

// Shortest decimal that reads back to the same double, never in exponent form, integral values
// without a decimal point: "2", "-1.5", "0.0000001"; "NaN", "inf", "-inf".
std::string format_number(double value);

// The gradient norm of a NotConverged text: four significant digits in exponent form with a
// bare exponent, e.g. "1.235e-5", "5.000e-1", "0.000e0".
std::string format_grad_norm(double value);

}  // namespace zelki
