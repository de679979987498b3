"""Accuracy of kovrant's portable math functions against mpmath.

Run: python -m bench.check_portable_math build/cpp-tests/kovrant_math_check [--count 2000000]

Each function gets `count` arguments (pairs for pow, atan2 and hypot) drawn over the
ranges the fits and guesses use and beyond; each result is compared with
mpmath at 120 bits. The script prints, per function, the largest error in
ulps of the correctly rounded result and how many results are not correctly
rounded, and fails (exit code 1) when any error exceeds 1 ulp.
"""
from __future__ import annotations

import argparse
import subprocess
import sys

import mpmath
import numpy as np


def signed(rng, values):
    return values * rng.choice([-1.0, 1.0], len(values))


def arguments(name, count, rng):
    """Arguments for one function: an (count,) or (count, 2) array."""
    half = count // 2
    if name == "tanh":  # uniform past the saturation at 19.1, and every binade from 2^-40
        return np.concatenate([rng.uniform(-21.0, 21.0, half),
                               signed(rng, np.exp2(rng.uniform(-40.0, 4.5, count - half)))])
    if name == "exp":
        return np.concatenate([rng.uniform(-708.0, 708.0, half), rng.uniform(-3.0, 3.0, count - half)])
    if name == "log":
        return np.concatenate([np.exp2(rng.uniform(-1000.0, 1000.0, half)), rng.uniform(0.9, 1.1, count - half)])
    if name == "pow":  # powers of moduli and frequencies, and 10^x of the fit coordinates
        bases = np.concatenate([np.exp2(rng.uniform(-40.0, 40.0, half)), np.full(count - half, 10.0)])
        exponents = np.concatenate([rng.uniform(-3.0, 3.0, half), rng.uniform(-300.0, 300.0, count - half)])
        return np.column_stack([bases, exponents])
    if name in ("atan2", "hypot"):
        return np.column_stack([signed(rng, np.exp2(rng.uniform(-30.0, 30.0, count))),
                                signed(rng, np.exp2(rng.uniform(-30.0, 30.0, count)))])
    if name == "log10":
        return np.concatenate([np.exp2(rng.uniform(-1000.0, 1000.0, half)), rng.uniform(1e-12, 1e6, count - half)])
    if name == "exp10":
        return np.concatenate([rng.uniform(-307.0, 307.0, half), rng.uniform(-12.0, 12.0, count - half)])
    if name in ("sin", "cos"):  # the tanh formulas' 2 Im z, then every binade up to 2^1000 (Payne-Hanek)
        return np.concatenate([rng.uniform(-41.0, 41.0, half),
                               signed(rng, np.exp2(rng.uniform(-30.0, 1000.0, count - half)))])
    if name in ("sinh", "cosh"):
        return np.concatenate([rng.uniform(-41.0, 41.0, half),
                               signed(rng, np.exp2(rng.uniform(-30.0, 9.4, count - half)))])
    raise ValueError(name)


def exact(name, args):
    mp = [mpmath.mpf(a) for a in np.atleast_1d(args).tolist()]
    if name == "pow":
        return mpmath.power(mp[0], mp[1])
    if name == "atan2":
        return mpmath.atan2(mp[0], mp[1])
    if name == "hypot":
        return mpmath.hypot(mp[0], mp[1])
    if name == "exp10":
        return mpmath.power(10, mp[0])
    return getattr(mpmath, name)(mp[0])


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("program", help="the kovrant_math_check executable")
    parser.add_argument("--count", type=int, default=2_000_000, help="arguments per function")
    parser.add_argument("--functions", default="tanh,exp,log,log10,exp10,pow,atan2,hypot,sin,cos,sinh,cosh")
    args = parser.parse_args()
    mpmath.mp.prec = 120
    rng = np.random.default_rng(5)
    worst_overall = 0.0
    for name in args.functions.split(","):
        xs = arguments(name, args.count, rng)
        run = subprocess.run([args.program, name], input=xs.astype("<f8").tobytes(), capture_output=True, check=True)
        ys = np.frombuffer(run.stdout, dtype="<f8")
        errors = np.empty(len(ys))
        for i, y in enumerate(ys.tolist()):
            reference = exact(name, xs[i])
            errors[i] = float(abs(mpmath.mpf(y) - reference)) / np.spacing(abs(float(reference)))
        worst = int(np.argmax(errors))
        worst_overall = max(worst_overall, errors[worst])
        print(f"{name:>6} on {len(ys)} arguments: largest error {errors[worst]:.4f} ulp at {xs[worst].tolist()}; "
              f"{int(np.sum(errors > 0.5))} results not correctly rounded")
    return 1 if worst_overall > 1.0 else 0


if __name__ == "__main__":
    sys.exit(main())
