#include "elements/element.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <type_traits>

#include "util/portable_math.h"

namespace kovrant {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();

const std::array<KindInfo, kKindCount> kCatalogue = {{
    {"R", "R", 1, {"r"}, {"ohm"}, {1.0}},
    {"C", "C", 1, {"c"}, {"F"}, {0.001}},
    {"L", "L", 1, {"l"}, {"H"}, {1e-6}},
    {"La", "La", 2, {"l", "alpha"}, {"H*s", "-"}, {1e-6, 0.8}},
    {"Cpe", "CPE", 2, {"q", "alpha"}, {"ohm^-1*s^alpha", "-"}, {0.001, 0.8}},
    {"W", "W", 1, {"aw"}, {"ohm*s^-0.5"}, {1.0}},
    {"Wo", "Wo", 2, {"z0", "tau"}, {"ohm", "s"}, {1.0, 10.0}},
    {"Ws", "Ws", 2, {"z0", "tau"}, {"ohm", "s"}, {1.0, 10.0}},
    {"G", "G", 2, {"rg", "tg"}, {"ohm", "s"}, {1.0, 1.0}},
    {"Gs", "Gs", 3, {"rg", "tg", "phi"}, {"ohm", "s", "-"}, {1.0, 1.0, 1.0}},
    {"K", "K", 2, {"r", "tau_k"}, {"ohm", "s"}, {1.0, 0.001}},
    {"Zarc", "Zarc", 3, {"r", "tau_k", "gamma"}, {"ohm", "s", "-"}, {1.0, 0.001, 0.8}},
    {"Tlmq", "TLMQ", 3, {"r_ion", "qs", "gamma"}, {"ohm", "F*s^(gamma-1)", "-"}, {1.0, 0.001, 0.8}},
    {"T", "T", 4, {"a", "b", "k_tau", "tau"}, {"ohm*m^2", "ohm*m^2", "-", "s"}, {1.0, 1.0, 1.0, 1.0}},
}};

const std::array<Kind, kKindCount> kAllKinds = {Kind::R,  Kind::C, Kind::L,  Kind::La, Kind::Cpe,  Kind::W,    Kind::Wo,
                                                Kind::Ws, Kind::G, Kind::Gs, Kind::K,  Kind::Zarc, Kind::Tlmq, Kind::T};

// coth(z) and 1/sinh(z) with the same saturation threshold as tanh.
struct CothCsch {
  Complex coth;
  Complex csch;
};

CothCsch saturating_coth_csch(Complex z) {
  if (std::fabs(z.re) > 20.0) return {{std::signbit(z.re) ? -1.0 : 1.0, 0.0}, {0.0, 0.0}};
  const SinhCosh h = portable_sinh_cosh(z.re);
  const SinCos t = portable_sincos(z.im);
  const Complex cosh_z{h.cosh * t.cos, h.sinh * t.sin};
  const Complex sinh_z{h.sinh * t.cos, h.cosh * t.sin};
  return {cosh_z / sinh_z, reciprocal(sinh_z)};
}

Complex j_omega(double omega) { return {0.0, omega}; }

constexpr double kHalfPi = 1.5707963267948966;  // atan2(y > 0, +0.0)
constexpr size_t kJOmegaPowerBlock = 64;

// z^e with the polar angle's cosine and sine precomputed for z on the
// positive imaginary axis, where the argument is exactly pi/2: the result is
// bit-identical to real_power(z, e) for every z.
class ImaginaryAxisPower {
 public:
  explicit ImaginaryAxisPower(double e) : e_(e), uses_polar_(e != 1.0 && e != 0.5 && e != 0.0) {
    if (uses_polar_) angle_ = portable_sincos(e * kHalfPi);
  }
  Complex operator()(Complex z) const {
    if (uses_polar_ && on_positive_imaginary_axis(z)) return polar_power(portable_pow(z.im, e_));
    return real_power(z, e_);
  }
  // (j omega_i)^e for i < count, the same bits as operator()({0, omega_i}).
  void of_j_omegas(const double* omegas, const PreciseLog* log_omegas, size_t count, Complex* out) const {
    if (!uses_polar_) {
      for (size_t i = 0; i < count; ++i) out[i] = real_power(j_omega(omegas[i]), e_);
      return;
    }
    double moduli[kPowerBlock];
    for (size_t start = 0; start < count; start += kPowerBlock) {
      const size_t block = std::min(kPowerBlock, count - start);
      if (log_omegas != nullptr) {
        powers_from_logs(log_omegas + start, e_, block, moduli);
      } else {
        for (size_t i = 0; i < block; ++i) moduli[i] = portable_pow(omegas[start + i], e_);
      }
      for (size_t i = 0; i < block; ++i) {
        const double omega = omegas[start + i];
        out[start + i] = omega > 0.0 ? polar_power(moduli[i]) : real_power(j_omega(omega), e_);
      }
    }
  }

