"""Accuracy of kovrant's portable tanh against mpmath, on millions of arguments.

Run: python bench/check_portable_math.py build/cpp-tests/kovrant_math_check [--count 2000000]

Arguments: half uniform in [-21, 21] (past the saturation at 19.1), half
spread evenly over the binades from 2^-40 to 2^4.5 with random signs. Each
result is compared with mpmath's tanh at 120 bits, rounded to the nearest
double; the script prints the largest error in ulps, how many results are not
correctly rounded, and fails (exit code 1) when any error exceeds 1 ulp.
"""
from __future__ import annotations

import argparse
import subprocess
import sys

import mpmath
import numpy as np


def arguments(count, seed=5):
    rng = np.random.default_rng(seed)
    half = count // 2
    uniform = rng.uniform(-21.0, 21.0, half)
    spread = np.exp2(rng.uniform(-40.0, 4.5, count - half)) * rng.choice([-1.0, 1.0], count - half)
    return np.concatenate([uniform, spread])


def ulp_errors(xs, ys):
    mpmath.mp.prec = 120
    errors = np.empty(len(xs))
    for i, (x, y) in enumerate(zip(xs.tolist(), ys.tolist())):
        exact = mpmath.tanh(mpmath.mpf(x))
        rounded = float(exact)
        ulp = np.spacing(abs(rounded)) if rounded != 0.0 else np.spacing(0.0)
        errors[i] = float(abs(mpmath.mpf(y) - exact)) / ulp
    return errors


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("program", help="the kovrant_math_check executable")
    parser.add_argument("--count", type=int, default=2_000_000)
    args = parser.parse_args()
    xs = arguments(args.count)
    run = subprocess.run([args.program], input=xs.astype("<f8").tobytes(), capture_output=True, check=True)
    ys = np.frombuffer(run.stdout, dtype="<f8")
    errors = ulp_errors(xs, ys)
    worst = int(np.argmax(errors))
    print(f"tanh on {len(xs)} arguments: largest error {errors[worst]:.4f} ulp at x = {xs[worst]!r}; "
          f"{int(np.sum(errors > 0.5))} results not correctly rounded")
    return 1 if errors[worst] > 1.0 else 0


if __name__ == "__main__":
    sys.exit(main())
