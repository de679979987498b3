#include "models/registry.h"

#include "circuit/params.h"
#include "circuit/parser.h"
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

constinit std::array<Model, kModelCount> MODELS = {{
    Model(model_table::kModelEntries[0].key, model_table::kModelEntries[0].circuit),
    Model(model_table::kModelEntries[1].key, model_table::kModelEntries[1].circuit),
    Model(model_table::kModelEntries[2].key, model_table::kModelEntries[2].circuit),
    Model(model_table::kModelEntries[3].key, model_table::kModelEntries[3].circuit),
    Model(model_table::kModelEntries[4].key, model_table::kModelEntries[4].circuit),
    Model(model_table::kModelEntries[5].key, model_table::kModelEntries[5].circuit),
    Model(model_table::kModelEntries[6].key, model_table::kModelEntries[6].circuit),
    Model(model_table::kModelEntries[7].key, model_table::kModelEntries[7].circuit),
    Model(model_table::kModelEntries[8].key, model_table::kModelEntries[8].circuit),
    Model(model_table::kModelEntries[9].key, model_table::kModelEntries[9].circuit),
    Model(model_table::kModelEntries[10].key, model_table::kModelEntries[10].circuit),
}};

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

std::optional<ModelMatch> find_for_topology(const SeriesList& user) {
  for (const Model& model : MODELS) {
    const auto tree = parse(model.circuit);
    if (!tree) continue;
    if (auto match = match_or_expand(tree.value(), user)) {
      return ModelMatch{&model, std::move(*match), param_count(tree.value())};
    }
  }
  return std::nullopt;
}

}  // namespace kovrant
