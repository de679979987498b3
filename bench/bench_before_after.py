"""Two builds of kovrant side by side in one process: the fit, the guess and
impedance, CPU time per call, with before/after ratios.

Run: python -m bench.bench_before_after --baseline DIR [--rounds 7]
     python -m bench.bench_before_after --baseline DIR --callgrind [--calls 200]

DIR holds the baseline build's kovrant extension (for example a build of the
main branch's commit: git worktree add /tmp/base <commit>; cmake -S /tmp/base
-B /tmp/base/build -DKOVRANT_BUILD_EXTENSION=ON; cmake --build /tmp/base/build
--target kovrant). The current build is whatever `import kovrant` finds.

The cases, on the 60-point randles spectrum of bench_fit.py:
- default fit: Circuit("R0-(R1-W1,CPE1)").fit(f, z), the guess plus LM;
- fixed start: the same circuit with every value a factor 2 off, guess_init=False;
- guess, 32 and 64 channels: the randles and sei_randles networks' guess;
- impedance at 60, 1000 and 10^6 points, the randles circuit;
- bench_speed.py's poor-start fit (guess_init=False) and the default fit
  (guess + fit) on its spectrum.
Times are CPU time (time.process_time) per call: the median over rounds, each
round timing both builds back to back. With --callgrind each case runs under
valgrind's callgrind for each build, and the instructions per call (the count
with `calls` calls minus the count with none, divided by `calls`) are
compared; those counts do not depend on the machine's load, unlike times, and
vary by about 1 % from run to run (the interpreter's setup varies by a few
million instructions).
"""
from __future__ import annotations

import argparse
import os
import importlib.machinery
import importlib.util
import re
import statistics
import subprocess
import sys
import time
from pathlib import Path

import numpy as np

from .bench_fit import CIRCUIT, START, spectrum
from .bench_speed import START as POOR_START
from .bench_speed import poor_start_spectrum
from .timing import load_average

SEI_RANDLES = "R0-(R1,CPE1)-(R2-W2,CPE2)"
SEI_TRUTH = [5.0, 20.0, 1e-5, 0.9, 40.0, 15.0, 1e-3, 0.8]


def load_build(directory):
    """The kovrant extension found in `directory`, loaded beside the current one."""
    suffixes = tuple(importlib.machinery.EXTENSION_SUFFIXES)
    paths = [p for p in Path(directory).iterdir() if p.name.startswith("kovrant") and p.name.endswith(suffixes)]
    if not paths:
        raise SystemExit(f"no kovrant extension in {directory}")
    spec = importlib.util.spec_from_file_location("kovrant", paths[0])
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def cases(kovrant):
    """Name -> a call that does the case's work once, for one build."""
    f, z = spectrum()
    sei = kovrant.Circuit(SEI_RANDLES).with_values(SEI_TRUTH)
    f_sei = np.logspace(-2, 5, 60)
    z_sei = sei.impedance(f_sei)
    f_big = np.logspace(-3, 6, 10**6)
    default = kovrant.Circuit(CIRCUIT)
    fixed = kovrant.Circuit(CIRCUIT).with_values(START.tolist())
    randles = kovrant.Circuit(CIRCUIT)
    f_poor, z_poor = poor_start_spectrum()
    poor = kovrant.Circuit(CIRCUIT).with_values(POOR_START)
    f_1000 = np.logspace(-3, 6, 1000)
    return {
        "poor-start fit": lambda: poor.fit(f_poor, z_poor, guess_init=False),
        "default fit, poor-start data": lambda: randles.fit(f_poor, z_poor),
        "default fit (guess + LM)": lambda: default.fit(f, z),
        "fixed-start fit": lambda: fixed.fit(f, z, guess_init=False),
        "guess, 32 channels (randles)": lambda: randles.guess(f, z),
        "guess, 64 channels (sei_randles)": lambda: sei.guess(f_sei, z_sei),
        "impedance, 60 points": lambda: fixed.impedance(f),
        "impedance, 1000 points": lambda: fixed.impedance(f_1000),
        "impedance, 10^6 points": lambda: fixed.impedance(f_big),
    }


def cpu_seconds_per_call(call, min_total=0.05):
    calls, spent = 0, 0.0
    started = time.process_time()
    while spent < min_total:
        call()
        calls += 1
        spent = time.process_time() - started
    return spent / calls


def time_table(builds, rounds):
    named = {label: cases(module) for label, module in builds.items()}
    names = list(next(iter(named.values())))
    print(f"CPU time per call, median of {rounds} rounds; {load_average()}")
    print(f"{'case':<34} {'before':>10} {'after':>10} {'speed-up':>9}")
    for name in names:
        samples = {label: [] for label in builds}
        for _ in range(rounds):
            for label in builds:
                samples[label].append(cpu_seconds_per_call(named[label][name]))
        before, after = (statistics.median(samples[label]) for label in ("before", "after"))
        print(f"{name:<34} {before * 1e3:8.4f}ms {after * 1e3:8.4f}ms {before / after:8.2f}x")


# Cases so cheap that the setup's own variation (a few million instructions
# from run to run) would blur them get this many times more calls.
CHEAP_CASE_CALLS = {"impedance, 60 points": 50}


def instructions(baseline, build, case, calls):
    """Instructions callgrind counts for `calls` calls of `case` plus the setup."""
    command = ["valgrind", "--tool=callgrind", "--callgrind-out-file=/dev/null", sys.executable,
               "-m", __spec__.name, "--baseline", baseline, "--run-case", case, "--build", build, "--calls", str(calls)]
    # Fixed hashing and one BLAS thread keep the setup's count steady.
    environment = dict(os.environ, PYTHONHASHSEED="0", OPENBLAS_NUM_THREADS="1")
    result = subprocess.run(command, capture_output=True, text=True, check=True, env=environment)
    return int(re.search(r"Collected : (\d+)", result.stderr).group(1))


def callgrind_table(baseline, calls):
    import kovrant
    print(f"instructions per call under callgrind ({calls} calls, or more for cheap cases, minus none)")
    print(f"{'case':<34} {'before':>12} {'after':>12} {'speed-up':>9}")
    for name in cases(kovrant):
        if "10^6" in name:
            continue  # the setup alone takes minutes under valgrind
        n = calls * CHEAP_CASE_CALLS.get(name, 1)
        per_call = {build: (instructions(baseline, build, name, n) - instructions(baseline, build, name, 0)) / n
                    for build in ("before", "after")}
        print(f"{name:<34} {per_call['before']:12.0f} {per_call['after']:12.0f} "
              f"{per_call['before'] / per_call['after']:8.2f}x")


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--baseline", required=True, help="folder with the baseline build's kovrant extension")
    parser.add_argument("--rounds", type=int, default=7)
    parser.add_argument("--callgrind", action="store_true", help="count instructions instead of timing")
    parser.add_argument("--calls", type=int, default=200, help="calls per case under callgrind")
    parser.add_argument("--run-case", help=argparse.SUPPRESS)
    parser.add_argument("--build", choices=("before", "after"), help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.run_case:
        module = load_build(args.baseline) if args.build == "before" else __import__("kovrant")
        call = cases(module)[args.run_case]
        call()  # first-use work (network loading) belongs to the setup
        for _ in range(args.calls):
            call()
        return
    if args.callgrind:
        callgrind_table(args.baseline, args.calls)
        return
    import kovrant
    time_table({"before": load_build(args.baseline), "after": kovrant}, args.rounds)


if __name__ == "__main__":
    main()
