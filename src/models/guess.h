// The initial-parameter guess: one entry point that picks a network for a
// circuit, runs it on a spectrum and maps its outputs onto the circuit.
//
// Contract: guess_params returns one value per parameter of `nodes`, in
// param_names() order, or the user-facing error message. Without a weights
// path the built-in model of the same topology serves (K and Zarc match the
// models of their (R, C) and (R, Cpe) pairs, and their own parameters are
// rebuilt from the pair's guess); with a path, that file's network must have
// been trained for the same topology. A network whose parameter names do not
// count its own circuit's parameters is refused before it runs. The EXTERNAL
// lock is held while a user file is looked up, loaded and matched, never while
// a network runs.
#pragma once

#include <optional>
#include <span>
#include <string>
#include <vector>

#include "circuit/tree.h"
#include "elements/complex.h"
#include "util/result.h"

namespace kovrant {

Result<std::vector<double>, std::string> guess_params(const SeriesList& nodes, std::span<const double> frequencies,
                                                      std::span<const Complex> impedances,
                                                      const std::optional<std::string>& weights);

// The user's own K and Zarc parameters from a guess made for the tree with
// every K and Zarc expanded: K gets (r, r * c), Zarc gets
// (r, (r * q)^(1 / max(alpha, 1e-6)), alpha); every other element keeps its
// values. `expanded_values` is in the expanded tree's parameter order.
std::vector<double> collapse_expanded(const SeriesList& nodes, std::span<const double> expanded_values);

}  // namespace kovrant
