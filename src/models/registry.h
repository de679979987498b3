// The built-in guesser models: keys, circuits, embedded weights, and the
// search for the model that serves a circuit.
//
// Contract: MODELS holds one entry per row of model_table::kModelEntries, in
// that order, which is the search order and the order of every listing. Each model's network is loaded
// from the bytes embedded at build time (embedded_model_files(), by key) on the
// first call of guesser(), exactly once per process even under concurrent
// first calls; the loaded network or the text of the load failure is kept for
// the life of the process and never retried. A model whose weight file was
// absent at build time reports that as its load failure. The key -> circuit
// table here is also what the Circuit constructor accepts in place of notation.
#pragma once

#include <array>
#include <cstddef>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "circuit/tree.h"
#include "models/model_table.h"
#include "models/topology.h"
#include "nn/guesser.h"
#include "util/result.h"

namespace kovrant {

// A once-only slot for a network: the first get() runs `load` and keeps its
// result; every call returns that same result. Thread-safe; stored networks
// and texts are never freed, so returned pointers stay valid until exit.
class GuesserSlot {
 public:
  constexpr GuesserSlot() = default;
  GuesserSlot(const GuesserSlot&) = delete;
  GuesserSlot& operator=(const GuesserSlot&) = delete;

  template <typename Load>  // Load: () -> Result<Guesser, std::string>
  Result<const Guesser*, std::string> get(Load&& load) const {
    std::call_once(once_, [&] {
      auto loaded = load();
      if (loaded) {
        guesser_ = new Guesser(std::move(loaded.value()));
      } else {
        error_ = new std::string(loaded.error());
      }
    });
    if (guesser_ != nullptr) return guesser_;
    return *error_;
  }

 private:
  mutable std::once_flag once_;
  mutable const Guesser* guesser_ = nullptr;
  mutable const std::string* error_ = nullptr;
};

class Model {
 public:
  constexpr Model(std::string_view model_key, std::string_view model_circuit)
      : key(model_key), circuit(model_circuit) {}

  const std::string_view key;
  const std::string_view circuit;

  // The embedded EISNN001 bytes; empty when no file was built in.
  std::span<const unsigned char> weights() const;

  // The loaded network, or the display text of its load failure.
  Result<const Guesser*, std::string> guesser() const;

 private:
  GuesserSlot slot_;
};

inline constexpr std::size_t kModelCount = model_table::kModelEntries.size();
extern std::array<Model, kModelCount> MODELS;

// The model with this key, if any.
const Model* find_model(std::string_view key);

// Loads `bytes` as the weights of a model registered as (key, circuit) and
// checks that the file was trained for exactly that circuit and lists its
// parameter names; a failed check is Unparsable with the explanation.
Result<Guesser, NnError> load_registered(std::string_view key, std::string_view circuit,
                                         std::span<const unsigned char> bytes);

struct ModelMatch {
  const Model* model = nullptr;
  TopologyMatch match;
  std::size_t model_params = 0;  // parameter count of the model's circuit
};

// The first model in table order whose circuit matches `user` (directly or
// through the K/Zarc expansion). The model circuits are parsed and put in
// canonical form once per process; `user` is brought into canonical form at
// most twice (as written and expanded), whatever the number of models.
std::optional<ModelMatch> find_for_topology(const SeriesList& user);

}  // namespace kovrant
