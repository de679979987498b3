"""Throughput of eight Python threads fitting together against one pinned thread.

Run: python -m bench.bench_threads [--count 1000] [--model randles] [--rounds 3]

`count` synthetic spectra of one built-in topology (1 % noise) are fitted with
the default fit(f, z) (network guess, then Levenberg-Marquardt) twice per
round, in this process, side by side:
- sequentially, on one thread pinned to CPU 0;
- by eight Python threads sharing the list, free to use every CPU (fit and
  guess release the interpreter lock for their numerical work).
It prints the throughput ratio and asserts that every threaded result equals
the sequential one exactly (parameters, chi-square, counters, success). On a
shared machine other processes take part of the CPUs, so it also prints the
CPU time per fit of each mode (what threading costs in work), how many CPUs
the threads kept busy on average, and, as a control, how many CPUs eight
threads of pure GIL-free work (hashing) get from the machine at that moment.
"""
from __future__ import annotations

import argparse
import hashlib
import os
import statistics
import time
from concurrent.futures import ThreadPoolExecutor

import numpy as np

import kovrant
from tools import guesser_registry, synthetic_spectra

from .timing import load_average

THREADS = 8


def summary(result):
    """Everything a fit reports, for exact comparison."""
    return (tuple(sorted(result.params.items())), result.chi_square, result.cost, result.success,
            result.iterations, result.impedance_evals)


def cpus_available(seconds=0.5):
    """CPUs that eight threads of GIL-free work keep busy right now."""
    block = bytes(1 << 20)
    deadline = time.perf_counter() + seconds

    def spin(_):
        while time.perf_counter() < deadline:
            hashlib.sha256(block).digest()  # releases the GIL for large inputs

    started, cpu_started = time.perf_counter(), time.process_time()
    with ThreadPoolExecutor(max_workers=THREADS) as pool:
        list(pool.map(spin, range(THREADS)))
    return (time.process_time() - cpu_started) / (time.perf_counter() - started)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--count", type=int, default=1000)
    parser.add_argument("--model", default="randles")
    parser.add_argument("--rounds", type=int, default=3)
    args = parser.parse_args()

    spec = guesser_registry.MODELS_BY_KEY[args.model]
    rng = np.random.default_rng(7)
    spectra = []
    for _ in range(args.count):
        s = synthetic_spectra.sample_spectrum(rng, args.model, spec.circuit, noise=0.01)
        spectra.append((s.frequencies, s.impedances))
    circuit = kovrant.Circuit(spec.circuit)

    def fit(index):
        f, z = spectra[index]
        return summary(circuit.fit(f, z))

    every_cpu = os.sched_getaffinity(0)
    print(f"{args.count} default fits of {args.model!r} spectra, {THREADS} threads on {len(every_cpu)} CPUs "
          f"vs 1 thread on CPU 0; {load_average()}")
    ratios = []
    for round_number in range(args.rounds):
        # Affinity set with pid 0 is the calling thread's; threads started
        # later inherit it, so the pool below gets every CPU back.
        os.sched_setaffinity(0, {min(every_cpu)})
        started, cpu_started = time.perf_counter(), time.process_time()
        sequential = [fit(i) for i in range(args.count)]
        one_thread = time.perf_counter() - started
        one_thread_cpu = time.process_time() - cpu_started
        os.sched_setaffinity(0, every_cpu)

        started, cpu_started = time.perf_counter(), time.process_time()
        with ThreadPoolExecutor(max_workers=THREADS) as pool:
            threaded = list(pool.map(fit, range(args.count)))
        many_threads = time.perf_counter() - started
        many_threads_cpu = time.process_time() - cpu_started

        control = cpus_available()
        assert threaded == sequential, "threaded fits differ from the sequential ones"
        ratio = one_thread / many_threads
        ratios.append(ratio)
        print(f"round {round_number + 1}: 1 thread {args.count / one_thread:7.1f} fits/s "
              f"({one_thread_cpu / args.count * 1e3:.3f} ms CPU/fit, {one_thread_cpu / one_thread:.2f} CPUs busy)   "
              f"{THREADS} threads {args.count / many_threads:7.1f} fits/s "
              f"({many_threads_cpu / args.count * 1e3:.3f} ms CPU/fit, {many_threads_cpu / many_threads:.2f} CPUs busy; "
              f"hashing threads get {control:.2f})   ratio {ratio:5.2f}x   results identical   ({load_average()})")
    print(f"median throughput ratio {statistics.median(ratios):.2f}x on {len(every_cpu)} CPUs")


if __name__ == "__main__":
    main()
