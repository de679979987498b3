#include "models/guess.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <thread>

#include "circuit/params.h"
#include "circuit/parser.h"
#include "eisnn_builder.h"
#include "models/registry.h"
#include "nn/network.h"
#include "test_trees.h"

namespace kovrant {
namespace {

struct Spectrum {
  std::vector<double> f;
  std::vector<Complex> z;
};

// R0 + R1 || CPE1, 30 points over six decades.
Spectrum sample_spectrum() {
  Spectrum s;
  for (int i = 0; i < 30; ++i) {
    const double f = std::pow(10.0, -1.0 + 6.0 * i / 29.0);
    const double w = kTwoPi * f;
    const Complex cpe_admittance{1e-4 * std::pow(w, 0.85) * std::cos(0.85 * M_PI / 2),
                                 1e-4 * std::pow(w, 0.85) * std::sin(0.85 * M_PI / 2)};
    const Complex z_par = reciprocal(Complex{1.0 / 40.0, 0.0} + cpe_admittance);
    s.f.push_back(f);
    s.z.push_back({5.0 + z_par.re, z_par.im});
  }
  return s;
}

struct NetworkFile {
  std::string path;
  Guesser network;
};

NetworkFile network_file(const std::string& name, const std::string& circuit, const std::string& names,
                         std::uint64_t seed = 31) {
  std::mt19937_64 rng(seed);
  testing::NetworkShape shape;
  shape.circuit = circuit;
  shape.param_names = names;
  const std::vector<unsigned char> bytes = testing::random_network(shape, rng).bytes();
  auto loaded = Guesser::from_bytes(bytes);
  EXPECT_TRUE(loaded.ok());
  return {testing::write_temp_file(name, bytes), loaded ? std::move(loaded.value()) : Guesser{}};
}

const NetworkFile& rc_file() {
  static const NetworkFile file = network_file("guess_rc.eisnn", "R0-(R1,C1)", "R0.r,R1.r,C1.c");
  return file;
}

const NetworkFile& rq_file() {
  static const NetworkFile file = network_file("guess_rq.eisnn", "R0-(R1,CPE1)", "R0.r,R1.r,CPE1.q,CPE1.alpha");
  return file;
}

std::vector<double> direct_outputs(const Guesser& network, const Spectrum& s) {
  auto out = infer(network, s.f, s.z);
  EXPECT_TRUE(out.ok());
  return out ? out.value() : std::vector<double>{};
}

Result<std::vector<double>, std::string> guess(const std::string& circuit, const Spectrum& s,
                                               const std::optional<std::string>& weights) {
  return guess_params(tree(circuit), s.f, s.z, weights);
}

std::string guess_error(const std::string& circuit, const Spectrum& s, const std::optional<std::string>& weights) {
  const auto result = guess(circuit, s, weights);
  return result ? "ok" : result.error();
}

TEST(GuessParams, PermutesOutputsOntoTheUserOrder) {
  const Spectrum s = sample_spectrum();
  const std::vector<double> raw = direct_outputs(rc_file().network, s);  // R0, R1, C1
  const auto values = guess("(R1,C2)-R3", s, rc_file().path);
  ASSERT_TRUE(values.ok()) << values.error();
  EXPECT_EQ(values.value(), (std::vector<double>{raw[1], raw[2], raw[0]}));
  const auto same_order = guess("(C1,R1)-R0", s, rc_file().path);
  ASSERT_TRUE(same_order.ok());
  EXPECT_EQ(same_order.value(), (std::vector<double>{raw[2], raw[1], raw[0]}));
}

TEST(GuessParams, ZarcIsRebuiltFromTheRqOutputs) {
  const Spectrum s = sample_spectrum();
  const std::vector<double> raw = direct_outputs(rq_file().network, s);  // R0, R1, Q, alpha
  const auto values = guess("R0-Zarc1", s, rq_file().path);
  ASSERT_TRUE(values.ok()) << values.error();
  ASSERT_EQ(values.value().size(), 4u);
  EXPECT_EQ(values.value()[0], raw[0]);
  EXPECT_EQ(values.value()[1], raw[1]);
  EXPECT_EQ(values.value()[2], std::pow(raw[1] * raw[2], 1.0 / raw[3]));
  EXPECT_EQ(values.value()[3], raw[3]);
  EXPECT_GE(raw[3], 0.05);
  EXPECT_LE(raw[3], 1.0);
}

TEST(GuessParams, KIsRebuiltFromTheRcOutputs) {
  const Spectrum s = sample_spectrum();
  const std::vector<double> raw = direct_outputs(rc_file().network, s);
  const auto values = guess("K1-R0", s, rc_file().path);
  ASSERT_TRUE(values.ok()) << values.error();
  EXPECT_EQ(values.value(), (std::vector<double>{raw[1], raw[1] * raw[2], raw[0]}));
}

TEST(GuessParams, OnePointIsTooFewOnceAModelIsFound) {
  Spectrum one = sample_spectrum();
  one.f.resize(1);
  one.z.resize(1);
  EXPECT_EQ(guess_error("R0-(R1,C1)", one, rc_file().path), "need at least 2 frequency points to guess, got 1");
  Spectrum short_z = sample_spectrum();
  short_z.z.clear();
  EXPECT_EQ(guess_error("R0-(R1,C1)", short_z, rc_file().path), "need at least 2 frequency points to guess, got 0");
  // Without a model the topology error comes first.
  EXPECT_EQ(guess_error("R0", one, std::nullopt),
            "No training data on this circuit. Machine-learning based initial parameters available for 'rc', "
            "'rc_l', 'rq', 'rq_l', 'two_rc', 'two_rc_l', 'two_rq', 'two_rq_l', 'randles', 'sei_randles', "
            "'sei_randles_wo'");
}

TEST(GuessParams, WeightsForAnotherTopologyAreRefused) {
  const Spectrum s = sample_spectrum();
  EXPECT_EQ(guess_error("R0-(R1,CPE1)", s, rc_file().path),
            "weight file has an unparsable value for \"" + rc_file().path +
                " was trained for \\\"R0-(R1,C1)\\\", which is a different circuit\"");
  EXPECT_EQ(guess_error("R0-(R1,K1)", s, std::nullopt).substr(0, 33), "No training data on this circuit.");
}

TEST(GuessParams, WeightFileProblemsUseTheirMessages) {
  const Spectrum s = sample_spectrum();
  EXPECT_EQ(guess_error("R0", s, ::testing::TempDir() + "kovrant_absent.eisnn"),
            "reading weights: No such file or directory");
  const std::string truncated = testing::write_temp_file("guess_truncated.eisnn", {'E', 'I', 'S', 'N', 'N'});
  EXPECT_EQ(guess_error("R0", s, truncated), "weight file is truncated");
  const std::string bad_circuit = network_file("guess_bad_circuit.eisnn", "R0-(", "R0.r").path;
  EXPECT_EQ(guess_error("R0", s, bad_circuit),
            "weight file has an unparsable value for \"circuit \\\"R0-(\\\" in " + bad_circuit + "\"");
}

TEST(GuessParams, NamesThatDoNotCountTheCircuitAreRefused) {
  const Spectrum s = sample_spectrum();
  const std::string path = network_file("guess_short_names.eisnn", "R0-(R1,C1)", "R0.r,R1.r").path;
  EXPECT_EQ(guess_error("R0-(R1,C1)", s, path),
            "weight file has an unparsable value for \"" + path +
                ": param_names lists 2 names but circuit R0-(R1,C1) has 3 parameters\"");
}

TEST(GuessParams, TensorProblemsAreReportedWhenTheNetworkRuns) {
  const Spectrum s = sample_spectrum();
  std::mt19937_64 rng(41);
  testing::NetworkShape shape;
  shape.omitted_tensor = "w.blocks.1.norm1.bias";
  const std::string missing =
      testing::write_temp_file("guess_missing.eisnn", testing::random_network(shape, rng).bytes());
  EXPECT_EQ(guess_error("R0-(R1,C1)", s, missing), "weight file is missing \"w.blocks.1.norm1.bias\"");

  shape.omitted_tensor.clear();
  testing::EisnnBuilder builder = testing::random_network(shape, rng);
  builder.vector_f32("w.head.4.bias", {0.0f});  // replaces the full one
  const std::string short_bias = testing::write_temp_file("guess_short_bias.eisnn", builder.bytes());
  EXPECT_EQ(guess_error("R0-(R1,C1)", s, short_bias), "tensor \"w.head.4.bias\" has 1 elements, expected 6");
}

TEST(GuessParams, BuiltInModelsServeOrExplainTheirAbsence) {
  const Spectrum s = sample_spectrum();
  const auto values = guess("(R5,C9)-R2", s, std::nullopt);
  const Model& rc = *find_model("rc");
  if (rc.weights().empty()) {
    ASSERT_FALSE(values.ok());
    EXPECT_EQ(values.error(),
              "weight file has an unparsable value for \"no weights were built into this module for model \\\"rc\\\" "
              "(data/models/rc.eisnn was absent at build time)\"");
  } else {
    ASSERT_TRUE(values.ok()) << values.error();
    EXPECT_EQ(values.value().size(), 3u);
  }
}

TEST(GuessParams, ConcurrentGuessesAgree) {
  const Spectrum s = sample_spectrum();
  const std::string path = network_file("guess_concurrent.eisnn", "R0-(R1,C1)", "R0.r,R1.r,C1.c", 77).path;
  std::vector<std::vector<double>> results(8);
  std::vector<std::thread> threads;
  for (std::size_t i = 0; i < results.size(); ++i) {
    threads.emplace_back([&, i] {
      const auto values = guess("R0-(R1,C1)", s, path);
      if (values) results[i] = values.value();
    });
  }
  for (std::thread& t : threads) t.join();
  ASSERT_EQ(results[0].size(), 3u);
  for (const auto& r : results) EXPECT_EQ(r, results[0]);
}

TEST(CollapseExpanded, RebuildsShorthandParameters) {
  // K1 (r, tau_k), R0, Zarc2 (r, tau_k, gamma) expand to R,C, R, R,Cpe(q, alpha).
  const std::vector<double> expanded = {2.0, 3.0, 7.0, 4.0, 0.25, 0.5};
  EXPECT_EQ(collapse_expanded(tree("K1-R0-Zarc2"), expanded), (std::vector<double>{2.0, 6.0, 7.0, 4.0, 1.0, 0.5}));
}

TEST(CollapseExpanded, ExponentGuardsSmallAndNanAlpha) {
  const double big = 1.0 / 1e-6;
  EXPECT_EQ(collapse_expanded(tree("Zarc0"), std::vector<double>{1.0, 1.5, 1e-9})[1], std::pow(1.5, big));
  const std::vector<double> nan_alpha = collapse_expanded(tree("Zarc0"), std::vector<double>{1.0, 0.999, NAN});
  EXPECT_EQ(nan_alpha[1], std::pow(0.999, big));
  EXPECT_TRUE(std::isnan(nan_alpha[2]));
}

}  // namespace
}  // namespace kovrant
