#include "models/registry.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <random>
#include <thread>

#include "circuit/params.h"
#include "eisnn_builder.h"
#include "test_trees.h"

namespace kovrant {
namespace {

TEST(Registry, ListsTheElevenModelsInOrder) {
  std::vector<std::string_view> keys;
  for (const Model& model : MODELS) {
    keys.push_back(model.key);
    EXPECT_TRUE(parse(model.circuit).ok()) << model.key;
  }
  EXPECT_EQ(keys, (std::vector<std::string_view>{"rc", "rc_l", "rq", "rq_l", "two_rc", "two_rc_l", "two_rq", "two_rq_l",
                                                 "randles", "sei_randles", "sei_randles_wo"}));
  ASSERT_NE(find_model("randles"), nullptr);
  EXPECT_EQ(find_model("randles")->circuit, "R0-(R1-W1,CPE1)");
  EXPECT_EQ(find_model("sei_randles_wo")->circuit, "R0-(R1,CPE1)-(R2-Wo2,CPE2)");
  EXPECT_EQ(find_model("RC"), nullptr);
}

TEST(FindForTopology, PicksTheFirstMatchingModel) {
  struct Case {
    const char* circuit;
    const char* model;  // nullptr: no model
    bool expanded;
  };
  const Case cases[] = {
      {"R0-(R1,C1)", "rc", false},
      {"(C1,R1)-R0", "rc", false},
      {"(R5,C9)-R2", "rc", false},
      {"R0-(R1,CPE1)-(R2,CPE2)", "two_rq", false},
      {"(R2,CPE2)-R0-(R1,CPE1)", "two_rq", false},
      {"R0-Zarc1", "rq", true},
      {"R0-K1", "rc", true},
      {"R0-(R1-W1,CPE1)", "randles", false},
      {"R0-(W1-R1,CPE1)", "randles", false},
      {"R0-(R1,C1)-L0", "rc_l", false},
      {"L0-R0-K1-K2", "two_rc_l", true},
      {"R0-Zarc1-(R2-Wo2,CPE2)", "sei_randles_wo", true},
      {"L0-R0-K1-Zarc2", nullptr, false},
      {"R0", nullptr, false},
      {"R0-(R1,K1)", nullptr, false},  // a K no model covers, even after expansion
      {"R0-(R1,C1)-W1", nullptr, false},
  };
  for (const Case& c : cases) {
    const auto found = find_for_topology(tree(c.circuit));
    if (c.model == nullptr) {
      EXPECT_FALSE(found.has_value()) << c.circuit << " found " << found->model->key;
      continue;
    }
    ASSERT_TRUE(found.has_value()) << c.circuit;
    EXPECT_EQ(found->model->key, c.model) << c.circuit;
    EXPECT_EQ(found->match.expanded, c.expanded) << c.circuit;
    EXPECT_EQ(found->model_params, param_count(tree(std::string(found->model->circuit)))) << c.circuit;
  }
}

// find_for_topology tries the written tree on every model before the K/Zarc
// expansion, which finds the first model in table order only while no model
// circuit itself needs expanding.
TEST(Registry, NoModelCircuitHoldsAnythingToExpand) {
  for (const Model& model : MODELS) {
    bool changed = false;
    expand_series(tree(std::string(model.circuit)), changed);
    EXPECT_FALSE(changed) << model.key;
  }
}

TEST(LoadRegistered, ReportsEachCheckInOrder) {
  const auto error = [](const std::string& key, const std::string& circuit, const std::string& file_circuit,
                        const std::string& file_names) {
    std::mt19937_64 rng(11);
    testing::NetworkShape shape;
    shape.circuit = file_circuit;
    shape.param_names = file_names;
    const auto loaded = load_registered(key, circuit, testing::random_network(shape, rng).bytes());
    return loaded ? "loaded" : loaded.error().message();
  };
  EXPECT_EQ(error("rc", "R0-(R1,C1)", "R0-(R1,C1)", "R0.r,R1.r,C1.c"), "loaded");
  EXPECT_EQ(error("rc", "R0-(R1,C1)", "R0-(R1,CPE1)", "R0.r,R1.r,C1.c"),
            "weight file has an unparsable value for \"model \\\"rc\\\" is registered as \\\"R0-(R1,C1)\\\" but its "
            "weights were trained for \\\"R0-(R1,CPE1)\\\"\"");
  EXPECT_EQ(error("odd", "R0-(", "R0-(", "R0.r"),
            "weight file has an unparsable value for \"registry circuit \\\"R0-(\\\"\"");
  EXPECT_EQ(error("rc", "R0-(R1,C1)", "R0-(R1,C1)", "R0.r,C1.c,R1.r"),
            "weight file has an unparsable value for \"model \\\"rc\\\" has parameters [\\\"R0.r\\\", \\\"C1.c\\\", "
            "\\\"R1.r\\\"], expected [\\\"R0.r\\\", \\\"R1.r\\\", \\\"C1.c\\\"]\"");
  const auto truncated = load_registered("rc", "R0-(R1,C1)", std::vector<unsigned char>{'E', 'I'});
  ASSERT_FALSE(truncated.ok());
  EXPECT_EQ(truncated.error().message(), "weight file is truncated");
}

// Slots are static here as in the registry: what they load lives until exit.
TEST(GuesserSlot, LoadsOnceUnderConcurrentFirstCalls) {
  static GuesserSlot slot;
  std::atomic<int> loads{0};
  const auto loader = [&]() -> Result<Guesser, std::string> {
    ++loads;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));  // widens the window for a second load
    Guesser g;
    g.circuit = "R0";
    return g;
  };
  std::vector<const Guesser*> seen(16, nullptr);
  std::vector<std::thread> threads;
  for (std::size_t i = 0; i < seen.size(); ++i) {
    threads.emplace_back([&, i] {
      const auto got = slot.get(loader);
      if (got) seen[i] = got.value();
    });
  }
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(loads.load(), 1);
  ASSERT_NE(seen[0], nullptr);
  for (const Guesser* g : seen) EXPECT_EQ(g, seen[0]);
  EXPECT_EQ(seen[0]->circuit, "R0");
}

TEST(GuesserSlot, KeepsAFailureAndNeverRetries) {
  static GuesserSlot slot;
  int loads = 0;
  const auto first = slot.get([&]() -> Result<Guesser, std::string> {
    ++loads;
    return std::string("broken");
  });
  const auto second = slot.get([&]() -> Result<Guesser, std::string> {
    ++loads;
    return Guesser{};
  });
  ASSERT_FALSE(first.ok());
  ASSERT_FALSE(second.ok());
  EXPECT_EQ(first.error(), "broken");
  EXPECT_EQ(second.error(), "broken");
  EXPECT_EQ(loads, 1);
}

TEST(Model, BuiltInNetworksLoadOrExplainTheirAbsence) {
  for (const Model& model : MODELS) {
    const auto network = model.guesser();
    const std::string key(model.key);
    if (model.weights().empty()) {
      ASSERT_FALSE(network.ok()) << key;
      EXPECT_EQ(network.error(), "no weights were built into this module for model \"" + key + "\" (data/models/" +
                                     key + ".eisnn was absent at build time)");
    } else {
      ASSERT_TRUE(network.ok()) << network.error();
      EXPECT_EQ(network.value()->circuit, model.circuit);
      EXPECT_EQ(model.guesser().value(), network.value()) << "loaded again";
    }
  }
}

}  // namespace
}  // namespace kovrant
