#include "nn/network.h"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>
#include <random>

#include "eisnn_builder.h"
#include "util/portable_math.h"

namespace kovrant {
namespace {

constexpr double kNan = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

Guesser load(const std::vector<unsigned char>& bytes) {
  auto loaded = Guesser::from_bytes(bytes);
  EXPECT_TRUE(loaded.ok()) << (loaded ? "" : loaded.error().message());
  return loaded ? std::move(loaded.value()) : Guesser{};
}

std::string message_of(const Result<std::vector<double>, NnError>& out) { return out ? "ok" : out.error().message(); }

bool close(double got, double expected, double relative) {
  return got == expected || std::fabs(got - expected) <= relative * std::fabs(expected);
}

TEST(ReactiveCentroid, WeighsCapacitivePointsAndFallsBackWithoutThem) {
  // Tolerances relative to the value: 0 where a median is picked, 1e-15
  // (a few ulps) for the centroids, 1e-12 where the mean of logs rounds freely.
  struct Case {
    const char* what;
    std::vector<double> f;
    std::vector<Complex> z;
    double omega_c, z_c, omega_tolerance = 1e-15, z_tolerance = 1e-15;
  };
  const double weighted_omega = (0.8 * std::log(kTwoPi) + std::log(kTwoPi * 10)) / 1.8;
  const Case cases[] = {
      {"capacitive points weigh equally", {1, 100}, {{0, -1}, {0, -100}}, kTwoPi * 10, 10},
      {"weights 0.8, 1, and 0 when inductive",
       {1, 10, 1000},
       {{3, -4}, {0, -2}, {5, 3}},
       std::exp(weighted_omega),
       std::exp((0.8 * std::log(5.0) + std::log(2.0)) / 1.8),
       1e-12,
       1e-12},
      {"resistive: mean log, upper median",
       {1, 10, 100, 1000},
       {{3, 0}, {1, 0}, {2, 0}, {4, 0}},
       kTwoPi * std::sqrt(1e3),
       3,
       1e-12,
       0},
      {"all skipped (|Z| = 0, f = 0): fallback", {1, 100, 0}, {{0, 0}, {0, 0}, {0, -5}}, 0, 0, 0, 0},
      {"one good point among skipped ones", {1, 100, 0}, {{0, 0}, {0, -7}, {0, -5}}, kTwoPi * 100, 7},
      {"total weight below 1e-9 falls back", {1, 100}, {{1, -1e-10}, {2, 0}}, kTwoPi * 10, 2, 1e-15, 0},
      {"NaN share is 0; total order", {1, 10, 100}, {{kInf, -kInf}, {kNan, 0}, {1, 0}}, kTwoPi * 10, kInf, 1e-15, 0},
      {"only points with an impedance count", {1, 100, 1e6}, {{0, -1}, {0, -100}}, kTwoPi * 10, 10},
  };
  for (const Case& c : cases) {
    const ScaleEstimate s = reactive_centroid(c.f, c.z);
    EXPECT_TRUE(close(s.omega_c, c.omega_c, c.omega_tolerance)) << c.what << ": omega_c " << s.omega_c;
    EXPECT_TRUE(close(s.z_c, c.z_c, c.z_tolerance)) << c.what << ": z_c " << s.z_c;
  }
}

TEST(FrequencyOrder, IsStableInTotalOrder) {
  const std::vector<double> f = {10.0, kNan, 1.0, 0.0, -0.0, 10.0, -kNan, 1.0};
  EXPECT_EQ(frequency_order(f), (std::vector<std::size_t>{6, 4, 3, 2, 7, 0, 5, 1}));
}

TEST(UnwrapPhase, KeepsTheCurveContinuousAcrossPi) {
  constexpr double kPi = 3.141592653589793;
  EXPECT_EQ(unwrap_phase(std::vector<double>{3.0, -3.0}), (std::vector<double>{3.0, 3.2831853071795862}));
  const std::vector<double> down = unwrap_phase(std::vector<double>{-3.0, 3.0, 2.0});
  EXPECT_DOUBLE_EQ(down[1], 3.0 - 2.0 * kPi);
  EXPECT_DOUBLE_EQ(down[2], 2.0 - 2.0 * kPi);
  const std::vector<double> small = unwrap_phase(std::vector<double>{0.1, 0.2, -0.5});
  EXPECT_EQ(small[1], 0.2);
  EXPECT_DOUBLE_EQ(small[2], -0.5);
  EXPECT_TRUE(unwrap_phase(std::vector<double>{}).empty());
  // Half-turn steps resolve towards the raw direction.
  EXPECT_EQ(unwrap_phase(std::vector<double>{0.0, kPi}), (std::vector<double>{0.0, kPi}));
  EXPECT_EQ(unwrap_phase(std::vector<double>{kPi, 0.0}), (std::vector<double>{kPi, 0.0}));
}

TEST(Interpolate, HoldsEndsAndInterpolatesLinearly) {
  const std::vector<double> xs = {0.0, 1.0, 3.0}, ys = {10.0, 20.0, 0.0};
  for (const auto& [x, y] :
       std::vector<std::pair<double, double>>{{-5, 10}, {0, 10}, {0.25, 12.5}, {1, 20}, {2, 10}, {3, 0}, {9, 0}}) {
    EXPECT_EQ(interpolate(xs, ys, x), y) << x;
  }
  const std::vector<double> repeated = {0.0, 1.0, 1.0, 2.0}, values = {0.0, 5.0, 7.0, 9.0};
  EXPECT_EQ(interpolate(repeated, values, 1.5), 8.0);  // between the second 1.0 and 2.0
  EXPECT_TRUE(std::isnan(interpolate(repeated, values, kNan)));
  EXPECT_EQ(interpolate(std::vector<double>{4.0}, std::vector<double>{6.0}, 9.0), 6.0);
  EXPECT_EQ(interpolate(std::vector<double>{4.0}, std::vector<double>{6.0}, kNan), 6.0);
}

TEST(Gelu, MatchesTheTanhForm) {
  EXPECT_EQ(gelu(0.0), 0.0);
  EXPECT_EQ(gelu(1.0), 0.8411919906082768);
  EXPECT_EQ(gelu(-1.0), -0.15880800939172329);  // the correctly rounded tanh; glibc's is 1 ulp off here
  EXPECT_EQ(gelu(2.0), 1.954597694087775);
  EXPECT_EQ(gelu(kInf), kInf);
  EXPECT_TRUE(std::isnan(gelu(kNan)));
}

TEST(Features, UnsortedInputGivesTheSameFeatures) {
  const std::vector<double> f = {1.0, 10.0, 100.0, 1000.0}, f_shuffled = {100.0, 1.0, 1000.0, 10.0};
  const std::vector<Complex> z = {{10.0, -5.0}, {8.0, -3.0}, {5.0, -1.0}, {4.0, 0.5}};
  const std::vector<Complex> z_shuffled = {z[2], z[0], z[3], z[1]};
  const ScaleEstimate s{50.0, 6.0};
  const Features sorted = features(16, f, z, s), shuffled = features(16, f_shuffled, z_shuffled, s);
  EXPECT_EQ(sorted.input, shuffled.input);
  EXPECT_EQ(sorted.span_scalar, shuffled.span_scalar);
}

TEST(Features, ChannelsFollowTheGrid) {
  const std::vector<double> f = {1.0, 1000.0};
  const std::vector<Complex> z = {{0.0, -100.0}, {1.0, 0.0}};
  const Features x = features(4, f, z, ScaleEstimate{kTwoPi * 10.0, 10.0});
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
  // A one-point grid sits at the lowest frequency.
  const std::vector<Complex> resistive = {{1.0, 0.0}, {10.0, 0.0}};
  EXPECT_EQ(features(1, std::vector<double>{10.0, 100.0}, resistive, ScaleEstimate{kTwoPi, 1.0}).input,
            (std::vector<double>{0.0, 0.0, 0.25}));
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
  const auto out = decode(g, std::vector<double>{1.0, 0.0, 1.7, 99.0, 99.0, 99.0}, ScaleEstimate{100.0, 10.0});
  ASSERT_TRUE(out.ok());
  EXPECT_DOUBLE_EQ(out.value()[0], 100.0);  // 10^1 * Z_c
  EXPECT_DOUBLE_EQ(out.value()[1], 0.1);    // 10^2 / Z_c / omega_c^alpha, alpha clamped to 1
  EXPECT_EQ(out.value()[2], 1.0);           // 1.7 clamped to alpha_max
  const auto low = decode(g, std::vector<double>{0.0, 0.0, -3.0}, ScaleEstimate{1.0, 1.0});
  ASSERT_TRUE(low.ok());
  EXPECT_EQ(low.value()[2], 0.05);
  const auto nan = decode(g, std::vector<double>{0.0, 0.0, kNan}, ScaleEstimate{2.0, 1.0});
  ASSERT_TRUE(nan.ok());
  EXPECT_EQ(nan.value()[0], 1.0);
  EXPECT_TRUE(std::isnan(nan.value()[1]));  // its exponent depends on the NaN alpha
  EXPECT_TRUE(std::isnan(nan.value()[2]));
}

TEST(Decode, RejectsStatisticsThatDisagreeWithTheOutputs) {
  const std::string bounds =
      "weight file has an unparsable value for \"alpha_min must not exceed alpha_max, and neither may be NaN\"";
  const std::tuple<std::function<void(Guesser&)>, std::size_t, std::string> cases[] = {
      {[](Guesser&) {}, 3, "ok"},
      {[](Guesser&) {}, 2, "tensor \"head.4\" has 2 elements, expected 3"},
      {[](Guesser& g) { g.target_mean.pop_back(); }, 6, "tensor \"target_mean\" has 2 elements, expected 3"},
      {[](Guesser& g) { g.target_std.pop_back(); }, 6, "tensor \"target_std\" has 2 elements, expected 3"},
      {[](Guesser& g) { g.log_params.pop_back(); }, 6, "tensor \"log_params\" has 2 elements, expected 3"},
      {[](Guesser& g) { g.scaling.pop_back(); }, 6, "tensor \"scaling\" has 8 elements, expected 12"},
      {[](Guesser& g) { g.scaling[1].ref = 3; }, 6,
       "weight file has an unparsable value for \"scaling row 1 refers to output 3 of 3\""},
      {[](Guesser& g) { g.alpha_min = 2.0; }, 6, bounds},
      {[](Guesser& g) { g.alpha_max = kNan; }, 6, bounds},
      // The bounds matter only when some output is linear.
      {[](Guesser& g) { g.alpha_max = kNan, g.log_params[2] = true; }, 3, "ok"},
  };
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    const auto& [spoil, head_size, message] = cases[i];
    Guesser g = decoding_host();
    spoil(g);
    EXPECT_EQ(message_of(decode(g, std::vector<double>(head_size, 0.5), ScaleEstimate{1.0, 1.0})), message)
        << "case " << i;
  }
}

// An independent, deliberately plain forward pass: every output element is
// accumulated on its own, straight from the formulas and in their summation
// order, so the optimised layers must agree to the last bit.
class ReferenceNetwork {
 public:
  explicit ReferenceNetwork(const Guesser& g) : g_(g) {}

