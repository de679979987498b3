// Spectra generated from a circuit with known values, for the fitting tests.
#pragma once

#include <cmath>
#include <string>
#include <vector>

#include "circuit/evaluate.h"
#include "circuit/params.h"
#include "circuit/parser.h"
#include "fit/fit_problem.h"
#include "fit/random.h"

namespace kovrant {

struct SyntheticSpectrum {
  std::vector<double> frequencies_hz;
  std::vector<Complex> impedances;
};

// The circuit of `notation` with `values` as its values.
inline SeriesList circuit_with(const std::string& notation, const std::vector<double>& values) {
  return rebuild(parse(notation).value(), values);
}

// `count` log-spaced frequencies from 10^lowest to 10^highest Hz. With noise,
// each component gets independent uniform relative noise of that size.
inline SyntheticSpectrum synthetic_spectrum(const std::string& notation, const std::vector<double>& values,
                                            size_t count, double lowest = -1.0, double highest = 5.0,
                                            double noise = 0.0, std::uint64_t seed = 0) {
  SyntheticSpectrum s;
  const SeriesList circuit = circuit_with(notation, values);
  Rng rng = make_rng(seed, 0);
  for (size_t i = 0; i < count; ++i) {
    const double t = count > 1 ? static_cast<double>(i) / static_cast<double>(count - 1) : 0.0;
    s.frequencies_hz.push_back(std::pow(10.0, lowest + (highest - lowest) * t));
    Complex z = impedance(circuit, s.frequencies_hz.back() * kTwoPi);
    if (noise > 0.0) {
      z.re *= 1.0 + uniform_between(rng, -noise, noise);
      z.im *= 1.0 + uniform_between(rng, -noise, noise);
    }
    s.impedances.push_back(z);
  }
  return s;
}

inline std::vector<double> angular(const std::vector<double>& frequencies_hz) {
  std::vector<double> omegas;
  for (double f : frequencies_hz) omegas.push_back(f * kTwoPi);
  return omegas;
}

// The fit problem of `tree` against `s`; both must outlive it.
inline FitProblem problem_for(const SeriesList& tree, const SyntheticSpectrum& s,
                              Weighting weighting = Weighting::Modulus, const FitConstraints& constraints = {}) {
  return make_fit_problem(tree, s.frequencies_hz, s.impedances, weighting, constraints).value();
}

}  // namespace kovrant
