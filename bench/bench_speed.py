"""The cases users wait on, against their baselines, in CPU time, side by side.

Run: python bench/bench_speed.py [--rounds 7] [--baseline DIR]

- fit from a poor start: R0-(R1-W1,CPE1), 60 points from 100 kHz to 10 mHz,
  0.5 % noise, true [2, 40, 5, 2e-4, 0.85], start [4, 20, 10, 1e-4, 0.7]:
  with_values(start).fit(f, z, guess_init=False), and the default fit (guess +
  fit) from the bare circuit, each against SciPy's least_squares(method="lm")
  on a vectorised NumPy model from the same start (bench_fit.py's model and
  search coordinates);
- the guess alone, 32 channels (randles) and 64 (sei_randles), 60 points;
- impedance() at 60 and 1,000 points against the vectorised NumPy model.
Each round times every program back to back (CPU time, time.process_time),
and the table gives the medians over rounds. With --baseline DIR, a second
build of kovrant (its extension in DIR, see bench_before_after.py) runs the
kovrant cases beside this one.
"""
from __future__ import annotations

import argparse
import statistics
import time

import numpy as np
from scipy.optimize import least_squares

from .bench_fit import numpy_impedance, search_residuals, to_search
from .timing import load_average

import kovrant

CIRCUIT = "R0-(R1-W1,CPE1)"
TRUTH = [2.0, 40.0, 5.0, 2e-4, 0.85]
START = [4.0, 20.0, 10.0, 1e-4, 0.7]
SEI_RANDLES = "R0-(R1,CPE1)-(R2-W2,CPE2)"
SEI_TRUTH = [5.0, 20.0, 1e-5, 0.9, 40.0, 15.0, 1e-3, 0.8]


def poor_start_spectrum(points=60, noise=0.005, seed=4):
    rng = np.random.default_rng(seed)
    f = np.logspace(5, -2, points)
    z = numpy_impedance(np.array(TRUTH), f)
    return f, z.real * (1 + noise * rng.standard_normal(points)) + 1j * z.imag * (1 + noise * rng.standard_normal(points))


def cpu_per_call(call, min_total=0.05):
    calls, started = 0, time.process_time()
    while True:
        call()
        calls += 1
        spent = time.process_time() - started
        if spent >= min_total:
            return spent / calls


def kovrant_cases(module):
    f, z = poor_start_spectrum()
    fixed = module.Circuit(CIRCUIT).with_values(START)
    bare = module.Circuit(CIRCUIT)
    sei = module.Circuit(SEI_RANDLES).with_values(SEI_TRUTH)
    z_sei = sei.impedance(f)
    f_1000 = np.logspace(-3, 6, 1000)
    return {
        "fit from the poor start": lambda: fixed.fit(f, z, guess_init=False),
        "default fit (guess + fit)": lambda: bare.fit(f, z),
        "guess, 32 channels": lambda: bare.guess(f, z),
        "guess, 64 channels": lambda: sei.guess(f, z_sei),
        "impedance, 60 points": lambda: fixed.impedance(f),
        "impedance, 1000 points": lambda: fixed.impedance(f_1000),
    }


def numpy_cases():
    f, z = poor_start_spectrum()
    weights = np.abs(z)
    x0 = to_search(np.array(START))
    start = np.array(START)
    f_1000 = np.logspace(-3, 6, 1000)

    def scipy_fit():
        return least_squares(search_residuals, x0, method="lm", x_scale=1.0, args=(f, z, weights))

    return {
        "fit from the poor start": scipy_fit,
        "default fit (guess + fit)": scipy_fit,
        "impedance, 60 points": lambda: numpy_impedance(start, f),
        "impedance, 1000 points": lambda: numpy_impedance(start, f_1000),
    }


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--rounds", type=int, default=7)
    parser.add_argument("--baseline", help="folder with a baseline build's kovrant extension")
    args = parser.parse_args()

    f, z = poor_start_spectrum()
    ours = kovrant.Circuit(CIRCUIT).with_values(START).fit(f, z, guess_init=False)
    theirs = least_squares(search_residuals, to_search(np.array(START)), method="lm", x_scale=1.0,
                           args=(f, z, np.abs(z)))
    print(f"poor start: kovrant {ours.iterations} iterations, {ours.impedance_evals} spectra, "
          f"chi-square {ours.chi_square:.6e}; SciPy {theirs.nfev} evaluations, chi-square {2 * theirs.cost:.6e}")

    programs = {"kovrant": kovrant_cases(kovrant), "numpy/scipy": numpy_cases()}
    if args.baseline:
        from bench_before_after import load_build

        programs["baseline"] = kovrant_cases(load_build(args.baseline))
    samples = {name: {case: [] for case in calls} for name, calls in programs.items()}
    for _ in range(args.rounds):
        for case in programs["kovrant"]:
            for name, calls in programs.items():
                if case in calls:
                    samples[name][case].append(cpu_per_call(calls[case]))

    print(f"CPU ms per call, median of {args.rounds} rounds; {load_average()}")
    header = f"{'case':<28} {'kovrant':>9} {'numpy/scipy':>12} {'ratio':>7}"
    if args.baseline:
        header += f" {'baseline':>9} {'speed-up':>9}"
    print(header)
    for case in programs["kovrant"]:
        ms = {name: statistics.median(s[case]) * 1e3 for name, s in samples.items() if s.get(case)}
        line = f"{case:<28} {ms['kovrant']:9.4f}"
        line += f" {ms['numpy/scipy']:12.4f} {ms['numpy/scipy'] / ms['kovrant']:6.1f}x" if "numpy/scipy" in ms else " " * 20
        if args.baseline:
            line += f" {ms['baseline']:9.4f} {ms['baseline'] / ms['kovrant']:8.2f}x"
        print(line)


if __name__ == "__main__":
    main()