  std::vector<double> run(const Features& input) const {
    const std::size_t c = g_.channels, l = g_.n_grid;
    std::vector<double> h = conv(input.input, 3, "stem", 1);
    for (std::size_t i = 0; i < g_.dilations.size(); ++i) {
      const std::string p = "blocks." + std::to_string(i) + ".";
      std::vector<double> y = activate(norm(conv(h, c, p + "conv1", g_.dilations[i]), p + "norm1"));
      y = norm(conv(y, c, p + "conv2", g_.dilations[i]), p + "norm2");
      for (std::size_t j = 0; j < h.size(); ++j) h[j] = y[j] + h[j];
      h = activate(h);
    }
    std::vector<double> means, maxima;
    for (std::size_t ch = 0; ch < c; ++ch) {
      double sum = -0.0, best = -kInf;
      for (std::size_t t = 0; t < l; ++t) sum += h[ch * l + t], best = std::fmax(best, h[ch * l + t]);
      means.push_back(sum / static_cast<double>(l));
      maxima.push_back(best);
    }
    means.insert(means.end(), maxima.begin(), maxima.end());
    means.push_back(input.span_scalar);
    means.push_back(input.count_scalar);
    return dense(activate(dense(activate(dense(means, "head.0")), "head.2")), "head.4");
  }

