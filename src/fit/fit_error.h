// The fitting engine's error value.
//
// Contract: a closed set of kinds. message() is the user-facing text that the
// Python layer raises (as ValueError, except Interrupted, which the Python
// layer turns into the pending KeyboardInterrupt). Solver carries the solver's
// message, UnknownMethod the method name, InvalidArgument the complete text
// (an argument that no method can work with, such as "ftol must be >= 0").
#pragma once

#include <array>
#include <string>
#include <string_view>

namespace kovrant {

// The six fitting methods, in the order the UnknownMethod message lists them.
inline constexpr std::array<std::string_view, 6> kFitMethodNames = {"levenberg_marquardt", "particle_swarm",
                                                                    "nelder_mead",         "differential_evolution",
                                                                    "simulated_annealing", "basin_hopping"};

struct FitError {
  enum class Kind { LengthMismatch, EmptySpectrum, NoParameters, Solver, UnknownMethod, InvalidArgument, Interrupted };

  Kind kind;
  std::string detail;

  static FitError solver(std::string message) { return {Kind::Solver, std::move(message)}; }
  static FitError invalid_argument(std::string message) { return {Kind::InvalidArgument, std::move(message)}; }
  static FitError interrupted() { return {Kind::Interrupted, {}}; }

  std::string message() const;
};

}  // namespace kovrant
