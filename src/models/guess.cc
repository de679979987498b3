#include "models/guess.h"

#include <cmath>
#include <memory>
#include <mutex>

#include "circuit/params.h"
#include "circuit/parser.h"
#include "models/external.h"
#include "models/model_table.h"
#include "models/registry.h"
#include "nn/network.h"
#include "util/portable_math.h"
#include "util/text.h"

namespace kovrant {
namespace {

// The network chosen for a circuit, how its outputs map onto the circuit,
// and what the network's outputs must count.
struct Selection {
  std::shared_ptr<const Guesser> network;  // a built-in one is never freed
  TopologyMatch match;
  std::size_t circuit_params = 0;  // parameters of the network's own circuit
  std::string source;              // the path or model key, for messages
};

Result<Selection, std::string> select_external(const SeriesList& nodes, const std::string& path) {
  std::unique_lock<std::mutex> lock(EXTERNAL.mutex);
  const auto network = load_external(path, lock);
  if (!network) return network.error().message();
  const std::string& circuit = network.value()->circuit;
  const auto tree = parse(circuit);
  if (!tree) return NnError::unparsable("circuit " + debug_quote(circuit) + " in " + path).message();
  auto match = match_or_expand(tree.value(), nodes);
  if (!match) {
    return NnError::unparsable(path + " was trained for " + debug_quote(circuit) + ", which is a different circuit")
        .message();
  }
  return Selection{network.value(), std::move(*match), param_count(tree.value()), path};
}

Result<Selection, std::string> select_builtin(const SeriesList& nodes) {
  auto found = find_for_topology(nodes);
  if (!found) {
    return "No training data on this circuit. Machine-learning based initial parameters available for " +
           model_table::quoted_names();
  }
  const auto network = found->model->guesser();
  if (!network) return NnError::unparsable(network.error()).message();
  // The built-in networks live as long as the process: nothing to own.
  const std::shared_ptr<const Guesser> unowned(std::shared_ptr<const Guesser>{}, network.value());
  return Selection{unowned, std::move(found->match), found->model_params, std::string(found->model->key)};
}

}  // namespace

std::vector<double> collapse_expanded(const SeriesList& nodes, std::span<const double> expanded_values) {
  std::vector<double> values;
  std::size_t cursor = 0;
  for (const Leaf& leaf : collect_leaves(nodes)) {
    const Kind kind = leaf.element->kind;
    if (kind == Kind::K) {
      const double r = expanded_values[cursor], c = expanded_values[cursor + 1];
      values.insert(values.end(), {r, r * c});
      cursor += 2;
    } else if (kind == Kind::Zarc) {
      const double r = expanded_values[cursor], q = expanded_values[cursor + 1], alpha = expanded_values[cursor + 2];
      values.insert(values.end(), {r, portable_pow(r * q, 1.0 / std::fmax(alpha, 1e-6)), alpha});
      cursor += 3;
    } else {
      const std::size_t count = static_cast<std::size_t>(leaf.element->param_count());
      values.insert(values.end(), expanded_values.begin() + static_cast<std::ptrdiff_t>(cursor),
                    expanded_values.begin() + static_cast<std::ptrdiff_t>(cursor + count));
      cursor += count;
    }
  }
  return values;
}

Result<std::vector<double>, std::string> guess_params(const SeriesList& nodes, std::span<const double> frequencies,
                                                      std::span<const Complex> impedances,
                                                      const std::optional<std::string>& weights) {
  auto selected = weights ? select_external(nodes, *weights) : select_builtin(nodes);
  if (!selected) return selected.error();
  const Selection& selection = selected.value();

  const std::size_t points = std::min(frequencies.size(), impedances.size());
  if (points < 2) return NnError::too_few_points(points).message();

  const Guesser& network = *selection.network;
  if (network.param_names.size() != selection.circuit_params) {
    return NnError::unparsable(selection.source + ": param_names lists " + std::to_string(network.param_names.size()) +
                               " names but circuit " + network.circuit + " has " +
                               std::to_string(selection.circuit_params) + " parameters")
        .message();
  }

  const auto outputs = infer(network, frequencies, impedances);
  if (!outputs) return outputs.error().message();
  const std::vector<std::size_t>& perm = selection.match.perm;
  std::vector<double> mapped(perm.size());
  for (std::size_t u = 0; u < perm.size(); ++u) mapped[u] = outputs.value()[perm[u]];
  if (!selection.match.expanded) return mapped;
  return collapse_expanded(nodes, mapped);
}

}  // namespace kovrant
