#include "models/guess.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>

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
    const double f = std::pow(10.0, -1.0 + 6.0 * i / 29.0), w = kTwoPi * f;
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

NetworkFile network_file(const std::string& name, const testing::NetworkShape& shape) {
  std::mt19937_64 rng(31);
  const std::vector<unsigned char> bytes = testing::random_network(shape, rng).bytes();
  auto loaded = Guesser::from_bytes(bytes);
  return {testing::write_temp_file(name, bytes), loaded ? std::move(loaded.value()) : Guesser{}};
}

NetworkFile network_file(const std::string& name, const std::string& circuit, const std::string& names) {
  testing::NetworkShape shape;
  shape.circuit = circuit;
  shape.param_names = names;
  return network_file(name, shape);
}

std::string guess_error(const std::string& circuit, const Spectrum& s, const std::optional<std::string>& weights) {
  const auto result = guess_params(tree(circuit), s.f, s.z, weights);
  return result ? "ok" : result.error();
}

TEST(GuessParams, MapsTheNetworkOutputsOntoTheUserCircuit) {
  const Spectrum s = sample_spectrum();
  const NetworkFile rc = network_file("guess_rc.eisnn", "R0-(R1,C1)", "R0.r,R1.r,C1.c");
  const NetworkFile rq = network_file("guess_rq.eisnn", "R0-(R1,CPE1)", "R0.r,R1.r,CPE1.q,CPE1.alpha");
  const auto c = infer(rc.network, s.f, s.z), q = infer(rq.network, s.f, s.z);  // in the networks' order
  ASSERT_TRUE(c.ok() && q.ok());
  const std::vector<double>& n = c.value();
  const std::vector<double>& m = q.value();
  const std::tuple<const char*, const NetworkFile*, std::vector<double>> cases[] = {
      {"(R1,C2)-R3", &rc, {n[1], n[2], n[0]}},
      {"(C1,R1)-R0", &rc, {n[2], n[1], n[0]}},
      {"K1-R0", &rc, {n[1], n[1] * n[2], n[0]}},  // K: r = R, tau_k = R * C
      {"R0-Zarc1", &rq, {m[0], m[1], std::pow(m[1] * m[2], 1.0 / m[3]), m[3]}},
  };
  for (const auto& [circuit, file, expected] : cases) {
    const auto values = guess_params(tree(circuit), s.f, s.z, file->path);
    ASSERT_TRUE(values.ok()) << circuit << ": " << values.error();
    EXPECT_EQ(values.value(), expected) << circuit;
  }
  EXPECT_GE(m[3], 0.05);
  EXPECT_LE(m[3], 1.0);
}