 private:
  static constexpr size_t kPowerBlock = 64;
  static bool on_positive_imaginary_axis(Complex z) { return z.re == 0.0 && !std::signbit(z.re) && z.im > 0.0; }
  Complex polar_power(double modulus_power) const { return {modulus_power * angle_.cos, modulus_power * angle_.sin}; }

  double e_;
  bool uses_polar_;
  SinCos angle_{0.0, 0.0};
};

// The exponent of the kinds that raise an imaginary number to a power.
double power_exponent(Kind kind, const double* v) {
  switch (kind) {
    case Kind::La:
    case Kind::Cpe:
      return v[1];
    case Kind::Zarc:
    case Kind::Tlmq:
      return v[2];
    default:
      return 1.0;
  }
}

// The impedance formula of kind K at one angular frequency. One function per
// kind, so that a list of frequencies runs a loop with no switch inside; the
// single-point form dispatches to the very same function.
// The kinds whose formula raises j*omega itself to their exponent field
// take that power, (j omega)^e, as an argument; the others ignore it.
template <Kind K>
constexpr bool kRaisesJOmega = K == Kind::Cpe || K == Kind::Tlmq;

template <Kind K>
inline Complex kind_impedance(const double* v, double omega, Complex j_omega_power, const ImaginaryAxisPower& power) {
  if constexpr (K == Kind::R) {
    return {v[0], 0.0};
  } else if constexpr (K == Kind::C) {
    return reciprocal(j_omega(omega) * v[0]);
  } else if constexpr (K == Kind::L) {
    return j_omega(omega) * v[0];
  } else if constexpr (K == Kind::La) {
    return power(j_omega(omega) * v[0]);
  } else if constexpr (K == Kind::Cpe) {
    return reciprocal(v[0] * j_omega_power);
  } else if constexpr (K == Kind::W) {
    const double root = std::sqrt(omega);
    return Complex{v[0] * root, -v[0] * root} / (root * root);
  } else if constexpr (K == Kind::Wo) {
    const Complex x = principal_sqrt(Complex{0.0, omega * v[1]});
    return Complex{v[0], 0.0} / (x * saturating_tanh(x));
  } else if constexpr (K == Kind::Ws) {
    const Complex x = principal_sqrt(Complex{0.0, omega * v[1]});
    return (v[0] * saturating_tanh(x)) / x;
  } else if constexpr (K == Kind::G) {
    return Complex{v[0], 0.0} / principal_sqrt(Complex{1.0, omega * v[1]});
  } else if constexpr (K == Kind::Gs) {
    const Complex x = principal_sqrt(Complex{1.0, omega * v[1]});
    return Complex{v[0], 0.0} / (x * saturating_tanh(v[2] * x));
  } else if constexpr (K == Kind::K) {
    return Complex{v[0], 0.0} / (Complex{1.0, 0.0} + j_omega(omega) * v[1]);
  } else if constexpr (K == Kind::Zarc) {
    return Complex{v[0], 0.0} / (Complex{1.0, 0.0} + power(j_omega(omega) * v[1]));
  } else if constexpr (K == Kind::Tlmq) {
    const Complex zq = reciprocal(v[1] * j_omega_power);
    const Complex r_ion{v[0], 0.0};
    return principal_sqrt(r_ion * zq) / saturating_tanh(principal_sqrt(r_ion / zq));
  } else {
    static_assert(K == Kind::T);
    const Complex x = principal_sqrt(Complex{v[2], omega * v[3]});
    const CothCsch h = saturating_coth_csch(x);
    return (v[0] * h.coth) / x + (v[1] * h.csch) / x;
  }
}

template <Kind K>
void kind_impedance_list(const double* v, const double* omegas, const PreciseLog* log_omegas, size_t count,
                         Complex* out, const ImaginaryAxisPower& power) {
  if constexpr (kRaisesJOmega<K>) {
    Complex powers[kJOmegaPowerBlock];
    for (size_t start = 0; start < count; start += kJOmegaPowerBlock) {
      const size_t block = std::min(kJOmegaPowerBlock, count - start);
      power.of_j_omegas(omegas + start, log_omegas == nullptr ? nullptr : log_omegas + start, block, powers);
      for (size_t i = 0; i < block; ++i) out[start + i] = kind_impedance<K>(v, omegas[start + i], powers[i], power);
    }
  } else {
    for (size_t i = 0; i < count; ++i) out[i] = kind_impedance<K>(v, omegas[i], Complex{}, power);
  }
}

template <Kind K>
void kind_impedance_from_powers(const double* v, const double* omegas, const Complex* powers, size_t count,
                                Complex* out, const ImaginaryAxisPower& power) {
  for (size_t i = 0; i < count; ++i) out[i] = kind_impedance<K>(v, omegas[i], powers[i], power);
}

// Calls body(std::integral_constant<Kind, kind>{}) for the run-time `kind`.
template <typename Body>
decltype(auto) with_kind(Kind kind, Body&& body) {
  switch (kind) {
    case Kind::R:
      return body(std::integral_constant<Kind, Kind::R>{});
    case Kind::C:
      return body(std::integral_constant<Kind, Kind::C>{});
    case Kind::L:
      return body(std::integral_constant<Kind, Kind::L>{});
    case Kind::La:
      return body(std::integral_constant<Kind, Kind::La>{});
    case Kind::Cpe:
      return body(std::integral_constant<Kind, Kind::Cpe>{});
    case Kind::W:
      return body(std::integral_constant<Kind, Kind::W>{});
    case Kind::Wo:
      return body(std::integral_constant<Kind, Kind::Wo>{});
    case Kind::Ws:
      return body(std::integral_constant<Kind, Kind::Ws>{});
    case Kind::G:
      return body(std::integral_constant<Kind, Kind::G>{});
    case Kind::Gs:
      return body(std::integral_constant<Kind, Kind::Gs>{});
    case Kind::K:
      return body(std::integral_constant<Kind, Kind::K>{});
    case Kind::Zarc:
      return body(std::integral_constant<Kind, Kind::Zarc>{});
    case Kind::Tlmq:
      return body(std::integral_constant<Kind, Kind::Tlmq>{});
    case Kind::T:
      break;
  }
  return body(std::integral_constant<Kind, Kind::T>{});
}

}  // namespace

