#include "nn/network.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>

#include "eisnn_builder.h"

namespace kovrant {
namespace {

constexpr double kNan = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

Guesser load(const std::vector<unsigned char>& bytes) {
  auto loaded = Guesser::from_bytes(bytes);
  EXPECT_TRUE(loaded.ok()) << (loaded ? "" : loaded.error().message());
  return loaded ? std::move(loaded.value()) : Guesser{};
}

TEST(ReactiveCentroid, PurelyCapacitivePointsWeighEqually) {
  const std::vector<double> f = {1.0, 100.0};
  const std::vector<Complex> z = {{0.0, -1.0}, {0.0, -100.0}};
  const ScaleEstimate s = reactive_centroid(f, z);
  EXPECT_DOUBLE_EQ(s.omega_c, kTwoPi * 10.0);
  EXPECT_DOUBLE_EQ(s.z_c, 10.0);
}

TEST(ReactiveCentroid, WeightsAreTheCapacitiveShareOfEachPoint) {
  // Weights 0.8 (3 - 4j) and 1 (-2j); the inductive point weighs nothing.
  const std::vector<double> f = {1.0, 10.0, 1000.0};
  const std::vector<Complex> z = {{3.0, -4.0}, {0.0, -2.0}, {5.0, 3.0}};
  const ScaleEstimate s = reactive_centroid(f, z);
  EXPECT_NEAR(std::log(s.omega_c), (0.8 * std::log(kTwoPi) + std::log(kTwoPi * 10.0)) / 1.8, 1e-12);
  EXPECT_NEAR(std::log(s.z_c), (0.8 * std::log(5.0) + std::log(2.0)) / 1.8, 1e-12);
}

TEST(ReactiveCentroid, PurelyResistiveSpectrumFallsBack) {
  const std::vector<double> f = {1.0, 10.0, 100.0, 1000.0};
  const std::vector<Complex> z = {{3.0, 0.0}, {1.0, 0.0}, {2.0, 0.0}, {4.0, 0.0}};
  const ScaleEstimate s = reactive_centroid(f, z);
  EXPECT_NEAR(s.omega_c, kTwoPi * std::sqrt(1000.0), 1e-12 * s.omega_c);  // geometric mean of all 2*pi*f
  EXPECT_EQ(s.z_c, 3.0);                                                  // upper of the two middle values
}

TEST(ReactiveCentroid, SkipsZeroMagnitudesAndNonPositiveFrequencies) {
  // Every point is skipped, so the fallback applies over all points.
  const std::vector<double> f = {1.0, 100.0, 0.0};
  const std::vector<Complex> z = {{0.0, 0.0}, {0.0, 0.0}, {0.0, -5.0}};
  const ScaleEstimate s = reactive_centroid(f, z);
  EXPECT_EQ(s.omega_c, 0.0);  // ln(0) = -inf in the mean
  EXPECT_EQ(s.z_c, 0.0);      // magnitudes 0, 0, 5: the middle one
  // One good point among skipped ones carries the centroid alone.
  const std::vector<Complex> z2 = {{0.0, 0.0}, {0.0, -7.0}, {0.0, -5.0}};
  const ScaleEstimate s2 = reactive_centroid(f, z2);
  EXPECT_DOUBLE_EQ(s2.omega_c, kTwoPi * 100.0);
  EXPECT_DOUBLE_EQ(s2.z_c, 7.0);
}

TEST(ReactiveCentroid, TinyTotalWeightFallsBack) {
  const std::vector<double> f = {1.0, 100.0};
  const std::vector<Complex> z = {{1.0, -1e-10}, {2.0, 0.0}};
  const ScaleEstimate s = reactive_centroid(f, z);
  EXPECT_DOUBLE_EQ(s.omega_c, kTwoPi * 10.0);
  EXPECT_EQ(s.z_c, 2.0);
}

TEST(ReactiveCentroid, NanShareCountsAsZeroAndMedianUsesTotalOrder) {
  const std::vector<double> f = {1.0, 10.0, 100.0};
  const std::vector<Complex> z = {{kInf, -kInf}, {kNan, 0.0}, {1.0, 0.0}};
  const ScaleEstimate s = reactive_centroid(f, z);
  EXPECT_DOUBLE_EQ(s.omega_c, kTwoPi * 10.0);
  EXPECT_EQ(s.z_c, kInf);  // magnitudes 1, inf, NaN in total order
}

TEST(ReactiveCentroid, CentroidUsesOnlyPairedPoints) {
  const std::vector<double> f = {1.0, 100.0, 1e6};
  const std::vector<Complex> z = {{0.0, -1.0}, {0.0, -100.0}};
  EXPECT_DOUBLE_EQ(reactive_centroid(f, z).omega_c, kTwoPi * 10.0);
}

TEST(FrequencyOrder, IsStableInTotalOrder) {
  const std::vector<double> f = {10.0, kNan, 1.0, 0.0, -0.0, 10.0, -kNan, 1.0};
  EXPECT_EQ(frequency_order(f), (std::vector<std::size_t>{6, 4, 3, 2, 7, 0, 5, 1}));
}

TEST(UnwrapPhase, KeepsTheCurveContinuousAcrossPi) {
  EXPECT_EQ(unwrap_phase(std::vector<double>{3.0, -3.0}), (std::vector<double>{3.0, 3.2831853071795862}));
  const std::vector<double> down = unwrap_phase(std::vector<double>{-3.0, 3.0, 2.0});
  EXPECT_DOUBLE_EQ(down[1], 3.0 - 2.0 * M_PI);
  EXPECT_DOUBLE_EQ(down[2], 2.0 - 2.0 * M_PI);
  const std::vector<double> small = unwrap_phase(std::vector<double>{0.1, 0.2, -0.5});
  EXPECT_EQ(small[1], 0.2);
  EXPECT_DOUBLE_EQ(small[2], -0.5);
  EXPECT_TRUE(unwrap_phase(std::vector<double>{}).empty());
}

TEST(UnwrapPhase, HalfTurnStepsResolveTowardsTheRawDirection) {
  constexpr double kPi = 3.141592653589793;
  EXPECT_EQ(unwrap_phase(std::vector<double>{0.0, kPi}), (std::vector<double>{0.0, kPi}));
  EXPECT_EQ(unwrap_phase(std::vector<double>{kPi, 0.0}), (std::vector<double>{kPi, 0.0}));
}

TEST(Interpolate, HoldsEndsAndInterpolatesLinearly) {
  const std::vector<double> xs = {0.0, 1.0, 3.0}, ys = {10.0, 20.0, 0.0};
  EXPECT_EQ(interpolate(xs, ys, -5.0), 10.0);
  EXPECT_EQ(interpolate(xs, ys, 0.0), 10.0);
  EXPECT_EQ(interpolate(xs, ys, 0.25), 12.5);
  EXPECT_EQ(interpolate(xs, ys, 1.0), 20.0);
  EXPECT_EQ(interpolate(xs, ys, 2.0), 10.0);
  EXPECT_EQ(interpolate(xs, ys, 3.0), 0.0);
  EXPECT_EQ(interpolate(xs, ys, 9.0), 0.0);
}

TEST(Interpolate, DuplicateAbscissaeAndDegenerateInputs) {
  const std::vector<double> xs = {0.0, 1.0, 1.0, 2.0}, ys = {0.0, 5.0, 7.0, 9.0};
  EXPECT_EQ(interpolate(xs, ys, 1.5), 8.0);  // between the second 1.0 and 2.0
  EXPECT_EQ(interpolate(std::vector<double>{4.0}, std::vector<double>{6.0}, 9.0), 6.0);
  EXPECT_EQ(interpolate(std::vector<double>{4.0}, std::vector<double>{6.0}, kNan), 6.0);
  EXPECT_TRUE(std::isnan(interpolate(xs, ys, kNan)));
}

TEST(Gelu, MatchesTheTanhForm) {
  EXPECT_EQ(gelu(0.0), 0.0);
  EXPECT_EQ(gelu(1.0), 0.8411919906082768);
  EXPECT_EQ(gelu(-1.0), -0.15880800939172324);
  EXPECT_EQ(gelu(2.0), 1.954597694087775);
  EXPECT_EQ(gelu(kInf), kInf);
  EXPECT_TRUE(std::isnan(gelu(kNan)));
}

TEST(Features, UnsortedInputGivesTheSameFeatures) {
  const std::vector<double> f = {1.0, 10.0, 100.0, 1000.0};
  const std::vector<Complex> z = {{10.0, -5.0}, {8.0, -3.0}, {5.0, -1.0}, {4.0, 0.5}};
  const std::vector<double> f_shuffled = {100.0, 1.0, 1000.0, 10.0};
  const std::vector<Complex> z_shuffled = {z[2], z[0], z[3], z[1]};
  const ScaleEstimate s{50.0, 6.0};
  const Features sorted = features(16, f, z, s);
  const Features shuffled = features(16, f_shuffled, z_shuffled, s);
  EXPECT_EQ(sorted.input, shuffled.input);
  EXPECT_EQ(sorted.span_scalar, shuffled.span_scalar);
}

TEST(Features, ChannelsFollowTheGrid) {
  const std::vector<double> f = {1.0, 1000.0};
  const std::vector<Complex> z = {{0.0, -100.0}, {1.0, 0.0}};
  const ScaleEstimate s{kTwoPi * 10.0, 10.0};
  const Features x = features(4, f, z, s);
  ASSERT_EQ(x.input.size(), 12u);
  // Grid 0, 1, 2, 3 decades; log|Z| goes 2 -> 0 and phase -pi/2 -> 0.
  const double expected_magnitude[] = {1.0, 1.0 - 2.0 / 3.0, 1.0 - 4.0 / 3.0, -1.0};
  const double expected_phase[] = {-1.0, -2.0 / 3.0, -1.0 / 3.0, 0.0};
  for (int t = 0; t < 4; ++t) {
    EXPECT_NEAR(x.input[t], expected_magnitude[t], 1e-15) << t;
    EXPECT_NEAR(x.input[4 + t], expected_phase[t], 1e-15) << t;
    EXPECT_NEAR(x.input[8 + t], (t - 1.0) * 0.25, 1e-15) << t;
  }
  EXPECT_EQ(x.input[0], 1.0);
  EXPECT_EQ(x.input[4], -1.0);
  EXPECT_EQ(x.span_scalar, 3.0 * 0.125);
  EXPECT_EQ(x.count_scalar, std::log10(2.0) * 0.5);
}

TEST(Features, SingleGridPointSitsAtTheLowestFrequency) {
  const std::vector<double> f = {10.0, 100.0};
  const std::vector<Complex> z = {{1.0, 0.0}, {10.0, 0.0}};
  const Features x = features(1, f, z, ScaleEstimate{kTwoPi, 1.0});
  EXPECT_EQ(x.input, (std::vector<double>{0.0, 0.0, 0.25}));
}

// A Guesser with only what decode() reads: three outputs, the second a CPE
// coefficient that takes the third (its exponent) as reference.
Guesser decoding_host() {
  Guesser g;
  g.param_names = {"R0.r", "CPE1.q", "CPE1.alpha"};
  g.target_mean = {0.0, 2.0, 0.0};
  g.target_std = {1.0, 1.0, 1.0};
  g.log_params = {true, true, false};
  g.scaling = {{1, 0, 0, -1}, {-1, 0, -1, 2}, {0, 0, 0, -1}};
  g.alpha_min = 0.05;
  g.alpha_max = 1.0;
  return g;
}

TEST(Decode, DenormalisesClampsAndRescales) {
  const Guesser g = decoding_host();
  const std::vector<double> head = {1.0, 0.0, 1.7, 99.0, 99.0, 99.0};
  const auto out = decode(g, head, ScaleEstimate{100.0, 10.0});
  ASSERT_TRUE(out.ok());
  EXPECT_DOUBLE_EQ(out.value()[0], 100.0);  // 10^1 * Z_c
  EXPECT_DOUBLE_EQ(out.value()[1], 0.1);    // 10^2 / Z_c / omega_c^alpha, alpha clamped to 1
  EXPECT_EQ(out.value()[2], 1.0);           // 1.7 clamped to alpha_max
}

TEST(Decode, ClampsBelowAndKeepsNan) {
  const Guesser g = decoding_host();
  const auto low = decode(g, std::vector<double>{0.0, 0.0, -3.0}, ScaleEstimate{1.0, 1.0});
  ASSERT_TRUE(low.ok());
  EXPECT_EQ(low.value()[2], 0.05);
  const auto nan = decode(g, std::vector<double>{0.0, 0.0, kNan}, ScaleEstimate{2.0, 1.0});
  ASSERT_TRUE(nan.ok());
  EXPECT_TRUE(std::isnan(nan.value()[2]));
  EXPECT_TRUE(std::isnan(nan.value()[1]));  // its exponent depends on the NaN alpha
  EXPECT_EQ(nan.value()[0], 1.0);
}

struct DecodeErrorCase {
  const char* name;
  void (*spoil)(Guesser&);
  std::size_t head_size;
  const char* message;
};

class DecodeErrorTest : public ::testing::TestWithParam<DecodeErrorCase> {};

TEST_P(DecodeErrorTest, RejectsStatisticsThatDisagreeWithTheOutputs) {
  Guesser g = decoding_host();
  GetParam().spoil(g);
  const std::vector<double> head(GetParam().head_size, 0.5);
  const auto out = decode(g, head, ScaleEstimate{1.0, 1.0});
  EXPECT_EQ(out ? "ok" : out.error().message(), GetParam().message);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, DecodeErrorTest,
    ::testing::Values(
        DecodeErrorCase{"Consistent", [](Guesser&) {}, 3, "ok"},
        DecodeErrorCase{"HeadTooShort", [](Guesser&) {}, 2, "tensor \"head.4\" has 2 elements, expected 3"},
        DecodeErrorCase{"MeanShort", [](Guesser& g) { g.target_mean.pop_back(); }, 6,
                        "tensor \"target_mean\" has 2 elements, expected 3"},
        DecodeErrorCase{"StdShort", [](Guesser& g) { g.target_std.pop_back(); }, 6,
                        "tensor \"target_std\" has 2 elements, expected 3"},
        DecodeErrorCase{"LogParamsShort", [](Guesser& g) { g.log_params.pop_back(); }, 6,
                        "tensor \"log_params\" has 2 elements, expected 3"},
        DecodeErrorCase{"ScalingShort", [](Guesser& g) { g.scaling.pop_back(); }, 6,
                        "tensor \"scaling\" has 8 elements, expected 12"},
        DecodeErrorCase{"RefOutOfRange", [](Guesser& g) { g.scaling[1].ref = 3; }, 6,
                        "weight file has an unparsable value for \"scaling row 1 refers to output 3 of 3\""},
        DecodeErrorCase{"AlphaBoundsReversed", [](Guesser& g) { g.alpha_min = 2.0; }, 6,
                        "weight file has an unparsable value for \"alpha_min must not exceed alpha_max, and "
                        "neither may be NaN\""},
        DecodeErrorCase{"AlphaBoundNan", [](Guesser& g) { g.alpha_max = kNan; }, 6,
                        "weight file has an unparsable value for \"alpha_min must not exceed alpha_max, and "
                        "neither may be NaN\""},
        DecodeErrorCase{"AlphaBoundsUnusedWithoutLinearOutputs",
                        [](Guesser& g) {
                          g.alpha_max = kNan;
                          g.log_params[2] = true;
                        },
                        3, "ok"}),
    [](const auto& info) { return info.param.name; });

// An independent, deliberately plain forward pass: every output element is
// accumulated on its own, straight from the formulas and in their summation
// order, so the optimised layers must agree to the last bit.
class ReferenceNetwork {
 public:
  explicit ReferenceNetwork(const Guesser& g) : g_(g) {}

