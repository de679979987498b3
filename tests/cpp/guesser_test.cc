#include "nn/guesser.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <functional>
#include <limits>

#include "eisnn_builder.h"

namespace kovrant {
namespace {

using testing::EisnnBuilder;

using Bytes = std::vector<unsigned char>;

const char* const kMetaKeys[] = {"circuit", "param_names", "estimator", "n_grid",    "channels",
                                 "kernel",  "groups",      "dilations", "alpha_min", "alpha_max"};

std::string default_meta(const std::string& key) {
  if (key == "circuit") return "R0-(R1,C1)";
  if (key == "param_names") return "R0.r,R1.r,C1.c";
  if (key == "estimator") return "reactive_centroid";
  if (key == "n_grid") return "64";
  if (key == "channels") return "16";
  if (key == "kernel") return "5";
  if (key == "groups") return "8";
  if (key == "dilations") return "1,2,4,8";
  if (key == "alpha_min") return "0.05";
  return "1.0";
}

// Metadata with `overrides` replacing (or, with an empty value pointer,
// dropping) keys, then the four statistics tensors unless `with_statistics`
// is false.
EisnnBuilder valid_file(const std::map<std::string, std::optional<std::string>>& overrides = {},
                        bool with_statistics = true) {
  EisnnBuilder builder;
  for (const char* key : kMetaKeys) {
    const auto found = overrides.find(key);
    if (found == overrides.end()) {
      builder.meta(key, default_meta(key));
    } else if (found->second) {
      builder.meta(key, *found->second);
    }
  }
  if (with_statistics) {
    builder.vector_f32("target_mean", {0.5f, -1.0f, 2.0f})
        .vector_f32("target_std", {1.0f, 2.0f, 0.25f})
        .tensor_f32("scaling", {3, 4}, {1, 0, 0, -1, 1, 0, 0, -1, -1, -1, 0, -1})
        .vector_f32("log_params", {1, 1, 0});
  }
  return builder;
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
  EXPECT_EQ(g.scaling[2].a, -1.0);
  EXPECT_EQ(g.scaling[2].b, -1.0);
  EXPECT_EQ(g.scaling[2].c, 0.0);
  EXPECT_EQ(g.scaling[2].ref, -1);
  EXPECT_EQ(g.n_grid, 64u);
  EXPECT_EQ(g.channels, 16u);
  EXPECT_EQ(g.kernel, 5u);
  EXPECT_EQ(g.groups, 8u);
  EXPECT_EQ(g.alpha_min, 0.05);
  EXPECT_EQ(g.alpha_max, 1.0);
  EXPECT_EQ(g.tensors.size(), 4u);
}

struct BufferCase {
  const char* name;
  Bytes bytes;
  const char* message;
};

class FromBytesBufferTest : public ::testing::TestWithParam<BufferCase> {};

TEST_P(FromBytesBufferTest, ReportsTheFirstFailure) { EXPECT_EQ(load_error(GetParam().bytes), GetParam().message); }

Bytes with_prefix(const char* text) { return Bytes(text, text + std::strlen(text)); }

Bytes header_then(std::initializer_list<unsigned char> rest) {
  Bytes bytes = with_prefix("EISNN001");
  bytes.insert(bytes.end(), rest);
  return bytes;
}

INSTANTIATE_TEST_SUITE_P(
    Headers, FromBytesBufferTest,
    ::testing::Values(
        BufferCase{"Empty", {}, "weight file is truncated"},
        BufferCase{"SevenBytes", with_prefix("EISNN00"), "weight file is truncated"},
        BufferCase{"WrongMagic", with_prefix("EISNN002"), "not an eisnn weight file (bad magic bytes)"},
        BufferCase{"WrongMagicShort", with_prefix("GARBAGE!"), "not an eisnn weight file (bad magic bytes)"},
        BufferCase{"MagicPlusThree", header_then({0, 0, 0}), "weight file is truncated"},
        BufferCase{"NoTensorCount", header_then({0, 0, 0, 0}), "weight file is truncated"},
        BufferCase{"MetaCountTooLarge", header_then({1, 0, 0, 0, 0, 0, 0, 0}), "weight file is truncated"},
        BufferCase{"KeyNotUtf8", header_then({1, 0, 0, 0, 1, 0, 0, 0, 0xFF, 0, 0, 0, 0, 0, 0, 0, 0}),
                   "weight file is truncated"},
        BufferCase{"NoTensors", header_then({0, 0, 0, 0, 0, 0, 0, 0}), "weight file is missing \"target_mean\""},
        BufferCase{"HugeMetaCount", header_then({0xFF, 0xFF, 0xFF, 0xFF}), "weight file is truncated"},
        BufferCase{"HugeTensorCount", header_then({0, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF}), "weight file is truncated"}),
    [](const auto& info) { return info.param.name; });

TEST(FromBytes, TensorRecordsTruncatedAnywhereReportTruncated) {
  Bytes full = EisnnBuilder().tensor_f32("t", {2, 2}, {1, 2, 3, 4}).bytes();
  // Every cut inside the single record (past the tensor count) is truncation.
  for (std::size_t size = 16; size < full.size(); ++size) {
    EXPECT_EQ(load_error(Bytes(full.begin(), full.begin() + static_cast<std::ptrdiff_t>(size))),
              "weight file is truncated")
        << size;
  }
  EXPECT_EQ(load_error(full), "weight file is missing \"target_mean\"");
}

TEST(FromBytes, UnknownEncodingIsReportedAfterTheDims) {
  EXPECT_EQ(load_error(EisnnBuilder().tensor_bytes("t", 3, {1}, {0, 0, 0, 0}).bytes()),
            "weight file uses tensor encoding 3, which this build does not know");
  EXPECT_EQ(load_error(EisnnBuilder().tensor_bytes("t", 255, {}, {}).bytes()),
            "weight file uses tensor encoding 255, which this build does not know");
  // Cut inside the dims: the dims are read first, so this is truncation.
  Bytes bytes = EisnnBuilder().tensor_bytes("t", 3, {1, 2}, {}).bytes();
  bytes.resize(bytes.size() - 2);
  EXPECT_EQ(load_error(bytes), "weight file is truncated");
}

TEST(FromBytes, ElementCountIsTheProductOfDimsButAtLeastOne) {
  const Guesser g = load(valid_file()
                             .tensor_f32("rank0", {}, {7.5f})
                             .tensor_f32("zero_dim", {3, 0, 5}, {-2.0f})
                             .tensor_f16("matrix", {2, 3}, {0x3C00, 0x4000, 0x4200, 0x4400, 0x4500, 0x4600})
                             .bytes());
  EXPECT_EQ(g.tensors.at("rank0").data, std::vector<double>{7.5});
  EXPECT_TRUE(g.tensors.at("rank0").dims.empty());
  EXPECT_EQ(g.tensors.at("zero_dim").data, std::vector<double>{-2.0});
  EXPECT_EQ(g.tensors.at("zero_dim").dims, (std::vector<std::size_t>{3, 0, 5}));
  EXPECT_EQ(g.tensors.at("matrix").data, (std::vector<double>{1, 2, 3, 4, 5, 6}));
}

TEST(FromBytes, ZeroDimensionAfterHugeOnesStillStoresOneElement) {
  const Guesser g = load(valid_file().tensor_f32("t", {0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF, 0}, {1.0f}).bytes());
  EXPECT_EQ(g.tensors.at("t").data.size(), 1u);
}

TEST(FromBytes, HugeDimsOverflowToTruncatedNotWraparound) {
  // 2^32-1 cubed overflows 64 bits; wrapping would make it small.
  EXPECT_EQ(load_error(EisnnBuilder().tensor_f32("t", {0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF}, {1.0f}).bytes()),
            "weight file is truncated");
  EXPECT_EQ(load_error(EisnnBuilder().tensor_i8("t", {0xFFFFFFFF, 0xFFFFFFFF}, 1.0f, {1}).bytes()),
            "weight file is truncated");
  EXPECT_EQ(load_error(EisnnBuilder().tensor_f32("t", {0x40000000, 4}, {1.0f}).bytes()), "weight file is truncated");
}

TEST(FromBytes, Int8EncodingMultipliesByScale) {
  const Guesser g =
      load(valid_file().tensor_i8("q", {2}, 0.5f, {-1, 2}).tensor_i8("r", {3}, 0.25f, {-128, 127, 0}).bytes());
  EXPECT_EQ(g.tensors.at("q").data, (std::vector<double>{-0.5, 1.0}));
  EXPECT_EQ(g.tensors.at("r").data, (std::vector<double>{-32.0, 31.75, 0.0}));
}

TEST(FromBytes, LaterDuplicatesReplaceEarlierOnes) {
  Bytes bytes = valid_file().meta("circuit", "R9-C9").meta("n_grid", "+32").vector_f32("target_std", {4, 5, 6}).bytes();
  const Guesser h = load(bytes);
  EXPECT_EQ(h.circuit, "R9-C9");
  EXPECT_EQ(h.n_grid, 32u);
  EXPECT_EQ(h.target_std, (std::vector<double>{4, 5, 6}));
}

TEST(FromBytes, TrailingBytesAreIgnored) {
  const Guesser g = load(valid_file().trailing({0xDE, 0xAD, 0xBE, 0xEF, 0, 1, 2}).bytes());
  EXPECT_EQ(g.n_grid, 64u);
}

TEST(FromBytes, LogParamsAreTrueWhenNotZero) {
  EisnnBuilder builder = valid_file({}, false);
  builder.vector_f32("target_mean", {0, 0, 0, 0})
      .vector_f32("target_std", {1, 1, 1, 1})
      .vector_f32("scaling", std::vector<float>(16, 0.0f))
      .vector_f32("log_params", {0.0f, -0.0f, 2.0f, std::nanf("")});
  EXPECT_EQ(load(builder.bytes()).log_params, (std::vector<bool>{false, false, true, true}));
}

TEST(FromBytes, ScalingRefRoundsHalfAwayAndSaturates) {
  EisnnBuilder builder = valid_file({}, false);
  const float nan = std::nanf("");
  builder.vector_f32("target_mean", {0, 0, 0, 0, 0, 0})
      .vector_f32("target_std", {1, 1, 1, 1, 1, 1})
      .tensor_f32("scaling", {6, 4},
                  {0, 0, 0, 2.5f, 0, 0, 0, -2.5f, 0, 0, 0, 1.49f, 0, 0, 0, nan, 0, 0, 0, 1e10f, 0, 0, 0, -1e10f})
      .vector_f32("log_params", {1, 1, 1, 1, 1, 1});
  const Guesser g = load(builder.bytes());
  std::vector<std::int32_t> refs;
  for (const Scaling& s : g.scaling) refs.push_back(s.ref);
  EXPECT_EQ(refs, (std::vector<std::int32_t>{3, -3, 1, 0, 2147483647, -2147483647 - 1}));
}

TEST(FromBytes, StatisticsAreFetchedInOrderBeforeMetadata) {
  EXPECT_EQ(load_error(EisnnBuilder().bytes()), "weight file is missing \"target_mean\"");
  EXPECT_EQ(load_error(EisnnBuilder().vector_f32("target_mean", {1}).bytes()), "weight file is missing \"target_std\"");
  EXPECT_EQ(load_error(EisnnBuilder().vector_f32("target_mean", {1}).vector_f32("target_std", {1}).bytes()),
            "weight file is missing \"log_params\"");
  EXPECT_EQ(load_error(EisnnBuilder()
                           .vector_f32("target_mean", {1})
                           .vector_f32("target_std", {1})
                           .vector_f32("log_params", {1})
                           .bytes()),
            "weight file is missing \"scaling\"");
  EXPECT_EQ(load_error(EisnnBuilder()
                           .vector_f32("target_mean", {1})
                           .vector_f32("target_std", {1})
                           .vector_f32("log_params", {1})
                           .vector_f32("scaling", {1, 0, 0, -1})
                           .bytes()),
            "weight file is missing \"dilations\"");
}

TEST(FromBytes, ScalingMustHoldFourValuesPerMean) {
  EisnnBuilder builder = valid_file({}, false);
  builder.vector_f32("target_mean", {1, 2, 3})
      .vector_f32("target_std", {1, 2, 3})
      .vector_f32("log_params", {1, 1, 1})
      .vector_f32("scaling", std::vector<float>(11, 0.0f));
  EXPECT_EQ(load_error(builder.bytes()), "tensor \"scaling\" has 11 elements, expected 12");
}

TEST(FromBytes, MissingMetadataIsReportedInKeyOrder) {
  // dilations first, then estimator, circuit, param_names, then the numbers.
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

struct MetaCase {
  const char* key;
  const char* value;
  const char* message;  // "loaded" when accepted
};

class MetadataValueTest : public ::testing::TestWithParam<MetaCase> {};

TEST_P(MetadataValueTest, ParsesOrNamesTheKey) {
  EXPECT_EQ(load_error(valid_file({{GetParam().key, GetParam().value}}).bytes()), GetParam().message);
}

INSTANTIATE_TEST_SUITE_P(
    Values, MetadataValueTest,
    ::testing::Values(
        MetaCase{"n_grid", " 64", "weight file has an unparsable value for \"n_grid\""},
        MetaCase{"n_grid", "-64", "weight file has an unparsable value for \"n_grid\""},
        MetaCase{"n_grid", "+64", "loaded"},
        MetaCase{"n_grid", "64.0", "weight file has an unparsable value for \"n_grid\""},
        MetaCase{"channels", "", "weight file has an unparsable value for \"channels\""},
        MetaCase{"kernel", "5 ", "weight file has an unparsable value for \"kernel\""},
        MetaCase{"groups", "99999999999999999999", "weight file has an unparsable value for \"groups\""},
        MetaCase{"dilations", "1, 2, 4, 8", "loaded"}, MetaCase{"dilations", " 1 ,\t2", "loaded"},
        MetaCase{"dilations", "1,,2", "weight file has an unparsable value for \"dilations\""},
        MetaCase{"dilations", "", "weight file has an unparsable value for \"dilations\""},
        MetaCase{"dilations", "1,-2", "weight file has an unparsable value for \"dilations\""},
        MetaCase{"alpha_min", "abc", "weight file has an unparsable value for \"alpha_min\""},
        MetaCase{"alpha_max", " 1.0", "weight file has an unparsable value for \"alpha_max\""},
        MetaCase{"alpha_max", "NaN", "loaded"},
        MetaCase{"estimator", "median",
                 "weight file was normalised with the \"median\" scale estimator, which this build does not implement "
                 "(supported: reactive_centroid)"},
        MetaCase{"estimator", "reactive_centroid ",
                 "weight file was normalised with the \"reactive_centroid \" scale estimator, which this build does "
                 "not implement (supported: reactive_centroid)"},
        MetaCase{"estimator", "Reactive_Centroid",
                 "weight file was normalised with the \"Reactive_Centroid\" scale estimator, which this build does "
                 "not implement (supported: reactive_centroid)"}));

TEST(FromBytes, DilationsAreTrimmedAndParamNamesAreNot) {
  const Guesser g = load(valid_file({{"dilations", " 1, 2 ,4"}, {"param_names", " R0.r,,x "}}).bytes());
  EXPECT_EQ(g.dilations, (std::vector<std::size_t>{1, 2, 4}));
  EXPECT_EQ(g.param_names, (std::vector<std::string>{" R0.r", "", "x "}));
  EXPECT_EQ(load(valid_file({{"param_names", ""}}).bytes()).param_names, std::vector<std::string>{""});
}

TEST(FromBytes, ValueErrorsComeAfterStatistics) {
  EXPECT_EQ(load_error(valid_file({{"n_grid", "x"}}, false).bytes()), "weight file is missing \"target_mean\"");
}

TEST(GuesserTensor, ReturnsStoredTensorOrMissing) {
  const Guesser g = load(valid_file().tensor_f32("w.stem.bias", {2}, {1, 2}).bytes());
  const auto found = g.tensor("w.stem.bias");
  ASSERT_TRUE(found.ok());
  EXPECT_EQ(found.value()->data, (std::vector<double>{1, 2}));
  const auto missing = g.tensor("w.blocks.2.norm1.bias");
  ASSERT_FALSE(missing.ok());
  EXPECT_EQ(missing.error().message(), "weight file is missing \"w.blocks.2.norm1.bias\"");
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

TEST(Conv1d, SingleChannelByHand) {
  // L = 5, K = 3, dilation 2: M = 2, taps read t-2, t, t+2.
  Guesser g = layer_host(5, 1, 3, 1);
  put(g, "w.c.weight", {1, 1, 3}, {1.0, 10.0, 100.0});
  put(g, "w.c.bias", {1}, {0.5});
  const std::vector<double> x = {1, 2, 3, 4, 5};
  const auto y = g.conv1d(x, 1, "c", 2);
  ASSERT_TRUE(y.ok());
  // t=0: 10*1 + 100*3; t=1: 10*2 + 100*4; t=2: 1*1 + 10*3 + 100*5;
  // t=3: 1*2 + 10*4; t=4: 1*3 + 10*5.
  EXPECT_EQ(y.value(), (std::vector<double>{310.5, 420.5, 531.5, 42.5, 53.5}));
}

TEST(Conv1d, TwoInputsTwoOutputsByHand) {
  Guesser g = layer_host(3, 2, 1, 1);
  // K = 1: a pointwise mix of the input channels.
  put(g, "w.c.weight", {2, 2, 1}, {1, 2, -1, 0.5});
  put(g, "w.c.bias", {2}, {0, 1});
  const std::vector<double> x = {1, 2, 3, 10, 20, 30};
  const auto y = g.conv1d(x, 2, "c", 1);
  ASSERT_TRUE(y.ok());
  EXPECT_EQ(y.value(), (std::vector<double>{21, 42, 63, 5, 9, 13}));
}

TEST(Conv1d, DilationEightWithKernelFivePadsSixteen) {
  const std::size_t length = 40;
  Guesser g = layer_host(length, 1, 5, 1);
  put(g, "w.c.weight", {1, 1, 5}, {1, 0, 0, 0, 0});  // only the first tap: reads t - 16
  put(g, "w.c.bias", {1}, {0});
  std::vector<double> x(length);
  for (std::size_t t = 0; t < length; ++t) x[t] = static_cast<double>(t + 1);
  const auto y = g.conv1d(x, 1, "c", 8);
  ASSERT_TRUE(y.ok());
  for (std::size_t t = 0; t < length; ++t) EXPECT_EQ(y.value()[t], t < 16 ? 0.0 : static_cast<double>(t - 15)) << t;
}

TEST(Conv1d, ZeroWeightsAreSkippedSoInfinitiesDoNotLeak) {
  Guesser g = layer_host(3, 1, 3, 1);
  put(g, "w.c.weight", {1, 1, 3}, {0.0, 1.0, -0.0});
  put(g, "w.c.bias", {1}, {0.0});
  const std::vector<double> x = {INFINITY, 2.0, NAN};
  const auto y = g.conv1d(x, 1, "c", 1);
  ASSERT_TRUE(y.ok());
  EXPECT_EQ(y.value()[1], 2.0);
  EXPECT_TRUE(std::isinf(y.value()[0]));
}

TEST(Conv1d, HugeDilationOnlyKeepsTheCentreTap) {
  Guesser g = layer_host(4, 1, 3, 1);
  put(g, "w.c.weight", {1, 1, 3}, {5.0, 2.0, 7.0});
  put(g, "w.c.bias", {1}, {0.0});
  const std::vector<double> x = {1, 2, 3, 4};
  const auto y = g.conv1d(x, 1, "c", std::numeric_limits<std::size_t>::max());
  ASSERT_TRUE(y.ok());
  EXPECT_EQ(y.value(), (std::vector<double>{2, 4, 6, 8}));
}

TEST(GroupNorm, NormalisesEachGroupByHand) {
  // Two channels in one group of L = 2: values 1, 3, 5, 7 have mean 4 and
  // population variance 5.
  Guesser g = layer_host(2, 2, 1, 1);
  put(g, "w.n.weight", {2}, {1.0, 2.0});
  put(g, "w.n.bias", {2}, {0.0, 10.0});
  std::vector<double> x = {1, 3, 5, 7};
  ASSERT_FALSE(g.group_norm(x, "n").has_value());
  const double inv = 1.0 / std::sqrt(5.0 + 1e-5);
  EXPECT_EQ(x[0], ((1.0 - 4.0) * inv) * 1.0 + 0.0);
  EXPECT_EQ(x[1], ((3.0 - 4.0) * inv) * 1.0 + 0.0);
  EXPECT_EQ(x[2], ((5.0 - 4.0) * inv) * 2.0 + 10.0);
  EXPECT_EQ(x[3], ((7.0 - 4.0) * inv) * 2.0 + 10.0);
}

TEST(GroupNorm, LeavesChannelsBeyondTheLastFullGroupUnchanged) {
  // C = 3, G = 2: one channel per group, the third is untouched.
  Guesser g = layer_host(2, 3, 1, 2);
  put(g, "w.n.weight", {3}, {1, 1, 1});
  put(g, "w.n.bias", {3}, {0, 0, 0});
  std::vector<double> x = {1, 3, 10, 10, 42, -42};
  ASSERT_FALSE(g.group_norm(x, "n").has_value());
  const double inv = 1.0 / std::sqrt(1.0 + 1e-5);
  EXPECT_EQ(x[0], -inv);
  EXPECT_EQ(x[1], inv);
  EXPECT_EQ(x[2], 0.0);
  EXPECT_EQ(x[3], 0.0);
  EXPECT_EQ(x[4], 42.0);
  EXPECT_EQ(x[5], -42.0);
}

TEST(Linear, MultipliesRowsAndAddsBiasLast) {
  Guesser g = layer_host(1, 1, 1, 1);
  put(g, "w.h.weight", {2, 3}, {1, 2, 3, -1, 0, 1});
  put(g, "w.h.bias", {2}, {0.5, -0.5});
  const std::vector<double> x = {1, 10, 100};
  const auto y = g.linear(x, "h");
  ASSERT_TRUE(y.ok());
  EXPECT_EQ(y.value(), (std::vector<double>{321.5, 98.5}));
}

TEST(Linear, SumStartsFromNegativeZero) {
  Guesser g = layer_host(1, 1, 1, 1);
  put(g, "w.h.weight", {1, 1}, {-1});
  put(g, "w.h.bias", {1}, {-0.0});
  const std::vector<double> x = {0.0};
  const auto y = g.linear(x, "h");
  ASSERT_TRUE(y.ok());
  EXPECT_TRUE(std::signbit(y.value()[0]));  // -0 + -0 + -0
}

struct LayerErrorCase {
  const char* name;
  std::function<std::string(Guesser&)> run;
  const char* message;
};

class LayerErrorTest : public ::testing::TestWithParam<LayerErrorCase> {};

TEST_P(LayerErrorTest, RejectsInconsistentTensors) {
  Guesser g = layer_host(4, 2, 3, 2);
  EXPECT_EQ(GetParam().run(g), GetParam().message);
}

std::string conv_error(Guesser& g, std::size_t input_size, std::size_t in_channels = 2) {
  const std::vector<double> x(input_size, 1.0);
  const auto y = g.conv1d(x, in_channels, "c", 1);
  return y ? "ok" : y.error().message();
}

std::string norm_error(Guesser& g, std::size_t input_size) {
  std::vector<double> x(input_size, 1.0);
  const auto error = g.group_norm(x, "n");
  return error ? error->message() : "ok";
}

std::string linear_error(Guesser& g, std::size_t input_size) {
  const std::vector<double> x(input_size, 1.0);
  const auto y = g.linear(x, "h");
  return y ? "ok" : y.error().message();
}

INSTANTIATE_TEST_SUITE_P(
    Cases, LayerErrorTest,
    ::testing::Values(
        LayerErrorCase{"ConvMissingWeight", [](Guesser& g) { return conv_error(g, 8); },
                       "weight file is missing \"w.c.weight\""},
        LayerErrorCase{"ConvMissingBias",
                       [](Guesser& g) {
                         put(g, "w.c.weight", {1, 2, 3}, std::vector<double>(6, 1.0));
                         return conv_error(g, 8);
                       },
                       "weight file is missing \"w.c.bias\""},
        LayerErrorCase{"ConvWeightWithoutDims",
                       [](Guesser& g) {
                         put(g, "w.c.weight", {}, {1.0});
                         put(g, "w.c.bias", {1}, {0.0});
                         return conv_error(g, 8);
                       },
                       "weight file has an unparsable value for \"w.c.weight has no dimensions\""},
        LayerErrorCase{"ConvWeightTooShort",
                       [](Guesser& g) {
                         put(g, "w.c.weight", {3, 2, 3}, std::vector<double>(17, 1.0));
                         put(g, "w.c.bias", {3}, {0, 0, 0});
                         return conv_error(g, 8);
                       },
                       "tensor \"w.c.weight\" has 17 elements, expected 18"},
        LayerErrorCase{"ConvBiasTooShort",
                       [](Guesser& g) {
                         put(g, "w.c.weight", {3, 2, 3}, std::vector<double>(18, 1.0));
                         put(g, "w.c.bias", {2}, {0, 0});
                         return conv_error(g, 8);
                       },
                       "tensor \"w.c.bias\" has 2 elements, expected 3"},
        LayerErrorCase{"ConvInputTooShort",
                       [](Guesser& g) {
                         put(g, "w.c.weight", {1, 2, 3}, std::vector<double>(6, 1.0));
                         put(g, "w.c.bias", {1}, {0});
                         return conv_error(g, 7);
                       },
                       "tensor \"c\" has 7 elements, expected 8"},
        LayerErrorCase{"ConvHugeInChannels",
                       [](Guesser& g) {
                         put(g, "w.c.weight", {1, 2, 3}, std::vector<double>(6, 1.0));
                         put(g, "w.c.bias", {1}, {0});
                         return conv_error(g, 8, std::numeric_limits<std::size_t>::max() / 2);
                       },
                       "tensor \"w.c.weight\" has 6 elements, expected 18446744073709551615"},
        LayerErrorCase{"ConvOutputTooLarge",
                       [](Guesser& g) {
                         g.n_grid = std::size_t{1} << 30;
                         put(g, "w.c.weight", {1, 0, 3}, {1.0});
                         put(g, "w.c.bias", {1}, {0});
                         return conv_error(g, 0, 0);
                       },
                       "weight file has an unparsable value for \"c would produce 1073741824 values, more than the "
                       "limit of 16777216\""},
        LayerErrorCase{"NormGroupsZero",
                       [](Guesser& g) {
                         g.groups = 0;
                         put(g, "w.n.weight", {2}, {1, 1});
                         put(g, "w.n.bias", {2}, {0, 0});
                         return norm_error(g, 8);
                       },
                       "weight file has an unparsable value for \"groups is 0, so n has no group to normalise\""},
        LayerErrorCase{"NormWeightShort",
                       [](Guesser& g) {
                         put(g, "w.n.weight", {1}, {1});
                         put(g, "w.n.bias", {2}, {0, 0});
                         return norm_error(g, 8);
                       },
                       "tensor \"w.n.weight\" has 1 elements, expected 2"},
        LayerErrorCase{"NormBiasShort",
                       [](Guesser& g) {
                         put(g, "w.n.weight", {2}, {1, 1});
                         put(g, "w.n.bias", {1}, {0});
                         return norm_error(g, 8);
                       },
                       "tensor \"w.n.bias\" has 1 elements, expected 2"},
        LayerErrorCase{"NormInputShort",
                       [](Guesser& g) {
                         put(g, "w.n.weight", {2}, {1, 1});
                         put(g, "w.n.bias", {2}, {0, 0});
                         return norm_error(g, 7);
                       },
                       "tensor \"n\" has 7 elements, expected 8"},
        LayerErrorCase{"LinearOneDim",
                       [](Guesser& g) {
                         put(g, "w.h.weight", {4}, {1, 1, 1, 1});
                         put(g, "w.h.bias", {1}, {0});
                         return linear_error(g, 4);
                       },
                       "weight file has an unparsable value for \"w.h.weight has fewer than 2 dimensions\""},
        LayerErrorCase{"LinearWrongInput",
                       [](Guesser& g) {
                         put(g, "w.h.weight", {2, 130}, std::vector<double>(260, 1.0));
                         put(g, "w.h.bias", {2}, {0, 0});
                         return linear_error(g, 66);
                       },
                       "tensor \"h\" has 66 elements, expected 130"},
        LayerErrorCase{"LinearWeightShort",
                       [](Guesser& g) {
                         put(g, "w.h.weight", {3, 2}, {1, 1, 1, 1, 1});
                         put(g, "w.h.bias", {3}, {0, 0, 0});
                         return linear_error(g, 2);
                       },
                       "tensor \"w.h.weight\" has 5 elements, expected 6"},
        LayerErrorCase{"LinearBiasShort",
                       [](Guesser& g) {
                         put(g, "w.h.weight", {3, 2}, std::vector<double>(6, 1.0));
                         put(g, "w.h.bias", {2}, {0, 0});
                         return linear_error(g, 2);
                       },
                       "tensor \"w.h.bias\" has 2 elements, expected 3"},
        LayerErrorCase{"LinearHugeDims",
                       [](Guesser& g) {
                         put(g, "w.h.weight", {0xFFFFFFFF, 2}, {1.0});
                         put(g, "w.h.bias", {1}, {0});
                         return linear_error(g, 2);
                       },
                       "tensor \"w.h.weight\" has 1 elements, expected 8589934590"}),
    [](const auto& info) { return info.param.name; });

}  // namespace
}  // namespace kovrant
