#include "elements/element.h"

#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <cstring>
#include <limits>
#include <vector>

namespace kovrant {
namespace {

const double kInf = std::numeric_limits<double>::infinity();

Complex z_of(Kind kind, const std::vector<double>& values, double omega) {
  Element element;
  element.kind = kind;
  std::copy(values.begin(), values.end(), element.values.begin());
  return element_impedance(element, omega);
}

void expect_near(Complex a, Complex b, double rel = 1e-12) {
  EXPECT_NEAR(a.re, b.re, rel * std::max(1.0, std::hypot(b.re, b.im))) << "re";
  EXPECT_NEAR(a.im, b.im, rel * std::max(1.0, std::hypot(b.re, b.im))) << "im";
}

TEST(ElementCatalogue, ParserCodesAreExactAndCaseSensitive) {
  const std::pair<const char*, Kind> accepted[] = {
      {"R", Kind::R},       {"C", Kind::C},       {"L", Kind::L},       {"La", Kind::La},
      {"CPE", Kind::Cpe},   {"Cpe", Kind::Cpe},   {"W", Kind::W},       {"Wo", Kind::Wo},
      {"Ws", Kind::Ws},     {"G", Kind::G},       {"Gs", Kind::Gs},     {"K", Kind::K},
      {"Zarc", Kind::Zarc}, {"TLMQ", Kind::Tlmq}, {"Tlmq", Kind::Tlmq}, {"T", Kind::T}};
  for (const auto& [code, kind] : accepted) {
    const auto element = Element::default_for_code(code);
    ASSERT_TRUE(element.has_value()) << code;
    EXPECT_EQ(element->kind, kind) << code;
    EXPECT_EQ(element->values, kind_info(kind).defaults);
  }
  for (const char* code : {"", "cpe", "CPe", "ZARC", "zarc", "r", "la", "RR", "R0", " R", "Q"}) {
    EXPECT_FALSE(Element::default_for_code(code).has_value()) << code;
  }
  for (std::string_view code : Element::CODES) EXPECT_TRUE(Element::default_for_code(code).has_value());
}

TEST(ElementCatalogue, ParameterCountsAndBounds) {
  const int counts[] = {1, 1, 1, 2, 2, 1, 2, 2, 2, 3, 2, 3, 3, 4};
  for (int i = 0; i < kKindCount; ++i) EXPECT_EQ(kind_info(all_kinds()[i]).param_count, counts[i]);
  for (const char* field : {"alpha", "gamma"}) {
    EXPECT_EQ(default_bounds_for_field(field).lo, 0.0);
    EXPECT_EQ(default_bounds_for_field(field).hi, 1.0);
  }
  for (const char* field : {"r", "phi", "k_tau", "q", "tau"}) {
    EXPECT_EQ(default_bounds_for_field(field).lo, 1e-12);
    EXPECT_EQ(default_bounds_for_field(field).hi, kInf);
  }
}

TEST(ElementImpedance, SimpleKindsMatchTextbookFormulas) {
  const double omega = 123.4;
  EXPECT_EQ(z_of(Kind::R, {10.0}, omega), (Complex{10.0, 0.0}));
  EXPECT_EQ(z_of(Kind::R, {10.0}, 0.0), (Complex{10.0, 0.0}));
  expect_near(z_of(Kind::C, {1e-3}, omega), {0.0, -1.0 / (omega * 1e-3)});
  expect_near(z_of(Kind::L, {1e-3}, omega), {0.0, omega * 1e-3});
  expect_near(z_of(Kind::W, {2.0}, omega), {2.0 / std::sqrt(omega), -2.0 / std::sqrt(omega)});
  const std::complex<double> jw(0.0, omega);
  const std::complex<double> k = 5.0 / (1.0 + jw * 0.01);
  expect_near(z_of(Kind::K, {5.0, 0.01}, omega), {k.real(), k.imag()});
  const std::complex<double> g = 3.0 / std::sqrt(1.0 + jw * 0.2);
  expect_near(z_of(Kind::G, {3.0, 0.2}, omega), {g.real(), g.imag()});
  const Complex c_at_zero = z_of(Kind::C, {1e-3}, 0.0);
  EXPECT_FALSE(std::isfinite(c_at_zero.re) && std::isfinite(c_at_zero.im));
}

struct Equivalence {
  const char* name;
  Kind kind_a;
  std::vector<double> values_a;
  Kind kind_b;
  std::vector<double> values_b;
};

class ElementEquivalence : public ::testing::TestWithParam<Equivalence> {};

TEST_P(ElementEquivalence, AgreeAtEveryFrequency) {
  const Equivalence& e = GetParam();
  for (double omega : {1e-3, 0.7, 1.0, 62.8, 1e4, 3e7}) {
    expect_near(z_of(e.kind_a, e.values_a, omega), z_of(e.kind_b, e.values_b, omega), 1e-12);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Catalogue, ElementEquivalence,
    ::testing::Values(Equivalence{"CpeAlphaOneIsCapacitor", Kind::Cpe, {2e-3, 1.0}, Kind::C, {2e-3}},
                      Equivalence{"CpeAlphaZeroIsResistor", Kind::Cpe, {4.0, 0.0}, Kind::R, {0.25}},
                      Equivalence{"LaAlphaOneIsInductor", Kind::La, {3e-6, 1.0}, Kind::L, {3e-6}},
                      Equivalence{"ZarcGammaOneIsK", Kind::Zarc, {7.0, 1e-3, 1.0}, Kind::K, {7.0, 1e-3}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ElementImpedance, LaHalfIsPrincipalRootOfProduct) {
  const double omega = 5.0;
  const Complex z = z_of(Kind::La, {2e-3, 0.5}, omega);
  EXPECT_EQ(z, principal_sqrt(Complex{0.0, omega * 2e-3}));
}

TEST(ElementImpedance, DiffusionElementsSaturateAtHighFrequencyAndReachTheirLowFrequencyLimits) {
  EXPECT_EQ(saturating_tanh({20.5, 3.0}), (Complex{1.0, 0.0}));
  EXPECT_EQ(saturating_tanh({-20.5, 3.0}), (Complex{-1.0, 0.0}));
  const std::complex<double> reference = std::tanh(std::complex<double>(0.3, -1.2));
  const Complex mine = saturating_tanh({0.3, -1.2});
  EXPECT_NEAR(mine.re, reference.real(), 1e-14);
  EXPECT_NEAR(mine.im, reference.imag(), 1e-14);

  const double omega = 1e6;  // Re sqrt(j*omega*tau) far above 20
  const Complex x = principal_sqrt(Complex{0.0, omega * 10.0});
  ASSERT_GT(x.re, 20.0);
  EXPECT_EQ(z_of(Kind::Wo, {2.0, 10.0}, omega), (Complex{2.0, 0.0} / (x * Complex{1.0, 0.0})));
  EXPECT_EQ(z_of(Kind::Ws, {2.0, 10.0}, omega), (2.0 * Complex{1.0, 0.0}) / x);
  const Complex xs = principal_sqrt(Complex{1.0, omega * 10.0});
  EXPECT_EQ(z_of(Kind::Gs, {2.0, 10.0, 1.0}, omega), (Complex{2.0, 0.0} / (xs * Complex{1.0, 0.0})));
  const Complex t = z_of(Kind::T, {2.0, 3.0, 1.0, 10.0}, omega);
  EXPECT_EQ(t, (2.0 * Complex{1.0, 0.0}) / xs + (3.0 * Complex{0.0, 0.0}) / xs);

  // At low frequency the short Warburg tends to its resistance z0 and the
  // open one to a capacitor-like response.
  EXPECT_NEAR(z_of(Kind::Ws, {5.0, 1.0}, 1e-6).re, 5.0, 1e-6);
  EXPECT_LT(z_of(Kind::Wo, {5.0, 1.0}, 1e-6).im, -1e5);
}

TEST(ElementImpedance, ListIsBitIdenticalToSinglePoints) {
  // Each awkward frequency at every position of a long list, so that any
  // vectorised part of a list loop meets it as well as any scalar part.
  const double awkward[] = {std::nan(""), -std::nan(""), kInf, -kInf, 0.0, -0.0, -3.0, 1e-300, 1e-9, 1e5};
  for (Kind kind : all_kinds()) {
    for (double exponent : {0.0, 0.5, 1.0, 0.83, 1.7, -0.2}) {
      double values[4] = {2.5e-3, exponent, exponent, 0.9};
      if (kind == Kind::T) values[2] = 1.3;
      for (double special : awkward) {
        for (size_t at = 0; at < 9; ++at) {
          std::vector<double> omegas;
          for (size_t i = 0; i < 19; ++i) omegas.push_back(i == at || i == at + 9 ? special : 0.7 * (i + 1));
          std::vector<Complex> list(omegas.size());
          element_impedance_list(kind, values, omegas.data(), omegas.size(), list.data());
          for (size_t i = 0; i < omegas.size(); ++i) {
            const Complex single = element_impedance(kind, values, omegas[i]);
            ASSERT_EQ(std::memcmp(&single, &list[i], sizeof(Complex)), 0)
                << kind_info(kind).name << " exponent " << exponent << " omega " << omegas[i] << " at " << i;
          }
        }
      }
    }
  }
}

TEST(ComplexArithmetic, DivisionIsConjugateOverSquaredModulus) {
  const Complex a{3.0, -2.0}, b{0.5, 4.0};
  const double norm = 0.5 * 0.5 + 4.0 * 4.0;
  EXPECT_EQ(a / b, (Complex{(3.0 * 0.5 + -2.0 * 4.0) / norm, (-2.0 * 0.5 - 3.0 * 4.0) / norm}));
  const Complex inf = reciprocal({0.0, 0.0});
  EXPECT_TRUE(std::isnan(inf.re));
  EXPECT_EQ(real_power({-4.0, 0.0}, 0.5), (Complex{0.0, 2.0}));
  EXPECT_EQ(real_power({-4.0, -0.0}, 0.5), (Complex{0.0, -2.0}));
  EXPECT_EQ(real_power({3.0, 7.0}, 0.0), (Complex{1.0, 0.0}));
}

TEST(ComplexArithmetic, GuardedReciprocalKeepsTheFormulaAndScalesOnlyOutOfRange) {
  // |z|^2 normal: exactly conj(z) / |z|^2, to the bit.
  for (const Complex z : {Complex{3.0, -2.0}, Complex{1e150, 1e-3}, Complex{1e-150, 2e-150}, Complex{-0.7, 0.0}}) {
    const double norm = z.re * z.re + z.im * z.im;
    EXPECT_EQ(guarded_reciprocal(z), (Complex{z.re / norm, -z.im / norm}));
  }
  // |z|^2 overflows, is subnormal or underflows to zero: the true value.
  const struct {
    Complex z, expected;
  } scaled[] = {
      {{1e160, 0.0}, {1e-160, -0.0}},
      {{-1e160, 1e160}, {-5e-161, -5e-161}},
      {{3e-200, 4e-200}, {1.2e199, -1.6e199}},
      {{1e-170, 0.0}, {1e170, -0.0}},
      {{1e308, 1e308}, {5e-309, -5e-309}},
      {{0.0, -1e-160}, {0.0, 1e160}},
  };
  for (const auto& [z, expected] : scaled) {
    const Complex got = guarded_reciprocal(z);
    EXPECT_NEAR(got.re, expected.re, 1e-15 * std::fabs(expected.re)) << z.re << " " << z.im;
    EXPECT_NEAR(got.im, expected.im, 1e-15 * std::fabs(expected.im)) << z.re << " " << z.im;
  }
  EXPECT_TRUE(std::isinf(guarded_reciprocal({5e-324, 0.0}).re)) << "beyond the largest double";
  EXPECT_TRUE(std::isnan(guarded_reciprocal({0.0, 0.0}).re));
  EXPECT_TRUE(std::isnan(guarded_reciprocal({INFINITY, 1.0}).re));
}

}  // namespace
}  // namespace kovrant