  std::vector<double> run(const Features& input) const {
    const std::size_t c = g_.channels;
    std::vector<double> h = conv(input.input, 3, "stem", 1);
    for (std::size_t i = 0; i < g_.dilations.size(); ++i) {
      const std::string p = "blocks." + std::to_string(i) + ".";
      std::vector<double> y = activate(norm(conv(h, c, p + "conv1", g_.dilations[i]), p + "norm1"));
      y = norm(conv(y, c, p + "conv2", g_.dilations[i]), p + "norm2");
      for (std::size_t j = 0; j < h.size(); ++j) h[j] = y[j] + h[j];
      h = activate(h);
    }
    std::vector<double> pooled;
    for (std::size_t ch = 0; ch < c; ++ch) {
      double sum = -0.0;
      for (std::size_t t = 0; t < g_.n_grid; ++t) sum += h[ch * g_.n_grid + t];
      pooled.push_back(sum / static_cast<double>(g_.n_grid));
    }
    for (std::size_t ch = 0; ch < c; ++ch) {
      double best = -kInf;
      for (std::size_t t = 0; t < g_.n_grid; ++t) best = std::fmax(best, h[ch * g_.n_grid + t]);
      pooled.push_back(best);
    }
    pooled.push_back(input.span_scalar);
    pooled.push_back(input.count_scalar);
    return dense(activate(dense(activate(dense(pooled, "head.0")), "head.2")), "head.4");
  }

