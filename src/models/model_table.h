// The built-in model keys and the notation each one stands for.
//
// Contract: entries() lists the eleven trained models in registry order (the
// order of every listing and of the constructor's name lookup). Keys match
// case-insensitively in ASCII only; nothing is trimmed here.
#pragma once

#include <array>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "circuit/tree.h"
#include "util/result.h"

namespace kovrant::model_table {

struct Entry {
  std::string_view key;
  std::string_view circuit;
};

inline constexpr std::array<Entry, 11> kModelEntries = {{
    {"rc", "R0-(R1,C1)"},
    {"rc_l", "L0-R0-(R1,C1)"},
    {"rq", "R0-(R1,CPE1)"},
    {"rq_l", "L0-R0-(R1,CPE1)"},
    {"two_rc", "R0-(R1,C1)-(R2,C2)"},
    {"two_rc_l", "L0-R0-(R1,C1)-(R2,C2)"},
    {"two_rq", "R0-(R1,CPE1)-(R2,CPE2)"},
    {"two_rq_l", "L0-R0-(R1,CPE1)-(R2,CPE2)"},
    {"randles", "R0-(R1-W1,CPE1)"},
    {"sei_randles", "R0-(R1,CPE1)-(R2-W2,CPE2)"},
    {"sei_randles_wo", "R0-(R1,CPE1)-(R2-Wo2,CPE2)"},
}};

std::span<const Entry> entries();

// The keys in registry order.
std::vector<std::string> names();

// "'rc', 'rc_l', ..." : every key in single quotes, joined by ", ".
std::string quoted_names();

// The notation of the model whose key equals `text` ignoring ASCII case.
std::optional<std::string_view> notation_for_key(std::string_view text);

// What the Circuit constructor accepts: the text is trimmed, a model key is
// replaced by its notation, and the result parsed. A parse failure gives the
// full error report, echoing the text that was parsed.
Result<SeriesList, std::string> parse_circuit_text(std::string_view text);

}  // namespace kovrant::model_table