TEST(GuessParams, ReportsEachFailureWithItsMessage) {
  const Spectrum s = sample_spectrum();
  Spectrum one = s, no_impedances = s;
  one.f.resize(1);
  one.z.resize(1);
  no_impedances.z.clear();
  const std::string rc = network_file("guess_rc.eisnn", "R0-(R1,C1)", "R0.r,R1.r,C1.c").path;
  const std::string bad_circuit = network_file("guess_bad_circuit.eisnn", "R0-(", "R0.r").path;
  const std::string truncated = testing::write_temp_file("guess_truncated.eisnn", {'E', 'I', 'S', 'N', 'N'});
  testing::NetworkShape shape;
  shape.omitted_tensor = "w.blocks.1.norm1.bias";
  const std::string missing = network_file("guess_missing.eisnn", shape).path;
  std::mt19937_64 rng(41);
  testing::EisnnBuilder builder = testing::random_network({}, rng);
  builder.vector_f32("w.head.4.bias", {0.0f});  // replaces the full one
  const std::string short_bias = testing::write_temp_file("guess_short_bias.eisnn", builder.bytes());
  const std::string no_model =
      "No training data on this circuit. Machine-learning based initial parameters available for 'rc', 'rc_l', "
      "'rq', 'rq_l', 'two_rc', 'two_rc_l', 'two_rq', 'two_rq_l', 'randles', 'sei_randles', 'sei_randles_wo'";
  const auto unparsable = [](const std::string& what) {
    return "weight file has an unparsable value for \"" + what + "\"";
  };
  const auto names_file = [&](const char* name, const char* names) {
    return network_file(name, "R0-(R1,C1)", names).path;
  };
  const std::string short_names = names_file("guess_short_names.eisnn", "R0.r,R1.r");
  const std::string long_names = names_file("guess_long_names.eisnn", "R0.r,R1.r,C1.c,X.y");
  const std::string no_names = names_file("guess_no_names.eisnn", "");

  const std::tuple<const char*, const Spectrum*, std::optional<std::string>, std::string> cases[] = {
      {"R0-(R1,C1)", &one, rc, "need at least 2 frequency points to guess, got 1"},
      {"R0-(R1,C1)", &no_impedances, rc, "need at least 2 frequency points to guess, got 0"},
      {"R0", &one, std::nullopt, no_model},  // the topology is judged before the point count
      {"R0-(R1,K1)", &s, std::nullopt, no_model},
      {"R0-(R1,CPE1)", &s, rc, unparsable(rc + " was trained for \\\"R0-(R1,C1)\\\", which is a different circuit")},
      {"R0", &s, ::testing::TempDir() + "kovrant_absent.eisnn", "reading weights: No such file or directory"},
      {"R0", &s, truncated, "weight file is truncated"},
      {"R0", &s, bad_circuit, unparsable("circuit \\\"R0-(\\\" in " + bad_circuit)},
      {"R0-(R1,C1)", &s, short_names,
       unparsable(short_names + ": param_names lists 2 names but circuit R0-(R1,C1) has 3 parameters")},
      {"R0-(R1,C1)", &s, long_names,
       unparsable(long_names + ": param_names lists 4 names but circuit R0-(R1,C1) has 3 parameters")},
      {"R0-(R1,C1)", &s, no_names,
       unparsable(no_names + ": param_names lists 1 names but circuit R0-(R1,C1) has 3 parameters")},
      {"R0-(R1,C1)", &s, missing, "weight file is missing \"w.blocks.1.norm1.bias\""},
      {"R0-(R1,C1)", &s, short_bias, "tensor \"w.head.4.bias\" has 1 elements, expected 6"},
  };
  for (const auto& [circuit, spectrum, weights, message] : cases) {
    EXPECT_EQ(guess_error(circuit, *spectrum, weights), message) << circuit << " with " << weights.value_or("-");
  }
}

TEST(GuessParams, BuiltInModelsServeOrExplainTheirAbsence) {
  const Spectrum s = sample_spectrum();
  const auto values = guess_params(tree("(R5,C9)-R2"), s.f, s.z, std::nullopt);
  if (find_model("rc")->weights().empty()) {
    ASSERT_FALSE(values.ok());
    EXPECT_EQ(values.error(),
              "weight file has an unparsable value for \"no weights were built into this module for model \\\"rc\\\" "
              "(data/models/rc.eisnn was absent at build time)\"");
  } else {
    ASSERT_TRUE(values.ok()) << values.error();
    EXPECT_EQ(values.value().size(), 3u);
  }
}

TEST(CollapseExpanded, RebuildsShorthandParameters) {
  // K1 (r, tau_k), R0, Zarc2 (r, tau_k, gamma) expand to R,C, R, R,Cpe(q, alpha).
  const std::vector<double> expanded = {2.0, 3.0, 7.0, 4.0, 0.25, 0.5};
  EXPECT_EQ(collapse_expanded(tree("K1-R0-Zarc2"), expanded), (std::vector<double>{2.0, 6.0, 7.0, 4.0, 1.0, 0.5}));
  // The exponent 1 / alpha is guarded: alpha below 1e-6, or NaN, gives 1e6.
  const double big = 1.0 / 1e-6;
  EXPECT_EQ(collapse_expanded(tree("Zarc0"), std::vector<double>{1.0, 1.5, 1e-9})[1], std::pow(1.5, big));
  const std::vector<double> nan_alpha = collapse_expanded(tree("Zarc0"), std::vector<double>{1.0, 0.999, NAN});
  EXPECT_EQ(nan_alpha[1], std::pow(0.999, big));
  EXPECT_TRUE(std::isnan(nan_alpha[2]));
}

}  // namespace
}  // namespace kovrant