 private:
  const Tensor& t(const std::string& name) const { return g_.tensors.at("w." + name); }

  std::vector<double> conv(const std::vector<double>& x, std::size_t in, const std::string& layer,
                           std::size_t d) const {
    const std::vector<double>& w = t(layer + ".weight").data;
    const std::vector<double>& b = t(layer + ".bias").data;
    const std::size_t out = t(layer + ".weight").dims[0], l = g_.n_grid, k = g_.kernel;
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
    const std::vector<double>& gamma = t(layer + ".weight").data;
    const std::vector<double>& beta = t(layer + ".bias").data;
    const std::size_t per = g_.channels / g_.groups, m = per * g_.n_grid;
    for (std::size_t grp = 0; grp < g_.groups; ++grp) {
      double* block = x.data() + grp * m;
      double sum = -0.0, sq = -0.0;
      for (std::size_t k = 0; k < m; ++k) sum += block[k];
      const double mean = sum / static_cast<double>(m);
      for (std::size_t k = 0; k < m; ++k) sq += (block[k] - mean) * (block[k] - mean);
      const double inv = 1.0 / std::sqrt(sq / static_cast<double>(m) + 1e-5);
      for (std::size_t k = 0; k < m; ++k) {
        const std::size_t ch = grp * per + k / g_.n_grid;
        block[k] = ((block[k] - mean) * inv) * gamma[ch] + beta[ch];
      }
    }
    return x;
  }

