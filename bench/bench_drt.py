"""Distribution of relaxation times: accuracy, band coverage, robustness and speed, with a peer program.

Run: OPENBLAS_NUM_THREADS=1 python bench/bench_drt.py [--sections accuracy,coverage,robust,speed,peer]

accuracy: two peaks on spectra whose distribution is known in closed form,
    ideal RC pairs a factor 3 apart in tau at 0.2 % noise and Zarc pairs
    (exponent 0.9) a factor 5 apart at 0.5 % noise, 10 noise draws each; a
    draw passes when both peaks are found within 0.1 decade and 5 % in
    resistance, and the polarisation resistance is within 2 %. Every way of
    choosing the regularisation is compared, and a fixed lambda.
coverage: how many tau points of the measured range the band covers the true
    distribution on (Zarc pairs, RQ-Warburg-free tails), per method.
robust: every measured file in tests/data and bench/data/measured, lambda
    from 1e-8 to 1e2, inductive points, 10 and 10,000 points: counts
    exceptions, NaN and empty results.
speed: CPU time of one call on 60 points (best of many calls).
peer: pyimpspec (in a side environment, default /tmp/peerenv; set
    KOVRANT_PEER_PYTHON to another interpreter) on the same spectra, timed in
    its own process; its distribution goes through the same peak analysis.

BLAS threads: set OPENBLAS_NUM_THREADS=1 on a busy machine; the section
`speed` also prints the time with the BLAS library's own thread count when
run without it.
"""
from __future__ import annotations

import argparse
import json
import math
import os
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import numpy as np

from kovrant_tools import drt, read_spectra
from kovrant_tools.drt_peaks import DrtPeak, find_peaks

import kovrant

from .timing import REPO, best_cpu_time, load_average

FREQUENCIES = np.logspace(5, -2, 60)
R_SERIES = 0.05
# (name, [(r, tau, exponent), ...], relative noise)
CASES = (
    ("RC pair, tau x3, 0.2 % noise", [(1.0, 1e-3, 1.0), (1.0, 3e-3, 1.0)], 0.002),
    ("Zarc pair a=0.9, tau x5, 0.5 % noise", [(1.0, 1e-3, 0.9), (1.0, 5e-3, 0.9)], 0.005),
)
DRAWS = 10
RULES = ("gcv", "lcurve", "reim", "evidence", 1e-3)
PEER_PYTHON = os.environ.get("KOVRANT_PEER_PYTHON", "/tmp/peerenv/bin/python")


def zarc_impedance(frequencies, resistance, tau, exponent):
    return resistance / (1.0 + (2j * math.pi * frequencies * tau) ** exponent)


def zarc_distribution(tau_grid, resistance, tau, exponent):
    """The closed-form gamma of a Zarc (ohm per unit ln tau); an RC (exponent 1) is a line, not a curve."""
    y = np.log(tau_grid / tau)
    return (resistance / (2 * math.pi) * math.sin(math.pi * exponent)
            / (np.cosh(exponent * y) + math.cos(math.pi * exponent)))


def noisy_spectrum(elements, noise, seed, frequencies=FREQUENCIES):
    rng = np.random.default_rng(seed)
    exact = R_SERIES + sum(zarc_impedance(frequencies, *element) for element in elements)
    scatter = noise * np.abs(exact) * (rng.standard_normal(frequencies.size)
                                       + 1j * rng.standard_normal(frequencies.size))
    return frequencies, exact + scatter


def score(peaks, polarisation, elements):
    """(passed, worst position error in decades, worst resistance error, polarisation error)."""
    position_error, resistance_error = 0.0, 0.0
    for resistance, tau, _ in elements:
        if not peaks:
            return False, math.inf, math.inf, math.inf
        nearest = min(peaks, key=lambda peak: abs(math.log10(peak.tau / tau)))
        position_error = max(position_error, abs(math.log10(nearest.tau / tau)))
        resistance_error = max(resistance_error, abs(nearest.resistance / resistance - 1.0))
    distinct = len({id(min(peaks, key=lambda peak: abs(math.log10(peak.tau / tau)))) for _, tau, _ in elements})
    total = sum(resistance for resistance, _, _ in elements)
    polarisation_error = abs(polarisation / total - 1.0)
    passed = (distinct == len(elements) and position_error <= 0.1 and resistance_error <= 0.05
              and polarisation_error <= 0.02)
    return passed, position_error, resistance_error, polarisation_error


