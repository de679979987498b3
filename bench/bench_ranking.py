"""rank_circuits: how fast, and how often it names the generating topology.

Run: python -m bench.bench_ranking                 # timing, 60-point spectra
     python -m bench.bench_ranking --confusion 100 # confusion table, 100 spectra per model

Timing: for one 60-point spectrum of each built-in topology (realistic values
from tools/synthetic_spectra.py, 1 % noise, 10 mHz..100 kHz window placed
around its features), the CPU time of
- rank_circuits(spectrum): all eleven topologies fitted from their guess,
  each with a FitReport (covariance, criteria, residuals, model curve,
  limits), the shortlist refined, degenerate fits' simpler circuits added;
- the closed ranking: rank_circuits(spectrum, strategy="fast",
  equivalents=False), the eleven fast fits alone;
- the baseline: the eleven bare Circuit(key).fit(f, z) calls they build on.
Both run side by side in this process; each figure is the fastest of
several calls (CPU time, so other processes on a busy machine count less).
A second table times one kovrant_tools.fit (the fit and its FitReport)
against the bare Circuit.fit on each spectrum.

Confusion: spectra drawn exactly as tools/synthetic_spectra.py draws training
spectra (20-200 points, 0-3 % noise, random window); rows are the generating
model, columns the top-ranked one, by BIC (the default criterion); "simpler"
counts picks outside the eleven (a simpler circuit a degenerate fit equals).
"""
from __future__ import annotations

import argparse
import time
import warnings

import numpy as np

import kovrant
from kovrant_tools import fit, rank_circuits
from tools import synthetic_spectra

from .timing import load_average, realistic_spectrum

POINTS = 60
NOISE = 0.01


def timing_spectrum(key, seed):
    return realistic_spectrum(key, seed, POINTS, NOISE)


def fastest_cpu(function, calls):
    best = float("inf")
    for _ in range(calls):
        started = time.process_time()
        function()
        best = min(best, time.process_time() - started)
    return best


def run_timing(calls):
    keys = kovrant.Circuit.ml_circuits()
    circuits = [kovrant.Circuit(key) for key in keys]
    print(f"rank_circuits over {len(keys)} topologies, {POINTS}-point spectra, fastest of {calls} calls "
          f"(CPU time); {load_average()}")
    print(f"| generating model | rank_circuits (ms) | closed, fast (ms) | {len(keys)} bare Circuit.fit (ms) "
          f"| ratio to bare | top-ranked |")
    print("|---|---|---|---|---|---|")
    totals = []
    for seed, key in enumerate(keys):
        f, z = timing_spectrum(key, seed)
        ranked = rank_circuits((f, z))
        ours = fastest_cpu(lambda: rank_circuits((f, z)), calls)
        closed = fastest_cpu(lambda: rank_circuits((f, z), strategy="fast", equivalents=False), calls)
        bare = fastest_cpu(lambda: [circuit.fit(f, z) for circuit in circuits], calls)
        totals.append(ours)
        print(f"| {key} | {ours * 1e3:.1f} | {closed * 1e3:.1f} | {bare * 1e3:.1f} | {ours / bare:.2f} "
              f"| {ranked[0][0]} |")
    print(f"median rank_circuits time {np.median(totals) * 1e3:.1f} ms, max {max(totals) * 1e3:.1f} ms")


def run_fit_overhead(calls):
    """kovrant_tools.fit, fast strategy (the same fit plus its FitReport), against the bare Circuit.fit."""
    print("\n| generating model | Circuit.fit (ms) | kovrant_tools.fit (ms) | ratio |")
    print("|---|---|---|---|")
    for seed, key in enumerate(kovrant.Circuit.ml_circuits()):
        f, z = timing_spectrum(key, seed)
        circuit = kovrant.Circuit(key)
        bare = fastest_cpu(lambda: circuit.fit(f, z), calls)
        ours = fastest_cpu(lambda: fit((f, z), circuit, strategy="fast"), calls)
        print(f"| {key} | {bare * 1e3:.2f} | {ours * 1e3:.2f} | {ours / bare:.2f} |")


def run_confusion(per_model, seed):
    keys = kovrant.Circuit.ml_circuits()
    rng = np.random.default_rng(seed)
    # A pick outside the eleven is a simpler circuit that a degenerate fit equals.
    columns = (*keys, "simpler")
    counts = {key: dict.fromkeys(columns, 0) for key in keys}
    started = time.perf_counter()
    for key in keys:
        for _ in range(per_model):
            spectrum = synthetic_spectra.sample_spectrum(rng, key, key)
            with warnings.catch_warnings():
                warnings.simplefilter("ignore")
                best = rank_circuits((spectrum.frequencies, spectrum.impedances))[0][0]
            counts[key][best if best in keys else "simpler"] += 1
    print(f"confusion over {per_model} synthetic spectra per model (seed {seed}), by BIC, "
          f"{time.perf_counter() - started:.0f} s; {load_average()}")
    print("| generating \\ picked | " + " | ".join(columns) + " | correct |")
    print("|---" * (len(columns) + 2) + "|")
    for key in keys:
        row = counts[key]
        print(f"| {key} | " + " | ".join(str(row[other]) for other in columns) + f" | {row[key] / per_model:.0%} |")
    correct = sum(counts[key][key] for key in keys) / (per_model * len(keys))
    print(f"overall {correct:.1%} pick the generating topology")


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--calls", type=int, default=5, help="timing calls per program (the fastest counts)")
    parser.add_argument("--confusion", type=int, metavar="N", help="confusion table with N spectra per model")
    parser.add_argument("--seed", type=int, default=11, help="seed of the confusion spectra")
    args = parser.parse_args()
    if args.confusion:
        run_confusion(args.confusion, args.seed)
    else:
        run_timing(args.calls)
        run_fit_overhead(args.calls * 4)


if __name__ == "__main__":
    main()