  std::vector<double> dense(const std::vector<double>& x, const std::string& layer) const {
    const std::vector<double>& w = t(layer + ".weight").data;
    const std::vector<double>& b = t(layer + ".bias").data;
    std::vector<double> y(b.size());
    for (std::size_t o = 0; o < y.size(); ++o) {
      double s = -0.0;
      for (std::size_t i = 0; i < x.size(); ++i) s += w[o * x.size() + i] * x[i];
      y[o] = s + b[o];
    }
    return y;
  }

  static std::vector<double> activate(std::vector<double> v) {
    for (double& e : v) e = (portable_tanh(0.7978845608028654 * (0.044715 * e * e * e + e)) + 1.0) * (e * 0.5);
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
    const Complex z_par = reciprocal(Complex{1.0 / 50.0, kTwoPi * freq * 1e-4});
    f.push_back(freq);
    z.push_back({(10.0 + z_par.re) * noise(rng), z_par.im * noise(rng)});
  }
  for (std::size_t i = n - 1; i > 0; --i) {
    const std::size_t j = std::uniform_int_distribution<std::size_t>(0, i)(rng);
    std::swap(f[i], f[j]);
    std::swap(z[i], z[j]);
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

TEST(Forward, MatchesThePlainReferenceBitForBit) {
  const testing::NetworkShape shapes[] = {
      shape_with(8, 4, 3, 2, {1, 2}),
      shape_with(16, 8, 5, 4, {1, 2, 4, 8}),
      shape_with(5, 3, 2, 2, {3}),             // even kernel, a channel left over
      shape_with(2, 2, 5, 1, {1}),             // padding wider than the grid
      shape_with(64, 32, 5, 8, {1, 2, 4, 8}),  // the built-in size
      shape_with(40, 16, 5, 8, {1, 2, 4, 8}),  // grid not a block multiple
  };
  std::mt19937_64 rng(1234);
  for (std::size_t s = 0; s < std::size(shapes); ++s) {
    for (int trial = 0; trial < 5; ++trial) {
      SCOPED_TRACE("shape " + std::to_string(s) + ", trial " + std::to_string(trial));
      const Guesser g = load(testing::random_network(shapes[s], rng).bytes());
      std::vector<double> f;
      std::vector<Complex> z;
      rc_spectrum(rng, 20 + 7 * static_cast<std::size_t>(trial), f, z);
      const ScaleEstimate scale = reactive_centroid(f, z);
      const Features input = features(g.n_grid, f, z, scale);
      const auto head = forward(g, input);
      ASSERT_TRUE(head.ok()) << head.error().message();
      EXPECT_EQ(head.value(), ReferenceNetwork(g).run(input));
      const Guesser copy = g;  // prepares its convolutions on every call
      EXPECT_EQ(forward(copy, input).value(), head.value());

      const auto params = infer(g, f, z);
      const auto decoded = decode(g, head.value(), scale);
      ASSERT_TRUE(params.ok() && decoded.ok());
      EXPECT_EQ(params.value(), decoded.value());
      for (double value : params.value()) EXPECT_TRUE(std::isfinite(value));
    }
  }
}

TEST(Infer, ChecksThePointCountsButNotTheValues) {
  std::mt19937_64 rng(3);
  const Guesser g = load(testing::random_network({}, rng).bytes());
  const std::vector<double> f = {1.0, 2.0, 3.0};
  const std::vector<Complex> z = {{1.0, -1.0}, {1.0, -2.0}, {1.0, -3.0}};
  const auto message = [&](std::size_t nf, std::size_t nz) {
    return message_of(infer(g, std::span(f).first(nf), std::span(z).first(nz)));
  };
  EXPECT_EQ(message(1, 3), "need at least 2 frequency points to guess, got 1");
  EXPECT_EQ(message(3, 0), "need at least 2 frequency points to guess, got 0");
  EXPECT_EQ(message(3, 2), "tensor \"impedances\" has 2 elements, expected 3");
  EXPECT_EQ(message(2, 3), "ok");
  EXPECT_EQ(message(2, 2), "ok");
  // Non-positive frequencies and zero impedances give non-finite outputs, not errors.
  const std::vector<double> bad_f = {-1.0, 0.0, 10.0};
  const std::vector<Complex> bad_z = {{1.0, -1.0}, {1.0, -2.0}, {0.0, 0.0}};
  const auto out = infer(g, bad_f, bad_z);
  ASSERT_TRUE(out.ok());
  ASSERT_EQ(out.value().size(), 3u);
  EXPECT_FALSE(std::isfinite(out.value()[0]));
}

TEST(Infer, ReportsTensorsThatDoNotFitTheNetwork) {
  const std::pair<std::function<void(Guesser&)>, std::string> cases[] = {
      {[](Guesser& g) { g.tensors.erase("w.blocks.1.norm1.bias"); },
       "weight file is missing \"w.blocks.1.norm1.bias\""},
      // C = 4 pools to 10 values; the layer, not the tensor, is named.
      {[](Guesser& g) {
         g.tensors["w.head.0.weight"] = Tensor{{6, 12}, std::vector<double>(72, 0.1)};
       },
       "tensor \"head.0\" has 10 elements, expected 12"},
      {[](Guesser& g) {
         g.tensors["w.stem.weight"] = Tensor{{2, 3, 3}, std::vector<double>(18, 0.1)};
       },
       "tensor \"blocks.0.conv1\" has 16 elements, expected 32"},
      {[](Guesser& g) { g.channels = 0; },
       "weight file has an unparsable value for \"channels is 0, so the network has no channel to convolve or pool\""},
      {[](Guesser& g) { g.n_grid = std::size_t{1} << 40; },
       "weight file has an unparsable value for \"n_grid 1099511627776 needs 3298534883328 input values, more than "
       "the limit of 16777216\""},
  };
  const std::vector<double> f = {1.0, 10.0};
  const std::vector<Complex> z = {{1.0, -1.0}, {1.0, -2.0}};
  std::mt19937_64 rng(5);
  for (const auto& [spoil, message] : cases) {
    Guesser g = load(testing::random_network({}, rng).bytes());
    spoil(g);
    EXPECT_EQ(message_of(infer(g, f, z)), message);
  }
}

}  // namespace
}  // namespace kovrant