def accuracy():
    print("accuracy: draws passed of 10 (worst position error / decades, resistance error, polarisation error)")
    for name, elements, noise in CASES:
        print(f"  {name}")
        spectra = [noisy_spectrum(elements, noise, seed) for seed in range(DRAWS)]
        for rule in RULES:
            outcomes = [score(result.peaks, result.polarisation_resistance, elements)
                        for result in (drt(spectrum, regularisation=rule) for spectrum in spectra)]
            _print_outcomes(rule if isinstance(rule, str) else f"fixed {rule:g}", outcomes, [], set())
        outcomes = [score(result.peaks, result.polarisation_resistance, elements)
                    for result in (drt(spectrum, refine_peaks=False) for spectrum in spectra)]
        _print_outcomes("gcv, peaks of gamma only", outcomes, [], set())
        _print_outcomes("reference: true circuit", [_true_circuit_fit(spectrum, elements) for spectrum in spectra],
                        [], set())
    warburg_tail()


def _true_circuit_fit(spectrum, elements):
    """The score of a fit of the true circuit from the true values: what the noise itself allows."""
    notation = "R0-" + "-".join(f"Zarc{index}" for index in range(1, len(elements) + 1))
    start = {"R0.r": R_SERIES}
    for index, (resistance, tau, exponent) in enumerate(elements, start=1):
        start.update({f"Zarc{index}.r": resistance, f"Zarc{index}.tau_k": tau,
                      f"Zarc{index}.gamma": min(exponent, 0.999)})
    fitted = kovrant.Circuit(notation).with_named_values(start).fit(*spectrum, guess_init=False).params
    peaks = [DrtPeak(tau=fitted[f"Zarc{index}.tau_k"], resistance=fitted[f"Zarc{index}.r"], width=0.0, exponent=0.0,
                     tau_stderr=0.0, resistance_stderr=0.0, width_stderr=0.0) for index in range(1, len(elements) + 1)]
    return score(peaks, sum(peak.resistance for peak in peaks), elements)


def warburg_tail():
    """A Zarc and a finite-length Warburg z0 tanh(x)/x, x = sqrt(j w T).

    The Warburg's distribution is lines at 4T/((2n-1) pi)^2 of areas 8 z0/((2n-1) pi)^2.
    """
    print("  Zarc (1 ohm, 1 ms, 0.9) + finite Warburg (1 ohm, T = 1 s), 0.5 % noise: "
          "Zarc peak / first Warburg line (0.405 s, 0.81 ohm) / polarisation (2 ohm)")
    rows = []
    for seed in range(DRAWS):
        x = np.sqrt(2j * math.pi * FREQUENCIES * 1.0)
        frequencies, impedances = noisy_spectrum([(1.0, 1e-3, 0.9)], 0.0, seed)
        impedances = impedances + np.tanh(x) / x
        rng = np.random.default_rng(seed)
        impedances += 0.005 * np.abs(impedances) * (rng.standard_normal(60) + 1j * rng.standard_normal(60))
        result = drt((frequencies, impedances))
        zarc = min(result.peaks, key=lambda peak: abs(math.log10(peak.tau / 1e-3)))
        line = min(result.peaks, key=lambda peak: abs(math.log10(peak.tau / (4 / math.pi ** 2))))
        rows.append((abs(math.log10(zarc.tau / 1e-3)), zarc.resistance - 1.0, abs(math.log10(line.tau / 0.405)),
                     line.resistance / 0.81 - 1.0, result.polarisation_resistance / 2.0 - 1.0))
    rows = np.array(rows)
    print(f"    worst: Zarc {rows[:, 0].max():.3f} dec, {100 * np.abs(rows[:, 1]).max():.1f} %; Warburg line "
          f"{rows[:, 2].max():.3f} dec, {100 * np.abs(rows[:, 3]).max():.1f} %; polarisation "
          f"{100 * np.abs(rows[:, 4]).max():.2f} %")


