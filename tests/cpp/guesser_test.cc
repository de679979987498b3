#include "nn/guesser.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <map>
#include <optional>

#include "eisnn_builder.h"

namespace kovrant {
namespace {

using testing::EisnnBuilder;
using Bytes = std::vector<unsigned char>;

constexpr const char* kTruncated = "weight file is truncated";
constexpr const char* kBadMagic = "not an eisnn weight file (bad magic bytes)";
constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNan = std::numeric_limits<double>::quiet_NaN();

std::string unparsable(const std::string& what) { return "weight file has an unparsable value for \"" + what + "\""; }

// Metadata in the built-in key order, with `overrides` replacing values
// (std::nullopt drops the key), then three parameters' statistics unless
// `with_statistics` is false.
EisnnBuilder valid_file(const std::map<std::string, std::optional<std::string>>& overrides = {},
                        bool with_statistics = true) {
  static const char* const kKeys[] = {"circuit", "param_names", "estimator", "n_grid",    "channels",
                                      "kernel",  "groups",      "dilations", "alpha_min", "alpha_max"};
  static const char* const kValues[] = {
      "R0-(R1,C1)", "R0.r,R1.r,C1.c", "reactive_centroid", "64", "16", "5", "8", "1,2,4,8", "0.05", "1.0"};
  EisnnBuilder builder;
  for (std::size_t i = 0; i < std::size(kKeys); ++i) {
    const auto found = overrides.find(kKeys[i]);
    if (found == overrides.end() || found->second) {
      builder.meta(kKeys[i], found == overrides.end() ? kValues[i] : *found->second);
    }
  }
  if (!with_statistics) return builder;
  return builder.vector_f32("target_mean", {0.5f, -1.0f, 2.0f})
      .vector_f32("target_std", {1.0f, 2.0f, 0.25f})
      .tensor_f32("scaling", {3, 4}, {1, 0, 0, -1, 1, 0, 0, -1, -1, -1, 0, -1})
      .vector_f32("log_params", {1, 1, 0});
}

std::string load_error(const Bytes& bytes) {
  const auto loaded = Guesser::from_bytes(bytes);
  return loaded ? "loaded" : loaded.error().message();
}

Guesser load(const Bytes& bytes) {
  auto loaded = Guesser::from_bytes(bytes);
  EXPECT_TRUE(loaded.ok()) << (loaded ? "" : loaded.error().message());
  return loaded ? std::move(loaded.value()) : Guesser{};
}

TEST(FromBytes, LoadsEveryField) {
  const Guesser g = load(valid_file().bytes());
  EXPECT_EQ(g.circuit, "R0-(R1,C1)");
  EXPECT_EQ(g.param_names, (std::vector<std::string>{"R0.r", "R1.r", "C1.c"}));
  EXPECT_EQ(g.dilations, (std::vector<std::size_t>{1, 2, 4, 8}));
  EXPECT_EQ(g.target_mean, (std::vector<double>{0.5, -1.0, 2.0}));
  EXPECT_EQ(g.target_std, (std::vector<double>{1.0, 2.0, 0.25}));
  EXPECT_EQ(g.log_params, (std::vector<bool>{true, true, false}));
  ASSERT_EQ(g.scaling.size(), 3u);
  EXPECT_EQ((std::vector<double>{g.scaling[2].a, g.scaling[2].b, g.scaling[2].c}), (std::vector<double>{-1, -1, 0}));
  EXPECT_EQ(g.scaling[2].ref, -1);
  EXPECT_EQ((std::vector<std::size_t>{g.n_grid, g.channels, g.kernel, g.groups}),
            (std::vector<std::size_t>{64, 16, 5, 8}));
  EXPECT_EQ(g.alpha_min, 0.05);
  EXPECT_EQ(g.alpha_max, 1.0);
  EXPECT_EQ(g.tensors.size(), 4u);
}

TEST(FromBytes, ReportsTheFirstFailureOfABrokenBuffer) {
  const auto text = [](const char* chars) { return Bytes(chars, chars + std::char_traits<char>::length(chars)); };
  const auto header = [&](std::initializer_list<unsigned char> rest) {
    Bytes bytes(rest);
    const Bytes magic = text("EISNN001");
    bytes.insert(bytes.begin(), magic.begin(), magic.end());
    return bytes;
  };
  const auto one_tensor = [](std::uint8_t encoding, const std::vector<std::uint32_t>& dims, const Bytes& data) {
    return EisnnBuilder().tensor_bytes("t", encoding, dims, data).bytes();
  };
  Bytes cut_in_dims = one_tensor(3, {1, 2}, {});  // dims are read before the encoding is judged
  cut_in_dims.resize(cut_in_dims.size() - 2);
  const std::pair<Bytes, std::string> cases[] = {
      {{}, kTruncated},
      {text("EISNN00"), kTruncated},
      {text("EISNN002"), kBadMagic},
      {text("GARBAGE!"), kBadMagic},
      {header({0, 0, 0}), kTruncated},
      {header({0, 0, 0, 0}), kTruncated},                                            // no tensor count
      {header({1, 0, 0, 0, 0, 0, 0, 0}), kTruncated},                                // a pair short
      {header({1, 0, 0, 0, 1, 0, 0, 0, 0xFF, 0, 0, 0, 0, 0, 0, 0, 0}), kTruncated},  // key not UTF-8
      {header({0xFF, 0xFF, 0xFF, 0xFF}), kTruncated},
      {header({0, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF}), kTruncated},
      {header({0, 0, 0, 0, 0, 0, 0, 0}), "weight file is missing \"target_mean\""},
      {one_tensor(3, {1}, {0, 0, 0, 0}), "weight file uses tensor encoding 3, which this build does not know"},
      {one_tensor(255, {}, {}), "weight file uses tensor encoding 255, which this build does not know"},
      {cut_in_dims, kTruncated},
      // Element counts that overflow 64 bits must not wrap around to a small size.
      {one_tensor(0, {0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF}, {0, 0, 0x80, 0x3F}), kTruncated},
      {one_tensor(2, {0xFFFFFFFF, 0xFFFFFFFF}, {0, 0, 0x80, 0x3F, 1}), kTruncated},
      {one_tensor(0, {0x40000000, 4}, {0, 0, 0x80, 0x3F}), kTruncated},
  };
  for (std::size_t i = 0; i < std::size(cases); ++i) EXPECT_EQ(load_error(cases[i].first), cases[i].second) << i;

  // Every cut inside a tensor record, past the tensor count, is truncation.
  const Bytes full = EisnnBuilder().tensor_f32("t", {2, 2}, {1, 2, 3, 4}).bytes();
  for (std::size_t size = 16; size < full.size(); ++size) {
    EXPECT_EQ(load_error(Bytes(full.begin(), full.begin() + static_cast<std::ptrdiff_t>(size))), kTruncated) << size;
  }
}

TEST(FromBytes, DecodesEachEncodingWithAtLeastOneElement) {
  Bytes bytes = valid_file()
                    .tensor_f32("rank0", {}, {7.5f})
                    .tensor_f32("zero_dim", {3, 0, 5}, {-2.0f})
                    .tensor_f32("zero_after_huge", {0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF, 0}, {1.0f})
                    .tensor_bytes("half", 1, {2, 2}, {0x00, 0x3C, 0x00, 0xC0, 0x01, 0x00, 0x00, 0xFC})
                    .tensor_bytes("int8", 2, {2}, {0x00, 0x00, 0x00, 0x3F, 0xFF, 0x02})             // scale 0.5
                    .tensor_bytes("int8_ends", 2, {3}, {0x00, 0x00, 0x80, 0x3E, 0x80, 0x7F, 0x00})  // scale 0.25
                    .bytes();
  bytes.insert(bytes.end(), {0xDE, 0xAD, 0xBE, 0xEF, 0, 1, 2});  // trailing bytes are ignored
  const Guesser g = load(bytes);
  const auto data = [&](const char* name) { return g.tensors.at(name).data; };
  EXPECT_EQ(data("rank0"), std::vector<double>{7.5});
  EXPECT_TRUE(g.tensors.at("rank0").dims.empty());
  EXPECT_EQ(data("zero_dim"), std::vector<double>{-2.0});
  EXPECT_EQ(g.tensors.at("zero_dim").dims, (std::vector<std::size_t>{3, 0, 5}));
  EXPECT_EQ(data("zero_after_huge"), std::vector<double>{1.0});
  EXPECT_EQ(data("half"), (std::vector<double>{1.0, -2.0, std::ldexp(1.0, -24), -kInf}));
  EXPECT_EQ(data("int8"), (std::vector<double>{-0.5, 1.0}));
  EXPECT_EQ(data("int8_ends"), (std::vector<double>{-32.0, 31.75, 0.0}));
}

TEST(FromBytes, LaterDuplicatesReplaceEarlierOnes) {
  const Guesser g =
      load(valid_file().meta("circuit", "R9-C9").meta("n_grid", "+32").vector_f32("target_std", {4, 5, 6}).bytes());
  EXPECT_EQ(g.circuit, "R9-C9");
  EXPECT_EQ(g.n_grid, 32u);
  EXPECT_EQ(g.target_std, (std::vector<double>{4, 5, 6}));
}

// Valid metadata, zero means and spreads, and the given log_params and scaling.
Bytes with_statistics(const std::vector<float>& log_params, const std::vector<float>& scaling) {
  const std::vector<float> zeros(log_params.size(), 0.0f);
  return valid_file({}, false)
      .vector_f32("target_mean", zeros)
      .vector_f32("target_std", zeros)
      .vector_f32("scaling", scaling)
      .vector_f32("log_params", log_params)
      .bytes();
}

TEST(FromBytes, ConvertsLogParamsAndScalingReferences) {
  const float nan = std::nanf("");
  std::vector<float> scaling;
  for (float ref : {2.5f, -2.5f, 1.49f, nan, 1e10f, -1e10f}) scaling.insert(scaling.end(), {0, 0, 0, ref});
  const Guesser g = load(with_statistics({0.0f, -0.0f, 2.0f, nan, 1.0f, 1.0f}, scaling));
  EXPECT_EQ(g.log_params, (std::vector<bool>{false, false, true, true, true, true}));
  std::vector<std::int32_t> refs;
  for (const Scaling& s : g.scaling) refs.push_back(s.ref);
  // Halves round away from zero, NaN becomes 0, and the 32-bit range saturates.
  EXPECT_EQ(refs, (std::vector<std::int32_t>{3, -3, 1, 0, 2147483647, -2147483647 - 1}));
  EXPECT_EQ(load_error(with_statistics({1, 1, 1}, std::vector<float>(11, 0.0f))),
            "tensor \"scaling\" has 11 elements, expected 12");
}

TEST(FromBytes, StatisticsAreFetchedInOrderBeforeMetadata) {
  EisnnBuilder builder;
  for (const char* name : {"target_mean", "target_std", "log_params", "scaling"}) {
    EXPECT_EQ(load_error(builder.bytes()), std::string("weight file is missing \"") + name + "\"");
    builder.vector_f32(name, name == std::string("scaling") ? std::vector<float>{1, 0, 0, -1} : std::vector{1.0f});
  }
  EXPECT_EQ(load_error(builder.bytes()), "weight file is missing \"dilations\"");
  EXPECT_EQ(load_error(valid_file({{"n_grid", "x"}}, false).bytes()), "weight file is missing \"target_mean\"");
}

TEST(FromBytes, MissingMetadataIsReportedInKeyOrder) {
  const char* const order[] = {"dilations", "estimator", "circuit", "param_names", "n_grid",
                               "channels",  "kernel",    "groups",  "alpha_min",   "alpha_max"};
  std::map<std::string, std::optional<std::string>> dropped;
  for (const char* key : order) dropped[key] = std::nullopt;
  for (const char* key : order) {
    EXPECT_EQ(load_error(valid_file(dropped).bytes()), std::string("weight file is missing \"") + key + "\"");
    dropped.erase(key);
  }
  EXPECT_EQ(load_error(valid_file(dropped).bytes()), "loaded");
}

// The number syntax itself is pinned in number_text_test.cc; here each key
// must use it and name itself when its value does not parse.
TEST(FromBytes, MetadataValuesParseOrNameTheKey) {
  const auto estimator = [](const std::string& value) {
    return "weight file was normalised with the \"" + value +
           "\" scale estimator, which this build does not implement (supported: reactive_centroid)";
  };
  const std::tuple<const char*, const char*, std::string> cases[] = {
      {"n_grid", " 64", unparsable("n_grid")},
      {"n_grid", "-64", unparsable("n_grid")},
      {"n_grid", "+64", "loaded"},
      {"channels", "", unparsable("channels")},
      {"kernel", "5 ", unparsable("kernel")},
      {"groups", "99999999999999999999", unparsable("groups")},
      {"dilations", "1, 2, 4, 8", "loaded"},
      {"dilations", " 1 ,\t2", "loaded"},
      {"dilations", "1,,2", unparsable("dilations")},
      {"alpha_min", "abc", unparsable("alpha_min")},
      {"alpha_max", " 1.0", unparsable("alpha_max")},
      {"alpha_max", "NaN", "loaded"},
      {"estimator", "median", estimator("median")},
      {"estimator", "reactive_centroid ", estimator("reactive_centroid ")},
  };
  for (const auto& [key, value, message] : cases) {
    EXPECT_EQ(load_error(valid_file({{key, value}}).bytes()), message) << key << "=\"" << value << '"';
  }
}

TEST(FromBytes, DilationsAreTrimmedAndParamNamesAreNot) {
  const Guesser g = load(valid_file({{"dilations", " 1, 2 ,4"}, {"param_names", " R0.r,,x "}}).bytes());
  EXPECT_EQ(g.dilations, (std::vector<std::size_t>{1, 2, 4}));
  EXPECT_EQ(g.param_names, (std::vector<std::string>{" R0.r", "", "x "}));
  EXPECT_EQ(load(valid_file({{"param_names", ""}}).bytes()).param_names, std::vector<std::string>{""});
}

TEST(NnError, UnparsableQuotesItsTextWithEscapes) {
  EXPECT_EQ(NnError::unparsable("circuit \"R0-\" in a\\b.eisnn").message(),
            unparsable("circuit \\\"R0-\\\" in a\\\\b.eisnn"));
}

// A Guesser with only the fields the layer operations read.
Guesser layer_host(std::size_t n_grid, std::size_t channels, std::size_t kernel, std::size_t groups) {
  Guesser g;
  g.n_grid = n_grid;
  g.channels = channels;
  g.kernel = kernel;
  g.groups = groups;
  return g;
}

void put(Guesser& g, const std::string& name, std::vector<std::size_t> dims, std::vector<double> data) {
  g.tensors[name] = Tensor{std::move(dims), std::move(data)};
}

bool same_values(const std::vector<double>& a, const std::vector<double>& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (!(a[i] == b[i] || (std::isnan(a[i]) && std::isnan(b[i])))) return false;
  }
  return true;
}

TEST(Conv1d, MatchesHandComputedOutputs) {
  struct Case {
    std::size_t length, in, kernel, dilation;
    std::vector<double> w, b, x, expected;
  };
  std::vector<double> ramp(18), shifted(18, 0.0);
  for (std::size_t t = 0; t < ramp.size(); ++t) ramp[t] = static_cast<double>(t + 1);
  shifted[16] = 1.0;
  shifted[17] = 2.0;
  const Case cases[] = {
      // K = 3, dilation 2: M = 2, taps read t-2, t, t+2.
      {5, 1, 3, 2, {1, 10, 100}, {0.5}, {1, 2, 3, 4, 5}, {310.5, 420.5, 531.5, 42.5, 53.5}},
      // K = 1: a pointwise mix of two input channels into two outputs.
      {3, 2, 1, 1, {1, 2, -1, 0.5}, {0, 1}, {1, 2, 3, 10, 20, 30}, {21, 42, 63, 5, 9, 13}},
      // K = 5, dilation 8: the padding is 16, so the first tap reads t - 16.
      {18, 1, 5, 8, {1, 0, 0, 0, 0}, {0}, ramp, shifted},
      // Taps of weight +-0.0 are skipped, so inf and NaN inputs do not leak through them.
      {3, 1, 3, 1, {0.0, 1.0, -0.0}, {0.0}, {kInf, 2.0, kNan}, {kInf, 2.0, kNan}},
      // A dilation beyond the grid leaves only the centre tap.
      {4, 1, 3, std::numeric_limits<std::size_t>::max(), {5, 2, 7}, {0}, {1, 2, 3, 4}, {2, 4, 6, 8}},
  };
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    const Case& c = cases[i];
    Guesser g = layer_host(c.length, c.in, c.kernel, 1);
    put(g, "w.c.weight", {c.b.size(), c.in, c.kernel}, c.w);
    put(g, "w.c.bias", {c.b.size()}, c.b);
    const auto y = g.conv1d(c.x, c.in, "c", c.dilation);
    ASSERT_TRUE(y.ok()) << i << ": " << y.error().message();
    EXPECT_TRUE(same_values(y.value(), c.expected)) << "case " << i;
  }
}