const std::array<std::string_view, kKindCount> Element::CODES = {"R",  "C", "L",  "La", "CPE",  "W",    "Wo",
                                                                 "Ws", "G", "Gs", "K",  "Zarc", "TLMQ", "T"};

const KindInfo& kind_info(Kind kind) { return kCatalogue[static_cast<size_t>(kind)]; }

const std::array<Kind, kKindCount>& all_kinds() { return kAllKinds; }

Bounds default_bounds_for_field(std::string_view field) {
  if (field == "alpha" || field == "gamma") return {0.0, 1.0};
  return {1e-12, kInf};
}

std::optional<Element> Element::default_for_code(std::string_view code) {
  Kind kind;
  if (code == "CPE" || code == "Cpe") {
    kind = Kind::Cpe;
  } else if (code == "TLMQ" || code == "Tlmq") {
    kind = Kind::Tlmq;
  } else {
    bool found = false;
    for (Kind candidate : kAllKinds) {
      if (candidate != Kind::Cpe && candidate != Kind::Tlmq && kind_info(candidate).code == code) {
        kind = candidate;
        found = true;
        break;
      }
    }
    if (!found) return std::nullopt;
  }
  Element element;
  element.kind = kind;
  element.values = kind_info(kind).defaults;
  return element;
}

Complex element_impedance(Kind kind, const double* v, double omega) {
  // A list of one point: the very code that evaluates lists, so that the two
  // agree to the bit even on which of two NaNs survives an operation.
  Complex z;
  element_impedance_list(kind, v, &omega, 1, &z);
  return z;
}

void element_impedance_list(Kind kind, const double* values, const double* omegas, size_t count, Complex* out,
                            const PreciseLog* log_omegas) {
  const ImaginaryAxisPower power(power_exponent(kind, values));
  with_kind(kind, [&](auto k) {
    kind_impedance_list<decltype(k)::value>(values, omegas, log_omegas, count, out, power);
  });
}

int j_omega_exponent_field(Kind kind) {
  switch (kind) {
    case Kind::Cpe:
      return 1;
    case Kind::Tlmq:
      return 2;
    default:
      return -1;
  }
}

void j_omega_powers(double exponent, const double* omegas, const PreciseLog* log_omegas, size_t count, Complex* out) {
  ImaginaryAxisPower(exponent).of_j_omegas(omegas, log_omegas, count, out);
}

void element_impedance_from_powers(Kind kind, const double* values, const double* omegas, const Complex* powers,
                                   size_t count, Complex* out) {
  const ImaginaryAxisPower power(power_exponent(kind, values));
  with_kind(kind, [&](auto k) {
    if constexpr (kRaisesJOmega<decltype(k)::value>) {
      kind_impedance_from_powers<decltype(k)::value>(values, omegas, powers, count, out, power);
    } else {
      std::abort();  // only the kinds with a j*omega exponent field take powers
    }
  });
}

}  // namespace kovrant
