"""Helpers shared by the Python benchmarks: timing, machine load, pinning.

Benchmarks compare programs side by side in one process, so that a busy
machine slows both alike; the load average is printed with every table so a
reader can judge how noisy the figures are.
"""
from __future__ import annotations

import os
import time
import timeit
from pathlib import Path

REPO = Path(__file__).resolve().parent.parent


def realistic_spectrum(key, seed, points=60, noise=0.01, circuit=None):
    """A spectrum of model `key` with values drawn as for training, ascending frequencies.

    `circuit` (default: the model's own) is the notation evaluated with those
    values, for a circuit written differently from the model.
    """
    import numpy as np

    from tools import synthetic_spectra

    rng = np.random.default_rng(seed)
    draw = synthetic_spectra.DRAWS[key](rng)
    lo, hi = synthetic_spectra.sample_window(rng, draw)
    values = list(draw.values)
    if draw.inductive:
        synthetic_spectra.set_inductance(rng, values, hi)
    f = np.logspace(lo, hi, points)
    return f, synthetic_spectra.add_noise(rng, synthetic_spectra.simulate(circuit or key, values, f), noise)


def best_time(function, min_total=0.3, repeat=5):
    """Seconds per call: the best of `repeat` rounds, each long enough to time."""
    runs = 1
    while True:
        elapsed = min(timeit.repeat(function, number=runs, repeat=repeat))
        if elapsed * repeat >= min_total or runs > 1e6:
            return elapsed / runs
        runs *= 4


def best_call_time(function, min_total=0.5, min_calls=5, clock=time.perf_counter):
    """Seconds of the fastest single call among many.

    On a shared machine most calls are stretched by other processes now and
    then; the fastest call is the one that ran undisturbed, the same for
    every program compared.
    """
    best, spent, calls = float("inf"), 0.0, 0
    while spent < min_total or calls < min_calls:
        started = clock()
        function()
        elapsed = clock() - started
        best, spent, calls = min(best, elapsed), spent + elapsed, calls + 1
    return best


def best_cpu_time(function, min_total=0.5, min_calls=5):
    """CPU seconds (all threads) of the cheapest single call among many."""
    return best_call_time(function, min_total, min_calls, clock=time.process_time)


def load_average():
    one, five, fifteen = os.getloadavg()
    return f"load average {one:.2f} {five:.2f} {fifteen:.2f} on {os.cpu_count()} CPUs"


def pin_to_one_core(core=0):
    """Run this process, and every thread it starts later, on one core."""
    if hasattr(os, "sched_setaffinity"):
        os.sched_setaffinity(0, {core})
        return True
    return False
