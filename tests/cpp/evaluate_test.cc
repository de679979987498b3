#include "circuit/evaluate.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>

#include "circuit/compiled_circuit.h"
#include "circuit/params.h"
#include "circuit/parser.h"

namespace kovrant {
namespace {

bool same_bits(Complex a, Complex b) { return std::memcmp(&a, &b, sizeof a) == 0; }

SeriesList with_values(const char* text, std::vector<double> values) { return rebuild(parse(text).value(), values); }

TEST(Impedance, ResistorsCapacitorsAndEmptyGroups) {
  const SeriesList rc = with_values("R0-(R1,C1)", {10.0, 100.0, 1e-3});
  const Complex at_zero = impedance(rc, 0.0);
  EXPECT_FALSE(std::isfinite(at_zero.re) && std::isfinite(at_zero.im));
  EXPECT_EQ(impedance(with_values("R0", {10.0}), 0.0), (Complex{10.0, 0.0}));
  const SeriesList halves = with_values("(R1,R2)", {100.0, 100.0});
  for (double omega : {0.0, 1.0, 1e6}) EXPECT_EQ(impedance(halves, omega), (Complex{50.0, 0.0}));
  EXPECT_EQ(impedance(SeriesList{}, 3.0), (Complex{0.0, 0.0}));
  EXPECT_TRUE(std::isnan(impedance(SeriesList{Node::parallel_node({})}, 2.0).re));
}

TEST(Impedance, ParallelBranchesFarOutsideTheSquareRangeOfDoubles) {
  const std::vector<double> omegas = {1.0, 1e3};
  for (const double r : {1e160, 1e-170, 1e300, 1e-300}) {
    const SeriesList halves = with_values("(R1,R2)", {r, r});
    const CompiledCircuit compiled(halves);
    auto workspace = compiled.make_workspace();
    std::vector<Complex> fast(omegas.size());
    compiled.evaluate(param_values(halves), omegas, fast, workspace);
    for (std::size_t i = 0; i < omegas.size(); ++i) {
      for (const Complex z : {impedance(halves, omegas[i]), fast[i]}) {
        EXPECT_NEAR(z.re, r / 2, 1e-15 * r) << r;
        EXPECT_EQ(z.im, 0.0) << r;
      }
    }
  }
}

// Random circuits over every kind, nested up to three levels.
SeriesList random_series(std::mt19937_64& rng, int depth) {
  SeriesList series;
  const int nodes = 1 + static_cast<int>(rng() % 3);
  for (int i = 0; i < nodes; ++i) {
    if (depth > 0 && rng() % 3 == 0) {
      std::vector<SeriesList> branches(1 + rng() % 3);
      for (auto& branch : branches) branch = random_series(rng, depth - 1);
      series.push_back(Node::parallel_node(std::move(branches)));
    } else {
      Element element;
      element.kind = all_kinds()[rng() % kKindCount];
      std::uniform_real_distribution<double> unit(0.05, 0.99);
      for (double& v : element.values) v = unit(rng);
      series.push_back(Node::element_node(element));
    }
  }
  return series;
}

TEST(Impedance, StoredValuesCursorAndCompiledFormAreBitIdentical) {
  std::mt19937_64 rng(7);
  std::vector<double> omegas;
  for (int i = 0; i < 200; ++i) omegas.push_back(std::pow(10.0, -3.0 + 9.0 * i / 199.0));
  omegas.push_back(0.0);
  for (int trial = 0; trial < 200; ++trial) {
    const SeriesList tree = random_series(rng, 3);
    const std::vector<double> values = param_values(tree);
    const CompiledCircuit compiled(tree);
    auto workspace = compiled.make_workspace();
    std::vector<Complex> fast(omegas.size());
    compiled.evaluate(values, omegas, fast, workspace);
    for (size_t i = 0; i < omegas.size(); ++i) {
      ValueCursor cursor{values.data(), values.data() + values.size()};
      const Complex from_cursor = series_impedance_with_params(tree, omegas[i], cursor);
      EXPECT_EQ(cursor.next, values.data() + values.size());
      const Complex stored = impedance(tree, omegas[i]);
      ASSERT_TRUE(same_bits(stored, from_cursor)) << trial;
      ASSERT_TRUE(same_bits(stored, fast[i]) || (std::isnan(stored.re) && std::isnan(fast[i].re))) << trial;
    }
  }
}

// Lists on either side of the pool's threshold, and one that does not split
// evenly between threads, give each point's own bits.
TEST(ImpedanceList, EqualsPointByPointOnEitherSideOfThePoolThreshold) {
  const SeriesList tree = with_values("L0-R0-(R1,CPE1)-(R2-Wo2,CPE2)",
                                      {1e-6, 0.02, 0.05, 1.5, 0.9, 0.1, 0.3, 20.0, 3.0, 0.8});
  for (size_t count : {kParallelThreshold - 1, kParallelThreshold, 2 * kParallelThreshold + 3}) {
    std::vector<double> hertz(count);
    for (size_t i = 0; i < count; ++i) hertz[i] = std::pow(10.0, -3.0 + 9.0 * static_cast<double>(i) / count);
    std::vector<Complex> list(count);
    impedance_list(tree, hertz, list);
    for (size_t i = 0; i < count; ++i) {
      std::vector<Complex> one(1);
      impedance_list(tree, std::span<const double>(hertz).subspan(i, 1), one);
      ASSERT_TRUE(same_bits(list[i], one[0])) << count << " points, point " << i;
    }
  }
}

TEST(CompiledCircuit, MapsParametersToLeaves) {
  const CompiledCircuit compiled(parse("R0-(R1-W1,CPE1)").value());
  EXPECT_EQ(compiled.leaf_count(), 4u);
  EXPECT_EQ(compiled.param_count(), 5u);
  const size_t expected_leaf[] = {0, 1, 2, 3, 3};
  for (size_t p = 0; p < 5; ++p) EXPECT_EQ(compiled.leaf_of_param(p), expected_leaf[p]);
  EXPECT_EQ(compiled.leaf_param_offset(3), 3u);
  EXPECT_EQ(compiled.leaf_kind(2), Kind::W);
}

}  // namespace
}  // namespace kovrant
