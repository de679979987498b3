// User-facing texts about circuits, elements and fit results.
//
// Contract: pure functions from values to text. Numbers use the formats of
// util/text.h: format_plain_number in circuit listings, format_float_literal
// in element and fit-result reprs. Widths count characters, not bytes.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "circuit/tree.h"
#include "util/result.h"

namespace kovrant {

// "Circuit (n parameters)" followed by one line per parameter with its name,
// value, unit and bounds.
std::string describe_circuit(const SeriesList& series);

// "Element.Cpe(q=1e-5, alpha=0.9)".
std::string describe_element(const Element& element);

// The values of `supplied` (name, value pairs in the caller's order) in
// parameter order; or, when a name is unknown or a parameter is missing, the
// report listing them with suggestions and the valid parameters.
Result<std::vector<double>, std::string> assign_named_values(const SeriesList& series,
                                                             std::span<const std::pair<std::string, double>> supplied);

// The report for unknown keys (in the caller's order) and missing parameter
// names (in parameter order).
std::string named_values_report(const SeriesList& series, std::span<const std::string> unknown,
                                std::span<const std::string> missing);

// "FitResult(success=true, iterations=..., params={...})". Repeated names
// keep their first position and their last value, as a dict built from the
// pairs would.
std::string describe_fit_result(bool success, std::uint64_t iterations, std::uint64_t impedance_evals,
                                double chi_square, std::span<const std::string> names, std::span<const double> values);

// "expected 3 values, got 2".
std::string value_count_message(size_t expected, size_t got);

// "expected at least 4 params, got 2".
std::string too_few_params_message(size_t expected, size_t got);

// Refusal of a composition whose parallel groups would nest `depth` deep.
std::string nesting_too_deep_message(size_t depth);

}  // namespace kovrant

namespace kovrant {

// The circuit in the notation, each element written as its label (or, when
// unlabelled, the automatic label its parameter names use): "R0-(R1,Cpe0)".
// Parsing the text gives the same topology and parameter names when the
// labels are distinct.
std::string to_notation(const SeriesList& series);

}  // namespace kovrant