TEST(GroupNorm, NormalisesEachFullGroupByHand) {
  // Two channels in one group of L = 2: values 1, 3, 5, 7 have mean 4 and
  // population variance 5.
  Guesser g = layer_host(2, 2, 1, 1);
  put(g, "w.n.weight", {2}, {1.0, 2.0});
  put(g, "w.n.bias", {2}, {0.0, 10.0});
  std::vector<double> x = {1, 3, 5, 7};
  ASSERT_FALSE(g.group_norm(x, "n").has_value());
  const double inv = 1.0 / std::sqrt(5.0 + 1e-5);
  EXPECT_EQ(x, (std::vector<double>{(-3.0 * inv) * 1.0 + 0.0, (-1.0 * inv) * 1.0 + 0.0, (1.0 * inv) * 2.0 + 10.0,
                                    (3.0 * inv) * 2.0 + 10.0}));
  // C = 3, G = 2: one channel per group, and the third channel is left unchanged.
  Guesser uneven = layer_host(2, 3, 1, 2);
  put(uneven, "w.n.weight", {3}, {1, 1, 1});
  put(uneven, "w.n.bias", {3}, {0, 0, 0});
  std::vector<double> y = {1, 3, 10, 10, 42, -42};
  ASSERT_FALSE(uneven.group_norm(y, "n").has_value());
  const double unit = 1.0 / std::sqrt(1.0 + 1e-5);
  EXPECT_EQ(y, (std::vector<double>{-unit, unit, 0.0, 0.0, 42.0, -42.0}));
}

