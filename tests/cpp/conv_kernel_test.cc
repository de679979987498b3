// The blocked convolution must give the plain loop's bits on every shape it
// takes, including zero, signed-zero and non-finite weights, biases and inputs.
#include "nn/conv_kernel.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

#include "nn/network.h"

namespace kovrant {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNan = std::numeric_limits<double>::quiet_NaN();

// Equal bits; two NaNs count as equal, since which of two meeting NaNs
// propagates is the hardware's choice of operand order.
bool same_bits(double a, double b) {
  return std::bit_cast<std::uint64_t>(a) == std::bit_cast<std::uint64_t>(b) || (std::isnan(a) && std::isnan(b));
}

// Mostly ordinary numbers, with a given share of the awkward ones.
double draw(std::mt19937_64& rng, double special_share) {
  std::uniform_real_distribution<double> unit(0.0, 1.0);
  if (unit(rng) >= special_share) return std::normal_distribution<double>(0.0, 1.0)(rng);
  static const double kSpecial[] = {0.0, -0.0, kInf, -kInf, kNan, 1e-310, -1e300};
  return kSpecial[std::uniform_int_distribution<std::size_t>(0, std::size(kSpecial) - 1)(rng)];
}

struct Case {
  ConvShape shape;
  std::vector<double> weights, bias, x;
};

Case random_case(std::mt19937_64& rng, const ConvShape& shape, double special_share) {
  Case c{shape, {}, {}, {}};
  for (std::size_t n = 0; n < shape.out_channels * shape.in_channels * shape.taps; ++n) {
    c.weights.push_back(draw(rng, special_share));
  }
  for (std::size_t n = 0; n < shape.out_channels; ++n) c.bias.push_back(draw(rng, special_share));
  for (std::size_t n = 0; n < shape.in_channels * shape.length; ++n) c.x.push_back(draw(rng, special_share));
  return c;
}

void expect_blocked_matches_plain(const Case& c) {
  ASSERT_TRUE(blocked_conv_applies(c.shape));
  const std::size_t out = c.shape.out_channels * c.shape.length;
  std::vector<double> plain(out), blocked(out), scratch;
  plain_conv(c.shape, c.weights.data(), c.bias.data(), c.x.data(), plain.data());
  blocked_conv(c.shape, c.weights.data(), c.bias.data(), c.x.data(), blocked.data(), scratch);
  for (std::size_t n = 0; n < out; ++n) {
    ASSERT_TRUE(same_bits(plain[n], blocked[n]))
        << "channel " << n / c.shape.length << " position " << n % c.shape.length << ": " << plain[n] << " vs "
        << blocked[n] << " (length " << c.shape.length << ", taps " << c.shape.taps << ", dilation " << c.shape.dilation
        << ")";
  }
}

TEST(BlockedConv, BuiltInShapesMatchThePlainLoop) {
  std::mt19937_64 rng(11);
  for (std::size_t channels : {16, 32, 64}) {
    for (std::size_t dilation : {1, 2, 4, 8}) {
      expect_blocked_matches_plain(random_case(rng, {channels, channels, 64, 5, dilation}, 0.0));
    }
    expect_blocked_matches_plain(random_case(rng, {3, channels, 64, 5, 1}, 0.0));  // the stem
  }
}

TEST(BlockedConv, OddShapesMatchThePlainLoop) {
  std::mt19937_64 rng(12);
  for (std::size_t length : {1, 2, 3, 31, 32, 33, 40, 64, 65, 100}) {
    for (std::size_t taps : {1, 2, 3, 4, 5, 7, 16}) {
      for (std::size_t dilation : {std::size_t{1}, std::size_t{2}, std::size_t{5}, length}) {
        if (dilation > length) continue;
        expect_blocked_matches_plain(random_case(rng, {2, 3, length, taps, dilation}, 0.0));
      }
    }
  }
}

TEST(BlockedConv, SpecialValuesMatchThePlainLoop) {
  std::mt19937_64 rng(13);
  for (double share : {0.02, 0.2, 0.8}) {
    for (std::size_t length : {5, 32, 64, 70}) {
      for (std::size_t dilation : {1, 4}) {
        for (int trial = 0; trial < 4; ++trial) {
          expect_blocked_matches_plain(random_case(rng, {4, 6, length, 5, dilation}, share));
        }
      }
    }
  }
}

TEST(BlockedConv, NegativeZeroBiasSurvivesPaddingReads) {
  // Position 0 only ever sees -0.0 * 1.0 = -0.0 from the input, and its
  // other taps fall into the padding: the plain loop keeps the bias's -0.0.
  Case c{{1, 1, 4, 3, 1}, {1.0, 1.0, -1.0}, {-0.0}, {-0.0, 0.0, 0.0, 0.0}};
  std::vector<double> y(4), scratch;
  blocked_conv(c.shape, c.weights.data(), c.bias.data(), c.x.data(), y.data(), scratch);
  EXPECT_EQ(std::bit_cast<std::uint64_t>(y[0]), std::bit_cast<std::uint64_t>(-0.0));
  expect_blocked_matches_plain(c);
}

TEST(BlockedConv, InfiniteTapDoesNotReachPastTheEdge) {
  // inf * 0.0 would be NaN if the padding were read as input.
  Case c{{1, 1, 3, 3, 1}, {kInf, 1.0, 1.0}, {0.5}, {1.0, 2.0, 3.0}};
  std::vector<double> y(3), scratch;
  blocked_conv(c.shape, c.weights.data(), c.bias.data(), c.x.data(), y.data(), scratch);
  EXPECT_EQ(y[0], 0.5 + 1.0 + 2.0);
  EXPECT_EQ(y[1], kInf);
  expect_blocked_matches_plain(c);
}

TEST(BlockedConv, ZeroTapIsSkippedOnTheFastPath) {
  // An ordinary bias and finite taps take the fast path; the zero tap still
  // must not multiply the infinite input into a NaN.
  Case c{{1, 1, 3, 3, 1}, {2.0, 0.0, 1.0}, {0.25}, {1.0, kInf, 3.0}};
  std::vector<double> y(3), scratch;
  blocked_conv(c.shape, c.weights.data(), c.bias.data(), c.x.data(), y.data(), scratch);
  EXPECT_EQ(y[0], 0.25 + kInf);
  EXPECT_EQ(y[1], 0.25 + 2.0 + 3.0);
  expect_blocked_matches_plain(c);
}

TEST(BlockedConv, AppliesOnlyToBoundedShapes) {
  EXPECT_TRUE(blocked_conv_applies({32, 32, 64, 5, 8}));
  EXPECT_TRUE(blocked_conv_applies({1, 1, 1, 1, 1}));
  EXPECT_FALSE(blocked_conv_applies({1, 1, 0, 5, 1}));
  EXPECT_FALSE(blocked_conv_applies({1, 1, 64, 0, 1}));
  EXPECT_FALSE(blocked_conv_applies({1, 1, 64, kMaxBlockedTaps + 1, 1}));
  EXPECT_FALSE(blocked_conv_applies({1, 1, 64, 5, 65}));
}

TEST(GeluInPlace, MatchesGeluValueByValue) {
  std::mt19937_64 rng(14);
  std::vector<double> values;
  for (int n = 0; n < 1000; ++n) values.push_back(draw(rng, 0.05) * 4.0);  // crosses the chunk size
  std::vector<double> expected;
  for (double v : values) expected.push_back(gelu(v));
  gelu_in_place(values);
  for (std::size_t n = 0; n < values.size(); ++n) EXPECT_TRUE(same_bits(values[n], expected[n])) << n;
}

}  // namespace
}  // namespace kovrant