 private:
  const std::vector<double>& t(const std::string& name) const { return g_.tensors.at("w." + name).data; }

  std::vector<double> conv(const std::vector<double>& x, std::size_t in, const std::string& layer,
                           std::size_t d) const {
    const std::vector<double>& w = t(layer + ".weight");
    const std::vector<double>& b = t(layer + ".bias");
    const std::size_t out = g_.tensors.at("w." + layer + ".weight").dims[0], l = g_.n_grid, k = g_.kernel;
    const long m = static_cast<long>((k - 1) * d / 2);
    std::vector<double> y(out * l);
    for (std::size_t o = 0; o < out; ++o) {
      for (std::size_t pos = 0; pos < l; ++pos) {
        double acc = b[o];
        for (std::size_t i = 0; i < in; ++i) {
          for (std::size_t tap = 0; tap < k; ++tap) {
            const long src = static_cast<long>(pos) + static_cast<long>(tap * d) - m;
            const double weight = w[(o * in + i) * k + tap];
            if (src >= 0 && src < static_cast<long>(l) && weight != 0.0) acc += weight * x[i * l + src];
          }
        }
        y[o * l + pos] = acc;
      }
    }
    return y;
  }

  std::vector<double> norm(std::vector<double> x, const std::string& layer) const {
    const std::vector<double>& gamma = t(layer + ".weight");
    const std::vector<double>& beta = t(layer + ".bias");
    const std::size_t per = g_.channels / g_.groups, m = per * g_.n_grid;
    for (std::size_t grp = 0; grp < g_.groups; ++grp) {
      double sum = -0.0, sq = -0.0;
      for (std::size_t k = 0; k < m; ++k) sum += x[grp * m + k];
      const double mean = sum / static_cast<double>(m);
      for (std::size_t k = 0; k < m; ++k) sq += (x[grp * m + k] - mean) * (x[grp * m + k] - mean);
      const double inv = 1.0 / std::sqrt(sq / static_cast<double>(m) + 1e-5);
      for (std::size_t k = 0; k < m; ++k) {
        const std::size_t ch = grp * per + k / g_.n_grid;
        x[grp * m + k] = ((x[grp * m + k] - mean) * inv) * gamma[ch] + beta[ch];
      }
    }
    return x;
  }

