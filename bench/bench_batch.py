"""fit_many on many spectra: threads, memory, impedance.py and Dask.

Run: python -m bench.bench_batch [--count 10000] [--rounds 2] [--dask-count 2000]

The data: `count` randles spectra "R0-(R1-W1,CPE1)" of 60 points (10 mHz to
100 kHz), an ageing series whose charge-transfer resistance, Warburg
coefficient and CPE drift slowly, each with Gaussian noise of 1 % of |Z|.
Every fit is fit_many's default (network guess, then Levenberg-Marquardt).
Side by side in this process:
- threads: fit_many(threads=1) against fit_many(threads=2), `rounds` times
  alternately; prints the wall-clock and CPU time of each, the throughput
  ratio (best round of each) and checks that both frames are identical
  (everything but the `seconds` column); as a control, how many CPUs
  GIL-free threads get from the machine at that moment (bench_threads.py);
- memory: the resident set size sampled every 20 ms while fit_many runs over
  all spectra drawn lazily from a generator: at the start, the peak and the end;
- impedance.py: spectra per second of CustomCircuit("R0-p(R1-W1,CPE1)").fit
  (weight_by_modulus=True, started from the true values doubled and halved
  alternately, since it has no guess of its own) against fit_many(threads=1)
  on the first 100 spectra; left out when impedance.py is not importable;
- Dask: fit_many(client=...) on a LocalCluster of 2 worker processes (one
  thread each) against fit_many(threads=2) on `dask-count` spectra: the
  frames must be equal, and the difference in wall-clock time per spectrum is
  Dask's overhead; left out when dask.distributed is not importable.
On a shared machine, other processes take CPU time from the threads; the load
average printed with the table says how busy the machine was.
"""
from __future__ import annotations

import argparse
import os
import threading
import time

import numpy as np

import kovrant
from kovrant_tools import fit_many

from .bench_threads import cpus_available
from .timing import load_average

CIRCUIT = "R0-(R1-W1,CPE1)"
PEER_CIRCUIT = "R0-p(R1-W1,CPE1)"
POINTS = 60
NOISE = 0.01
FREQUENCIES = np.logspace(-2, 5, POINTS)


def true_values(index, count):
    """R0, R1, W1.aw, CPE1.q, CPE1.alpha of spectrum `index` of an ageing series."""
    age = index / max(1, count - 1)
    return [0.02 * (1 + 0.2 * age), 0.05 * (1 + 2 * age), 0.01 * (1 + age), 2.0 * (1 - 0.3 * age), 0.85 - 0.05 * age]


def spectra(count, seed=1):
    """The series, one spectrum at a time."""
    rng = np.random.default_rng(seed)
    circuit = kovrant.Circuit(CIRCUIT)
    for index in range(count):
        z = circuit.with_values(true_values(index, count)).impedance(FREQUENCIES)
        noise = NOISE * np.abs(z) * (rng.standard_normal(POINTS) + 1j * rng.standard_normal(POINTS))
        yield FREQUENCIES, z + noise


def timed(function):
    wall, cpu = time.perf_counter(), time.process_time()
    result = function()
    return result, time.perf_counter() - wall, time.process_time() - cpu


def results(frame):
    return frame.drop(columns="seconds")


def resident_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def threads_table(data, rounds):
    print(f"\nthreads: {len(data)} spectra, fit_many(threads=1) vs fit_many(threads=2), {rounds} rounds; "
          f"the machine gives GIL-free threads {cpus_available():.2f} CPUs")
    best = {}
    frames = {}
    for round_number in range(rounds):
        for threads in (1, 2):
            frame, wall, cpu = timed(lambda: fit_many(data, CIRCUIT, threads=threads, progress=False))
            frames[threads] = frame
            best[threads] = min(best.get(threads, float("inf")), wall)
            print(f"  round {round_number + 1}, {threads} thread(s): {wall:7.2f} s wall, {cpu:7.2f} s CPU, "
                  f"{len(data) / wall:7.0f} spectra/s; {load_average()}")
    identical = results(frames[1]).equals(results(frames[2]))
    print(f"  ratio (best rounds): {best[1] / best[2]:.2f}x; frames identical: {identical}; "
          f"success {frames[1]['success'].mean():.1%}; GIL-free threads now get {cpus_available():.2f} CPUs")
    return frames[1]


def memory_table(count):
    samples = [resident_bytes()]
    done = threading.Event()

    def sample():
        while not done.wait(0.02):
            samples.append(resident_bytes())

    sampler = threading.Thread(target=sample)
    sampler.start()
    try:
        frame, wall, _ = timed(lambda: fit_many(spectra(count), CIRCUIT, threads=2, progress=False))
    finally:
        done.set()
        sampler.join()
    samples.append(resident_bytes())
    mib = 1 << 20
    print(f"\nmemory over {count} spectra drawn from a generator ({wall:.1f} s): resident set "
          f"{samples[0] / mib:.0f} MiB at the start, {max(samples) / mib:.0f} MiB peak, "
          f"{samples[-1] / mib:.0f} MiB at the end (the frame itself: "
          f"{frame.memory_usage(deep=True).sum() / mib:.1f} MiB)")


def peer_table(data, count=100):
    try:
        from impedance.models.circuits import CustomCircuit
    except ImportError:
        print("\nimpedance.py is not importable here: its comparison is left out")
        return
    data = data[:count]
    factors = np.where(np.arange(5) % 2 == 0, 2.0, 0.5)

    def fit_peer():
        for index, (f, z) in enumerate(data):
            start = (np.array(true_values(index, count)) * factors).tolist()
            start[4] = min(start[4], 0.95)
            CustomCircuit(PEER_CIRCUIT, initial_guess=start).fit(f, z, weight_by_modulus=True)

    _, ours, _ = timed(lambda: fit_many(data, CIRCUIT, threads=1, progress=False))
    _, theirs, _ = timed(fit_peer)
    print(f"\nimpedance.py on {count} spectra: fit_many(threads=1) {count / ours:.0f} spectra/s, "
          f"impedance.py {count / theirs:.0f} spectra/s ({theirs / ours:.0f}x); {load_average()}")


def dask_table(data):
    try:
        from dask.distributed import Client, LocalCluster
    except ImportError:
        print("\ndask.distributed is not importable here: its comparison is left out")
        return
    with LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None) as cluster:
        with Client(cluster) as client:
            fit_many(data[:50], CIRCUIT, client=client, progress=False)  # workers import and load the network
            remote, remote_wall, _ = timed(lambda: fit_many(data, CIRCUIT, client=client, progress=False))
    local, local_wall, _ = timed(lambda: fit_many(data, CIRCUIT, threads=2, progress=False))
    print(f"\nDask LocalCluster (2 processes) on {len(data)} spectra: {remote_wall:.2f} s against "
          f"{local_wall:.2f} s on 2 local threads, overhead {1e6 * (remote_wall - local_wall) / len(data):.0f} us "
          f"per spectrum; frames identical: {results(remote).equals(results(local))}; {load_average()}")


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--count", type=int, default=10000, help="spectra in the series")
    parser.add_argument("--rounds", type=int, default=2, help="rounds of the threads comparison")
    parser.add_argument("--dask-count", type=int, default=2000, help="spectra sent to Dask")
    args = parser.parse_args()

    data = list(spectra(args.count))
    print(f"fit_many on {args.count} randles spectra of {POINTS} points; {load_average()}")
    threads_table(data, args.rounds)
    memory_table(args.count)
    peer_table(data)
    dask_table(data[:args.dask_count])


if __name__ == "__main__":
    main()