def coverage():
    print("coverage: share of tau points in the measured range where the band holds the true gamma")
    elements = [(1.0, 1e-3, 0.9), (1.0, 5e-3, 0.9)]
    tau_low, tau_high = 1 / (2 * math.pi * FREQUENCIES.max()), 1 / (2 * math.pi * FREQUENCIES.min())
    for noise in (0.005, 0.002):
        for method in ("tikhonov", "bootstrap"):
            shares, started = [], time.process_time()
            for seed in range(DRAWS):
                result = drt(noisy_spectrum(elements, noise, 100 + seed), method=method, seed=seed)
                inside = (result.tau >= tau_low) & (result.tau <= tau_high)
                truth = sum(zarc_distribution(result.tau, *element) for element in elements)
                held = (result.gamma_lower <= truth) & (truth <= result.gamma_upper)
                shares.append(np.mean(held[inside]))
            print(f"  Zarc pair, {100 * noise:.1f} % noise, {method:>9}, {result.band_level:.0%} band: "
                  f"mean {np.mean(shares):.1%}, worst draw {np.min(shares):.1%} "
                  f"({(time.process_time() - started) / DRAWS * 1e3:.0f} ms CPU per call)")


def measured_files():
    folders = (REPO / "tests" / "data", REPO / "bench" / "data" / "measured")
    return sorted(path for folder in folders for path in folder.iterdir() if path.suffix.lower() != ".md")


def robust():
    print("robust: calls, then exceptions / NaN / empty results")
    cases = []
    for path in measured_files():
        try:
            sweeps = read_spectra(path)
        except (ValueError, OSError, ImportError) as error:
            print(f"  {path.name}: not readable here ({error.__class__.__name__}), skipped")
            continue
        cases += [(f"{path.name} #{index}", sweep, {}) for index, sweep in enumerate(sweeps)]
    base = noisy_spectrum([(1.0, 1e-3, 0.9), (0.5, 1e-1, 0.8)], 0.005, 7)
    cases += [(f"lambda {value:g}", base, {"regularisation": value}) for value in np.logspace(-8, 2, 11)]
    frequencies, impedances = base
    inductive = (frequencies, impedances + 2j * math.pi * frequencies * 2e-6)
    cases += [("inductive points", inductive, {}), ("inductive points, signed", inductive, {"signed": True}),
              ("10 points", noisy_spectrum([(1.0, 1e-3, 0.9)], 0.005, 3, np.logspace(4, -1, 10)), {}),
              ("10,000 points", noisy_spectrum([(1.0, 1e-3, 0.9)], 0.005, 3, np.logspace(5, -2, 10000)), {})]
    counts = {"calls": 0, "exceptions": 0, "nan": 0, "empty": 0}
    for label, spectrum, options in cases:
        for method in ("tikhonov", "bootstrap"):
            for part in ("both", "real", "imag"):
                counts["calls"] += 1
                try:
                    result = drt(spectrum, method=method, part=part, samples=20, **options)
                except Exception as error:  # the point of this section is to count them
                    counts["exceptions"] += 1
                    print(f"  {label} {method} {part}: {error.__class__.__name__}: {error}")
                    continue
                values = np.concatenate([result.gamma, result.gamma_lower, result.gamma_upper,
                                         [result.series_resistance, result.inductance]])
                if not np.all(np.isfinite(values)):
                    counts["nan"] += 1
                    print(f"  {label} {method} {part}: non-finite values")
                if not result.peaks or result.gamma.size == 0:
                    counts["empty"] += 1
                    print(f"  {label} {method} {part}: no peak")
    print(f"  {len(cases)} spectra/settings: {counts}")


def speed():
    print(f"speed: CPU ms per call, 60 points (best call; {load_average()}; "
          f"OPENBLAS_NUM_THREADS={os.environ.get('OPENBLAS_NUM_THREADS', 'unset')})")
    spectrum = noisy_spectrum(CASES[1][1], 0.005, 1)
    drt(spectrum)
    for label, options in (("tikhonov, gcv", {}), ("tikhonov, lcurve", {"regularisation": "lcurve"}),
                           ("tikhonov, reim", {"regularisation": "reim"}),
                           ("tikhonov, evidence", {"regularisation": "evidence"}),
                           ("bootstrap, 50 samples", {"method": "bootstrap"})):
        seconds = best_cpu_time(lambda: drt(spectrum, **options), min_total=1.0)
        print(f"  {label:>24}: {seconds * 1e3:7.1f} ms")


