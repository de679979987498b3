// The flat parameter vector of a circuit.
//
// Contract: every list below has the parameter count as length and tree order
// (collect_leaves), fields in kind order within each element. Names are
// "{label}.{field}"; unlabelled elements get automatic labels, kind name plus a
// per-kind counter that starts at 0 in every call. rebuild() needs at least
// param_count values (callers check the exact count first).
#pragma once

#include <optional>
#include <span>
#include <string>
#include <vector>

#include "circuit/tree.h"

namespace kovrant {

size_t param_count(const SeriesList& series);
std::vector<std::string> param_names(const SeriesList& series);
std::vector<std::string> param_units(const SeriesList& series);
std::vector<Bounds> param_bounds(const SeriesList& series);
std::vector<double> param_values(const SeriesList& series);

// A copy of `series` of the same shape, kinds and labels whose elements take
// the values in tree order.
SeriesList rebuild(const SeriesList& series, std::span<const double> values);

// The candidate nearest to `unknown` by character edit distance, if it is
// within the acceptance threshold (2 below 6 characters, else half the
// length); ties go to the earlier candidate.
std::optional<std::string> closest_param_name(std::string_view unknown, const std::vector<std::string>& candidates);

}  // namespace kovrant