TEST(Linear, MultipliesRowsFromNegativeZeroAndAddsBiasLast) {
  Guesser g = layer_host(1, 1, 1, 1);
  put(g, "w.h.weight", {2, 3}, {1, 2, 3, -1, 0, 1});
  put(g, "w.h.bias", {2}, {0.5, -0.5});
  const auto y = g.linear(std::vector<double>{1, 10, 100}, "h");
  ASSERT_TRUE(y.ok());
  EXPECT_EQ(y.value(), (std::vector<double>{321.5, 98.5}));
  put(g, "w.h.weight", {1, 1}, {-1});
  put(g, "w.h.bias", {1}, {-0.0});
  const auto zero = g.linear(std::vector<double>{0.0}, "h");
  ASSERT_TRUE(zero.ok());
  EXPECT_TRUE(std::signbit(zero.value()[0]));  // -0 + (-1 * 0) + -0
}

TEST(Layers, RejectTensorsThatDisagreeWithTheirShapesOrInput) {
  constexpr std::size_t kAbsent = std::numeric_limits<std::size_t>::max();
  struct Case {
    char layer;  // 'c' conv1d, 'n' group_norm, 'h' linear; the tensors are w.{layer}.weight and .bias
    std::vector<std::size_t> w_dims;
    std::size_t w_size, b_size, input;
    std::string message;
    std::size_t in_channels = 2, n_grid = 4, groups = 2;
  };
  const std::string too_large = unparsable("c would produce 1073741824 values, more than the limit of 16777216");
  const Case cases[] = {
      {'c', {}, kAbsent, kAbsent, 8, "weight file is missing \"w.c.weight\""},
      {'c', {1, 2, 3}, 6, kAbsent, 8, "weight file is missing \"w.c.bias\""},
      {'c', {}, 1, 1, 8, unparsable("w.c.weight has no dimensions")},
      {'c', {3, 2, 3}, 17, 3, 8, "tensor \"w.c.weight\" has 17 elements, expected 18"},
      {'c', {3, 2, 3}, 18, 2, 8, "tensor \"w.c.bias\" has 2 elements, expected 3"},
      {'c', {1, 2, 3}, 6, 1, 7, "tensor \"c\" has 7 elements, expected 8"},
      {'c', {1, 2, 3}, 6, 1, 8, "tensor \"w.c.weight\" has 6 elements, expected 18446744073709551615", kAbsent / 2},
      {'c', {1, 0, 3}, 1, 1, 0, too_large, 0, std::size_t{1} << 30},
      {'n', {2}, 2, 2, 8, unparsable("groups is 0, so n has no group to normalise"), 2, 4, 0},
      {'n', {1}, 1, 2, 8, "tensor \"w.n.weight\" has 1 elements, expected 2"},
      {'n', {2}, 2, 1, 8, "tensor \"w.n.bias\" has 1 elements, expected 2"},
      {'n', {2}, 2, 2, 7, "tensor \"n\" has 7 elements, expected 8"},
      {'h', {4}, 4, 1, 4, unparsable("w.h.weight has fewer than 2 dimensions")},
      {'h', {2, 130}, 260, 2, 66, "tensor \"h\" has 66 elements, expected 130"},
      {'h', {3, 2}, 5, 3, 2, "tensor \"w.h.weight\" has 5 elements, expected 6"},
      {'h', {3, 2}, 6, 2, 2, "tensor \"w.h.bias\" has 2 elements, expected 3"},
      {'h', {0xFFFFFFFF, 2}, 1, 1, 2, "tensor \"w.h.weight\" has 1 elements, expected 8589934590"},
  };
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    const Case& c = cases[i];
    Guesser g = layer_host(c.n_grid, 2, 3, c.groups);
    const std::string layer(1, c.layer);
    if (c.w_size != kAbsent) put(g, "w." + layer + ".weight", c.w_dims, std::vector<double>(c.w_size, 1.0));
    if (c.b_size != kAbsent) put(g, "w." + layer + ".bias", {c.b_size}, std::vector<double>(c.b_size, 0.0));
    std::vector<double> x(c.input, 1.0);
    std::string got = "ok";
    if (c.layer == 'c') {
      const auto y = g.conv1d(x, c.in_channels, layer, 1);
      if (!y) got = y.error().message();
    } else if (c.layer == 'n') {
      if (const auto error = g.group_norm(x, layer)) got = error->message();
    } else if (const auto y = g.linear(x, layer); !y) {
      got = y.error().message();
    }
    EXPECT_EQ(got, c.message) << "case " << i;
  }
}

}  // namespace
}  // namespace kovrant
