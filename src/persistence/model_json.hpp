// The JSON form of a fitted model: its thirteen members, the vector and matrix objects and the
// predictor objects of every kind.
#pragma once

#include <string>
#include <string_view>
#include <variant>

#include "fit/fitted_gam.hpp"
#include "persistence/json_reader.hpp"

namespace zelki::persistence {

// The compact JSON text of the model, members in their stored order.
std::string write_model_json(const fit::FittedGam& model);

// Reads a model from JSON text (the object with its members in any order, or the array of the
// thirteen values in stored order). Every shape is checked against the data that is actually
// present, but the parts are not checked against each other: a model whose predictor, beta and
// vcov disagree is refused when it is first used.
std::variant<fit::FittedGam, JsonError> read_model_json(std::string_view text);

}  // namespace zelki::persistence
