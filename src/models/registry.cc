#include "models/registry.h"

#include "circuit/params.h"
#include "circuit/parser.h"
#include "circuit/tree.h"
#include "models/embedded_models.h"
#include "models/model_table.h"
#include "util/text.h"

namespace kovrant {
namespace {

// ["R0.r", "R1.r"]
std::string quoted_list(const std::vector<std::string>& items) {
  std::string text = "[";
  for (std::size_t i = 0; i < items.size(); ++i) {
    if (i > 0) text += ", ";
    text += debug_quote(items[i]);
  }
  return text + "]";
}

std::string absent_weights_text(std::string_view key) {
  return "no weights were built into this module for model " + debug_quote(key) + " (data/models/" + std::string(key) +
         ".eisnn was absent at build time)";
}

}  // namespace

// Every model, built from its row of the one model table.
template <std::size_t... Row>
constexpr std::array<Model, sizeof...(Row)> models_from_table(std::index_sequence<Row...>) {
  return {{Model(model_table::kModelEntries[Row].key, model_table::kModelEntries[Row].circuit)...}};
}

constinit std::array<Model, kModelCount> MODELS = models_from_table(std::make_index_sequence<kModelCount>());

std::span<const unsigned char> Model::weights() const {
  for (const EmbeddedModelFile& file : embedded_model_files()) {
    if (file.key == key) return file.bytes;
  }
  return {};
}

Result<const Guesser*, std::string> Model::guesser() const {
  return slot_.get([this]() -> Result<Guesser, std::string> {
    const auto bytes = weights();
    if (bytes.empty()) return absent_weights_text(key);
    auto loaded = load_registered(key, circuit, bytes);
    if (!loaded) return loaded.error().message();
    return std::move(loaded.value());
  });
}

const Model* find_model(std::string_view key) {
  for (const Model& model : MODELS) {
    if (model.key == key) return &model;
  }
  return nullptr;
}

Result<Guesser, NnError> load_registered(std::string_view key, std::string_view circuit,
                                         std::span<const unsigned char> bytes) {
  auto loaded = Guesser::from_bytes(bytes);
  if (!loaded) return loaded.error();
  const Guesser& guesser = loaded.value();
  if (guesser.circuit != circuit) {
    return NnError::unparsable("model " + debug_quote(key) + " is registered as " + debug_quote(circuit) +
                               " but its weights were trained for " + debug_quote(guesser.circuit));
  }
  const auto tree = parse(circuit);
  if (!tree) return NnError::unparsable("registry circuit " + debug_quote(circuit));
  const std::vector<std::string> expected = param_names(tree.value());
  if (guesser.param_names != expected) {
    return NnError::unparsable("model " + debug_quote(key) + " has parameters " + quoted_list(guesser.param_names) +
                               ", expected " + quoted_list(expected));
  }
  return loaded;
}

namespace {

// A registry circuit as the topology search needs it.
struct ParsedModel {
  bool parsed = false;
  Canonical form;
  std::size_t param_count = 0;
};

// The canonical forms of MODELS, in the same order; computed on first use
// (thread-safe) because every fit and guess searches them.
const std::array<ParsedModel, kModelCount>& parsed_models() {
  static const std::array<ParsedModel, kModelCount> parsed = [] {
    std::array<ParsedModel, kModelCount> models;
    for (std::size_t i = 0; i < kModelCount; ++i) {
      const auto tree = parse(MODELS[i].circuit);
      if (tree) models[i] = ParsedModel{true, canonical(tree.value()), param_count(tree.value())};
    }
    return models;
  }();
  return parsed;
}

std::optional<ModelMatch> first_match(const Canonical& user_form, bool expanded) {
  const auto& parsed = parsed_models();
  for (std::size_t i = 0; i < kModelCount; ++i) {
    if (!parsed[i].parsed) continue;
    if (auto perm = match_forms(parsed[i].form, user_form)) {
      return ModelMatch{&MODELS[i], TopologyMatch{std::move(*perm), expanded}, parsed[i].param_count};
    }
  }
  return std::nullopt;
}

}  // namespace

// No model circuit holds a K or a Zarc, so a tree that has one matches only
// through its expansion and one that has none matches only as written: trying
// every model on the written tree first finds the same model as trying both
// forms model by model.
std::optional<ModelMatch> find_for_topology(const SeriesList& user) {
  if (auto found = first_match(canonical(user), false)) return found;
  bool changed = false;
  const SeriesList expanded = expand_series(user, changed);
  if (!changed) return std::nullopt;
  return first_match(canonical(expanded), true);
}

}  // namespace kovrant
