// Where Circuit.fit starts: the circuit's own values or a network's guess.
//
// Contract: with guess_init set, it alone decides whether to guess. Unset, a
// fit guesses when a weight file is given or the circuit's values were not
// given explicitly. Without a weight file, an unset guess_init and no
// built-in model for the topology, the fit warns and keeps the circuit's own
// values; with guess_init = true it guesses anyway (and the guess reports
// that no model exists).
#pragma once

#include <optional>

namespace kovrant {

enum class StartPoint { OwnValues, Guess, WarnThenOwnValues };

StartPoint choose_start_point(std::optional<bool> guess_init, bool weights_given, bool values_given,
                              bool builtin_model_exists);

}  // namespace kovrant
