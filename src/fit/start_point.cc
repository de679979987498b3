#include "fit/start_point.h"

namespace kovrant {

StartPoint choose_start_point(std::optional<bool> guess_init, bool weights_given, bool values_given,
                              bool builtin_model_exists) {
  const bool guess = guess_init.value_or(weights_given || !values_given);
  if (!guess) return StartPoint::OwnValues;
  if (weights_given || guess_init.has_value() || builtin_model_exists) return StartPoint::Guess;
  return StartPoint::WarnThenOwnValues;
}

}  // namespace kovrant
