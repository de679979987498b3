"""A fit with held parameters or narrowed bounds against Circuit.fit on the same problem.

Run: python -m bench.bench_constrained

The problem: bench_fit.py's 60-point randles spectrum, from a start where the
resistances and coefficients are a factor 2 off. Side by side, in CPU time
(the cheapest of several rounds of many calls):
- Circuit.fit from that start;
- the same fit through kovrant_tools' engine with no constraint, with R0 held
  at its true value (against Circuit.fit from that same start), and with
  CPE1.alpha narrowed to [0.6, 0.95];
- kovrant_tools.fit, which adds its FitReport (statistics, model curve).
"""
from __future__ import annotations

import numpy as np

import kovrant
import kovrant_tools
from kovrant_tools import _engine

from .timing import best_cpu_time, load_average

TRUTH = [0.015, 0.03, 0.002, 1.0, 0.85]


def per_call(function, calls=200):
    return best_cpu_time(lambda: [function() for _ in range(calls)], 1.0, 3) / calls * 1e3


def main():
    f = np.logspace(5, -2, 60)
    circuit = kovrant.Circuit("randles")
    z = circuit.with_values(TRUTH).impedance(f) * (1 + 0.01 * np.random.default_rng(1).standard_normal(60))
    start = circuit.with_values([0.0075, 0.06, 0.001, 2.0, 0.8])
    held = start.with_values([TRUTH[0], *start.param_values()[1:]])
    lower, upper = (list(side) for side in zip(*circuit.param_bounds()))
    narrow_lower, narrow_upper = lower[:4] + [0.6], upper[:4] + [0.95]
    free = [False] * 5
    print(f"randles, 60 points, start a factor 2 off; CPU time per fit; {load_average()}")
    rows = [
        ("no constraint", per_call(lambda: _engine.fit_constrained(start, f, z, free, lower, upper)),
         per_call(lambda: start.fit(f, z))),
        ("R0.r held at its true value", per_call(lambda: _engine.fit_constrained(held, f, z, [True] + free[1:],
                                                                               lower, upper)),
         per_call(lambda: held.fit(f, z))),
        ("CPE1.alpha in [0.6, 0.95]", per_call(lambda: _engine.fit_constrained(start, f, z, free, narrow_lower,
                                                                             narrow_upper)),
         per_call(lambda: start.fit(f, z))),
        ("kovrant_tools.fit + FitReport, R0.r held", per_call(
            lambda: kovrant_tools.fit(held, (f, z), fixed={"R0.r": TRUTH[0]}), 50),
         per_call(lambda: held.fit(f, z))),
    ]
    print(f"{'case':<42}{'constrained ms':>16}{'Circuit.fit ms':>16}{'ratio':>8}")
    for name, constrained, plain in rows:
        print(f"{name:<42}{constrained:>16.3f}{plain:>16.3f}{constrained / plain:>8.2f}")


if __name__ == "__main__":
    main()
