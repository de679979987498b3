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
  if (std::uniform_real_distribution<double>(0.0, 1.0)(rng) >= special_share) {
    return std::normal_distribution<double>(0.0, 1.0)(rng);
  }
  static const double kSpecial[] = {0.0, -0.0, kInf, -kInf, kNan, 1e-310, -1e300};
  return kSpecial[std::uniform_int_distribution<std::size_t>(0, std::size(kSpecial) - 1)(rng)];
}

struct Case {
  ConvShape shape;
  std::vector<double> weights, bias, x;
};

Case random_case(std::mt19937_64& rng, const ConvShape& shape, double special_share) {
  const auto values = [&](std::size_t count) {
    std::vector<double> out(count);
    for (double& v : out) v = draw(rng, special_share);
    return out;
  };
  return {shape, values(shape.out_channels * shape.in_channels * shape.taps), values(shape.out_channels),
          values(shape.in_channels * shape.length)};
}

std::vector<double> run_blocked(const Case& c, VectorUnit unit = widest_vector_unit()) {
  std::vector<double> y(c.shape.out_channels * c.shape.length), scratch;
  blocked_conv(c.shape, c.weights.data(), c.bias.data(), c.x.data(), y.data(), scratch, unit);
  return y;
}

// Every vector unit this CPU has must give the plain loop's bits.
void expect_blocked_matches_plain(const Case& c) {
  ASSERT_TRUE(blocked_conv_applies(c.shape));
  std::vector<double> plain(c.shape.out_channels * c.shape.length);
  plain_conv(c.shape, c.weights.data(), c.bias.data(), c.x.data(), plain.data());
  for (VectorUnit unit : {VectorUnit::Baseline, VectorUnit::Avx2, VectorUnit::Avx512}) {
    const std::vector<double> blocked = run_blocked(c, unit);
    for (std::size_t n = 0; n < plain.size(); ++n) {
      ASSERT_TRUE(same_bits(plain[n], blocked[n]))
          << "value " << n << ": " << plain[n] << " vs " << blocked[n] << " (length " << c.shape.length << ", taps "
          << c.shape.taps << ", dilation " << c.shape.dilation << ", unit " << static_cast<int>(unit) << ")";
    }
  }
}

TEST(BlockedConv, RandomShapesAndValuesMatchThePlainLoop) {
  std::mt19937_64 rng(11);
  for (std::size_t channels : {16, 32, 64}) {  // the built-in sizes, and their stem
    for (std::size_t dilation : {1, 2, 4, 8}) {
      expect_blocked_matches_plain(random_case(rng, {channels, channels, 64, 5, dilation}, 0.0));
    }
    expect_blocked_matches_plain(random_case(rng, {3, channels, 64, 5, 1}, 0.0));
  }
  for (std::size_t length : {1, 2, 3, 31, 32, 33, 40, 64, 65, 100}) {
    for (std::size_t taps : {1, 2, 3, 4, 5, 7, 16}) {
      for (std::size_t dilation : {std::size_t{1}, std::size_t{2}, std::size_t{5}, length}) {
        if (dilation <= length) expect_blocked_matches_plain(random_case(rng, {2, 3, length, taps, dilation}, 0.0));
      }
    }
  }
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

TEST(BlockedConv, EdgesZeroTapsAndSignedZerosByHand) {
  const std::pair<Case, std::vector<double>> cases[] = {
      // Position 0 only sees -0.0 * 1.0 from the input, its other tap reads
      // padding, so the bias's -0.0 survives.
      {{{1, 1, 4, 3, 1}, {1.0, 1.0, -1.0}, {-0.0}, {-0.0, 0.0, 0.0, 0.0}}, {-0.0, 0.0, 0.0, 0.0}},
      // inf * 0.0 would be NaN if the padding were read as input.
      {{{1, 1, 3, 3, 1}, {kInf, 1.0, 1.0}, {0.5}, {1.0, 2.0, 3.0}}, {3.5, kInf, kInf}},
      // Finite taps take the fast path; its zero tap must still not turn inf into NaN.
      {{{1, 1, 3, 3, 1}, {2.0, 0.0, 1.0}, {0.25}, {1.0, kInf, 3.0}}, {kInf, 5.25, kInf}},
  };
  for (const auto& [c, expected] : cases) {
    const std::vector<double> y = run_blocked(c);
    for (std::size_t n = 0; n < y.size(); ++n) EXPECT_TRUE(same_bits(y[n], expected[n])) << n << ": " << y[n];
    expect_blocked_matches_plain(c);
  }
}

// Groups of four channels share one loop where the input is finite, zero
// taps included, over slices of the input channels; a group with a channel
// that must not read the padding, a left-over channel or a non-finite input
// must still give the plain bits.
TEST(BlockedConv, ChannelGroupsKeepThePlainBits) {
  std::mt19937_64 rng(21);
  std::bernoulli_distribution zero_tap(0.3);
  for (std::size_t in : {5, 37}) {
    for (std::size_t out : {4, 7, 9}) {
      for (std::size_t length : {6, 13, 64}) {
        for (int variant = 0; variant < 4; ++variant) {
          Case c = random_case(rng, {in, out, length, 5, variant % 2 == 0 ? 1u : 3u}, 0.0);
          for (double& w : c.weights) w = zero_tap(rng) ? (variant % 2 == 0 ? 0.0 : -0.0) : w;
          if (variant == 2) {
            c.bias[1] = -0.0;                             // the first group may not read the padding
            if (out > 5) c.weights[5 * in * 5 + 7] = kInf;  // nor may channel 5's group
          }
          if (variant == 3) c.x[length + 2] = kNan;  // no group runs on this input
          SCOPED_TRACE("in " + std::to_string(in) + ", out " + std::to_string(out) + ", variant " +
                       std::to_string(variant));
          expect_blocked_matches_plain(c);
        }
      }
    }
  }
}

TEST(GeluInPlace, MatchesGeluValueByValue) {
  std::mt19937_64 rng(14);
  std::vector<double> values, expected;
  for (int n = 0; n < 1000; ++n) values.push_back(draw(rng, 0.05) * 4.0);  // crosses the chunk size
  for (double v : values) expected.push_back(gelu(v));
  gelu_in_place(values);
  for (std::size_t n = 0; n < values.size(); ++n) EXPECT_TRUE(same_bits(values[n], expected[n])) << n;
}

}  // namespace
}  // namespace kovrant
