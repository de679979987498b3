"""fit_many's thread scaling: 1 and 2 threads, against the bare fits.

Run: python bench/bench_fit_many_threads.py [--count 400] [--rounds 3]

`count` 60-point spectra of "R0-(R1-W1,CPE1)" (bench_speed.py's spectrum
with its true values drifting, 0.5 % noise) are fitted by the default fit
(guess, then Levenberg-Marquardt) in three ways, side by side, each round:
- the bare loop: Circuit(...).fit(f, z) for each spectrum, on this thread;
- fit_many(spectra, circuit, threads=1);
- fit_many(spectra, circuit, threads=2).
For each it prints wall-clock and CPU time per spectrum (medians over
rounds), the throughput against one thread, and how many CPUs the process
kept busy; the frames of 1 and 2 threads must be equal (but `seconds`).
These fits never wake the native worker pool (a 120 x 5 Jacobian is far
below its threshold), so the pool's on and off are the same run here.
"""
from __future__ import annotations

import argparse
import statistics
import time

import numpy as np

from .bench_fit import numpy_impedance
from .timing import load_average

import kovrant
from kovrant_tools import fit_many

CIRCUIT = "R0-(R1-W1,CPE1)"
TRUTH = np.array([2.0, 40.0, 5.0, 2e-4, 0.85])


def spectra(count, seed=5):
    rng = np.random.default_rng(seed)
    f = np.logspace(5, -2, 60)
    out = []
    for k in range(count):
        values = TRUTH * (1 + 0.3 * np.sin(k / 40 + np.arange(5)))
        values[4] = min(values[4], 0.99)
        z = numpy_impedance(values, f)
        out.append((f, z.real * (1 + 0.005 * rng.standard_normal(60)) + 1j * z.imag * (1 + 0.005 * rng.standard_normal(60))))
    return out


def timed(work):
    wall, cpu = time.perf_counter(), time.process_time()
    result = work()
    return result, time.perf_counter() - wall, time.process_time() - cpu


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--count", type=int, default=400)
    parser.add_argument("--rounds", type=int, default=3)
    args = parser.parse_args()
    data = spectra(args.count)
    circuit = kovrant.Circuit(CIRCUIT)
    modes = {
        "bare Circuit.fit loop": lambda: [circuit.fit(f, z) for f, z in data],
        "fit_many, 1 thread": lambda: fit_many(data, circuit, threads=1, progress=False),
        "fit_many, 2 threads": lambda: fit_many(data, circuit, threads=2, progress=False),
    }
    walls = {name: [] for name in modes}
    cpus = {name: [] for name in modes}
    frames = {}
    for _ in range(args.rounds):
        for name, work in modes.items():
            result, wall, cpu = timed(work)
            walls[name].append(wall / args.count)
            cpus[name].append(cpu / args.count)
            frames[name] = result
    one, two = (frames[f"fit_many, {n}"].drop(columns="seconds") for n in ("1 thread", "2 threads"))
    assert one.equals(two), "1 and 2 threads gave different frames"

    print(f"{args.count} spectra, {args.rounds} rounds; {load_average()}")
    print(f"{'mode':<24} {'wall ms':>8} {'CPU ms':>8} {'throughput':>11} {'CPUs busy':>10}")
    base = statistics.median(walls["fit_many, 1 thread"])
    for name in modes:
        wall, cpu = statistics.median(walls[name]), statistics.median(cpus[name])
        print(f"{name:<24} {wall * 1e3:8.3f} {cpu * 1e3:8.3f} {base / wall:10.2f}x {cpu / wall:10.2f}")


if __name__ == "__main__":
    main()