  std::vector<double> dense(const std::vector<double>& x, const std::string& layer) const {
    const std::vector<double>& w = t(layer + ".weight");
    const std::vector<double>& b = t(layer + ".bias");
    std::vector<double> y(b.size());
    for (std::size_t o = 0; o < y.size(); ++o) {
      double s = -0.0;
      for (std::size_t i = 0; i < x.size(); ++i) s += w[o * x.size() + i] * x[i];
      y[o] = s + b[o];
    }
    return y;
  }

  static std::vector<double> activate(std::vector<double> v) {
    for (double& e : v) e = (std::tanh(0.7978845608028654 * (0.044715 * e * e * e + e)) + 1.0) * (e * 0.5);
    return v;
  }

  const Guesser& g_;
};

// Spectrum of R0 + R1 || C1 with a little multiplicative noise, shuffled.
void rc_spectrum(std::mt19937_64& rng, std::size_t n, std::vector<double>& f, std::vector<Complex>& z) {
  std::uniform_real_distribution<double> noise(0.98, 1.02);
  f.clear();
  z.clear();
  for (std::size_t i = 0; i < n; ++i) {
    const double freq = std::pow(10.0, -1.0 + 6.0 * static_cast<double>(i) / static_cast<double>(n - 1));
    const Complex y_par{1.0 / 50.0, kTwoPi * freq * 1e-4};
    const Complex z_par = reciprocal(y_par);
    f.push_back(freq);
    z.push_back({(10.0 + z_par.re) * noise(rng), z_par.im * noise(rng)});
  }
  for (std::size_t i = n - 1; i > 0; --i) {
    std::uniform_int_distribution<std::size_t> pick(0, i);
    const std::size_t j = pick(rng);
    std::swap(f[i], f[j]);
    std::swap(z[i], z[j]);
  }
}

class ForwardTest : public ::testing::TestWithParam<testing::NetworkShape> {};

TEST_P(ForwardTest, MatchesThePlainReferenceBitForBit) {
  std::mt19937_64 rng(1234);
  for (int trial = 0; trial < 5; ++trial) {
    const Guesser g = load(testing::random_network(GetParam(), rng).bytes());
    std::vector<double> f;
    std::vector<Complex> z;
    rc_spectrum(rng, 20 + 7 * static_cast<std::size_t>(trial), f, z);
    const ScaleEstimate scale = reactive_centroid(f, z);
    const Features input = features(g.n_grid, f, z, scale);

    const auto head = forward(g, input);
    ASSERT_TRUE(head.ok()) << head.error().message();
    const std::vector<double> expected = ReferenceNetwork(g).run(input);
    ASSERT_EQ(head.value().size(), expected.size());
    EXPECT_EQ(head.value(), expected);

    const auto params = infer(g, f, z);
    ASSERT_TRUE(params.ok()) << params.error().message();
    const auto decoded = decode(g, head.value(), scale);
    ASSERT_TRUE(decoded.ok());
    EXPECT_EQ(params.value(), decoded.value());
    for (double value : params.value()) EXPECT_TRUE(std::isfinite(value));
  }
}

testing::NetworkShape shape_with(std::uint32_t n_grid, std::uint32_t channels, std::uint32_t kernel,
                                 std::uint32_t groups, std::vector<std::uint32_t> dilations) {
  testing::NetworkShape shape;
  shape.n_grid = n_grid;
  shape.channels = channels;
  shape.kernel = kernel;
  shape.groups = groups;
  shape.dilations = std::move(dilations);
  shape.hidden = 4 * channels;
  return shape;
}

INSTANTIATE_TEST_SUITE_P(Shapes, ForwardTest,
                         ::testing::Values(shape_with(8, 4, 3, 2, {1, 2}), shape_with(16, 8, 5, 4, {1, 2, 4, 8}),
                                           shape_with(5, 3, 2, 2, {3}),  // uneven kernel, a channel left over
                                           shape_with(2, 2, 5, 1, {1}),  // padding wider than the grid
                                           shape_with(64, 32, 5, 8, {1, 2, 4, 8}),    // the built-in size
                                           shape_with(40, 16, 5, 8, {1, 2, 4, 8})));  // grid not a block multiple

TEST(Infer, BuiltInSizedNetworkRunsOnARealisticSpectrum) {
  std::mt19937_64 rng(7);
  testing::NetworkShape shape = shape_with(64, 32, 5, 8, {1, 2, 4, 8});
  shape.circuit = "R0-(R1,CPE1)";
  shape.param_names = "R0.r,R1.r,CPE1.q,CPE1.alpha";
  const Guesser g = load(testing::random_network(shape, rng, 0.2f).bytes());
  std::vector<double> f;
  std::vector<Complex> z;
  rc_spectrum(rng, 60, f, z);
  const auto params = infer(g, f, z);
  ASSERT_TRUE(params.ok()) << params.error().message();
  ASSERT_EQ(params.value().size(), 4u);
  EXPECT_GE(params.value()[3], 0.05);
  EXPECT_LE(params.value()[3], 1.0);
}

TEST(Infer, NeedsTwoPointsOfEach) {
  std::mt19937_64 rng(3);
  const Guesser g = load(testing::random_network({}, rng).bytes());
  const std::vector<double> f = {1.0, 2.0, 3.0};
  const std::vector<Complex> z = {{1.0, -1.0}, {1.0, -2.0}, {1.0, -3.0}};
  const auto message = [&](std::size_t nf, std::size_t nz) {
    const auto out = infer(g, std::span(f).first(nf), std::span(z).first(nz));
    return out ? "ok" : out.error().message();
  };
  EXPECT_EQ(message(1, 3), "need at least 2 frequency points to guess, got 1");
  EXPECT_EQ(message(3, 0), "need at least 2 frequency points to guess, got 0");
  EXPECT_EQ(message(3, 2), "tensor \"impedances\" has 2 elements, expected 3");
  EXPECT_EQ(message(2, 3), "ok");
  EXPECT_EQ(message(2, 2), "ok");
}

TEST(Infer, ReportsTheMissingTensorByName) {
  std::mt19937_64 rng(5);
  testing::NetworkShape shape = shape_with(8, 4, 3, 2, {1, 2, 4});
  std::vector<unsigned char> bytes = testing::random_network(shape, rng).bytes();
  Guesser g = load(bytes);
  g.tensors.erase("w.blocks.2.norm1.bias");
  const std::vector<double> f = {1.0, 10.0};
  const std::vector<Complex> z = {{1.0, -1.0}, {1.0, -2.0}};
  const auto out = infer(g, f, z);
  ASSERT_FALSE(out.ok());
  EXPECT_EQ(out.error().message(), "weight file is missing \"w.blocks.2.norm1.bias\"");
}

TEST(Infer, HeadInputOfTheWrongLengthNamesTheLayer) {
  std::mt19937_64 rng(6);
  Guesser g = load(testing::random_network({}, rng).bytes());  // C = 4: pooled length 10
  g.tensors["w.head.0.weight"] = Tensor{{6, 12}, std::vector<double>(72, 0.1)};
  const std::vector<double> f = {1.0, 10.0};
  const std::vector<Complex> z = {{1.0, -1.0}, {1.0, -2.0}};
  const auto out = infer(g, f, z);
  ASSERT_FALSE(out.ok());
  EXPECT_EQ(out.error().message(), "tensor \"head.0\" has 10 elements, expected 12");
}

TEST(Infer, StemNarrowerThanTheChannelsIsRejected) {
  std::mt19937_64 rng(8);
  Guesser g = load(testing::random_network({}, rng).bytes());
  g.tensors["w.stem.weight"] = Tensor{{2, 3, 3}, std::vector<double>(18, 0.1)};
  const std::vector<double> f = {1.0, 10.0};
  const std::vector<Complex> z = {{1.0, -1.0}, {1.0, -2.0}};
  const auto out = infer(g, f, z);
  ASSERT_FALSE(out.ok());
  EXPECT_EQ(out.error().message(), "tensor \"blocks.0.conv1\" has 16 elements, expected 32");
}

TEST(Infer, RefusesGridsBeyondTheLayerLimit) {
  std::mt19937_64 rng(9);
  Guesser g = load(testing::random_network({}, rng).bytes());
  g.n_grid = std::size_t{1} << 40;
  const std::vector<double> f = {1.0, 10.0};
  const std::vector<Complex> z = {{1.0, -1.0}, {1.0, -2.0}};
  const auto out = infer(g, f, z);
  ASSERT_FALSE(out.ok());
  EXPECT_EQ(out.error().message(),
            "weight file has an unparsable value for \"n_grid 1099511627776 needs 3298534883328 input values, more "
            "than the limit of 16777216\"");
}

TEST(Infer, NonPositiveFrequenciesPropagateWithoutFailing) {
  std::mt19937_64 rng(10);
  const Guesser g = load(testing::random_network({}, rng).bytes());
  const std::vector<double> f = {-1.0, 0.0, 10.0};
  const std::vector<Complex> z = {{1.0, -1.0}, {1.0, -2.0}, {0.0, 0.0}};
  const auto out = infer(g, f, z);
  ASSERT_TRUE(out.ok());
  EXPECT_EQ(out.value().size(), 3u);
  EXPECT_TRUE(std::isnan(out.value()[0]) || std::isinf(out.value()[0]));
}

}  // namespace
}  // namespace kovrant