PEER_SCRIPT = r"""
import json, sys, time
import numpy as np
import pyimpspec
data = np.load(sys.argv[1])
out = {}
for method, options in (("tr-nnls", {}), ("tr-rbf", {"cross_validation": "mgcv"})):
    rows = []
    for index in range(data["impedances"].shape[0]):
        spectrum = pyimpspec.DataSet(frequencies=data["frequencies"], impedances=data["impedances"][index])
        started = time.process_time()
        try:
            result = pyimpspec.calculate_drt(spectrum, method=method, num_procs=1, **options)
        except Exception as error:
            rows.append({"error": f"{error.__class__.__name__}: {error}"})
            continue
        seconds = time.process_time() - started
        gammas = result.get_gammas()
        gammas = gammas[0] if isinstance(gammas, tuple) else gammas
        rows.append({"seconds": seconds, "tau": result.get_time_constants().tolist(), "gamma": gammas.tolist()})
    out[method] = rows
print(json.dumps(out))
"""


def peer():
    if not Path(PEER_PYTHON).exists():
        print(f"peer: no interpreter at {PEER_PYTHON}; skipped")
        return
    print("peer: pyimpspec on the same spectra, its gamma through the same peak analysis "
          f"(CPU s per call in its own process; {load_average()})")
    for name, elements, noise in CASES:
        spectra = [noisy_spectrum(elements, noise, seed) for seed in range(DRAWS)]
        with tempfile.TemporaryDirectory() as folder:
            path = Path(folder) / "spectra.npz"
            np.savez(path, frequencies=FREQUENCIES, impedances=np.array([z for _, z in spectra]))
            run = subprocess.run([PEER_PYTHON, "-c", PEER_SCRIPT, str(path)], capture_output=True, text=True,
                                 env=dict(os.environ, OPENBLAS_NUM_THREADS="1"))
        if run.returncode != 0:
            print(f"  peer failed: {run.stderr.strip().splitlines()[-1:]}")
            return
        results = json.loads(run.stdout)
        print(f"  {name}")
        for method, rows in results.items():
            outcomes, seconds = [], []
            for row in rows:
                if "error" in row:
                    outcomes.append((False, math.inf, math.inf, math.inf))
                    continue
                seconds.append(row["seconds"])
                peaks, polarisation = _peaks_of(np.array(row["tau"]), np.array(row["gamma"]))
                outcomes.append(score(peaks, polarisation, elements))
            errors = {row["error"] for row in rows if "error" in row}
            _print_outcomes(f"pyimpspec {method}", outcomes, seconds, errors)
        for label, refine in (("kovrant gcv", True), ("kovrant gcv, gamma only", False)):
            ours = []
            for frequencies, impedances in spectra:
                started = time.process_time()
                result = drt((frequencies, impedances), refine_peaks=refine)
                ours.append((score(result.peaks, result.polarisation_resistance, elements),
                             time.process_time() - started))
            _print_outcomes(label, [outcome for outcome, _ in ours], [seconds for _, seconds in ours], set())


def _peaks_of(tau, gamma):
    """Peaks and area of another program's gamma(tau), through our peak analysis on a uniform ln tau grid."""
    order = np.argsort(tau)
    y = np.linspace(math.log(tau[order][0]), math.log(tau[order][-1]), 4 * tau.size)
    curve = np.interp(y, np.log(tau[order]), gamma[order])
    return find_peaks(curve, None, y, 0.01, False), float(np.sum(curve) * (y[1] - y[0]))


def _print_outcomes(label, outcomes, seconds, errors):
    passed = sum(outcome[0] for outcome in outcomes)
    finite = [outcome[1:] for outcome in outcomes if math.isfinite(outcome[1])]
    worst = np.max(finite, axis=0) if finite else [math.inf] * 3
    timing = f", {np.median(seconds) * 1e3:.1f} ms median" if seconds else ""
    print(f"    {label:>25}: {passed:2d}/10 ({worst[0]:.3f} dec, {100 * worst[1]:.1f} %, {100 * worst[2]:.2f} %)"
          f"{timing}{'; errors: ' + '; '.join(sorted(errors)) if errors else ''}")


SECTIONS = {"accuracy": accuracy, "coverage": coverage, "robust": robust, "speed": speed, "peer": peer}


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sections", default=",".join(SECTIONS), help="comma-separated: " + ", ".join(SECTIONS))
    args = parser.parse_args()
    for name in args.sections.split(","):
        SECTIONS[name.strip()]()
        sys.stdout.flush()


if __name__ == "__main__":
    main()
