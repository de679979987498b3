"""kovrant's default fit against SciPy + NumPy and against impedance.py.

Run: python -m bench.bench_fit [--rounds 3]
     (for the impedance.py column, with a Python that has it, e.g.
      /tmp/benchenv/bin/python -m bench.bench_fit; see bench/README.md)

The problem: a 60-point randles spectrum "R0-(R1-W1,CPE1)" (10 mHz to 100 kHz,
realistic values, Gaussian noise of 1 % of |Z| on each part), fitted from a
start where every parameter is a factor 2 off (alternately doubled and
halved). Each program fits from that same start, in this process, side by
side:
- kovrant: Circuit(...).with_values(start).fit(f, z), the default
  Levenberg-Marquardt with modulus weighting (no guess, since the values are
  given);
- SciPy: scipy.optimize.least_squares(method="lm", x_scale=1.0) on a vectorised NumPy
  model of the same circuit, modulus-weighted residuals, searching the
  positive parameters in decades as kovrant does (in plain values it runs
  off to negative resistances from this start);
- impedance.py: CustomCircuit("R0-p(R1-W1,CPE1)").fit(f, z,
  weight_by_modulus=True), its own fit; left out when not importable.
Every result's chi-square is computed the same way here: the sum of squared
modulus-weighted residuals (both parts) of the NumPy model at its parameters.
Times are the fastest single fit among many (see timing.best_call_time).
"""
from __future__ import annotations

import argparse
import statistics

import numpy as np
from scipy.optimize import least_squares

import kovrant

from .timing import best_call_time, load_average

CIRCUIT = "R0-(R1-W1,CPE1)"
PEER_CIRCUIT = "R0-p(R1-W1,CPE1)"
TRUTH = np.array([10.0, 50.0, 30.0, 1e-5, 0.85])  # R0, R1, W1.aw, CPE1.q, CPE1.alpha
START = TRUTH * np.array([2.0, 0.5, 2.0, 0.5, 0.5])
POINTS = 60
NOISE = 0.01


def numpy_impedance(p, frequencies):
    r0, r1, aw, q, alpha = p
    omega = 2 * np.pi * frequencies
    z_w = aw * (1 - 1j) / np.sqrt(omega)
    y_cpe = q * (1j * omega) ** alpha
    return r0 + 1 / (1 / (r1 + z_w) + y_cpe)


def numpy_residuals(p, frequencies, measured, weights):
    return ((numpy_impedance(p, frequencies) - measured) / weights).view(np.float64)


# Decades above the lower bound for the four unbounded parameters, the CPE
# exponent as it is: kovrant's own search coordinates.
LOWER = 1e-12
LOG_SCALED = np.array([True, True, True, True, False])


def to_physical(x):
    return np.where(LOG_SCALED, LOWER + 10.0 ** np.where(LOG_SCALED, x, 0.0), x)


def to_search(p):
    return np.where(LOG_SCALED, np.log10(np.where(LOG_SCALED, p - LOWER, 1.0)), p)


def search_residuals(x, frequencies, measured, weights):
    return numpy_residuals(to_physical(x), frequencies, measured, weights)


def chi_square(p, frequencies, measured):
    return float(np.sum(numpy_residuals(p, frequencies, measured, np.abs(measured)) ** 2))


def spectrum(seed=2):
    rng = np.random.default_rng(seed)
    f = np.logspace(-2, 5, POINTS)
    z = numpy_impedance(TRUTH, f)
    noise = NOISE * np.abs(z) * (rng.standard_normal(POINTS) + 1j * rng.standard_normal(POINTS))
    return f, z + noise


def peer():
    """impedance.py's CustomCircuit, or None when it is not installed."""
    try:
        from impedance.models.circuits import CustomCircuit
    except ImportError:
        return None
    return CustomCircuit


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--rounds", type=int, default=3, help="timing rounds, each with all programs")
    args = parser.parse_args()

    f, z = spectrum()
    weights = np.abs(z)
    circuit = kovrant.Circuit(CIRCUIT).with_values(START.tolist())
    # Cross-check: both models agree, so the chi-squares below compare like with like.
    assert np.allclose(circuit.impedance(f), numpy_impedance(START, f), rtol=1e-12, atol=0)

    def fit_kovrant():
        return circuit.fit(f, z)

    x0 = to_search(START)

    def fit_scipy():
        # Decades are already on one scale; SciPy's "jac" scaling diverges here.
        return least_squares(search_residuals, x0, method="lm", x_scale=1.0, args=(f, z, weights))

    custom_circuit = peer()

    def fit_peer():
        model = custom_circuit(PEER_CIRCUIT, initial_guess=START.tolist())
        return model.fit(f, z, weight_by_modulus=True)

    ours = fit_kovrant()
    ours_params = np.array([ours.params[name] for name in circuit.param_names()])
    theirs = fit_scipy()
    results = [("kovrant", ours_params, fit_kovrant), ("scipy+numpy", to_physical(theirs.x), fit_scipy)]
    if custom_circuit is not None:
        peer_model = fit_peer()
        results.append(("impedance.py", np.asarray(peer_model.parameters_), fit_peer))

    print(f"fit of a {POINTS}-point randles spectrum {CIRCUIT!r} from a start a factor 2 off; {load_average()}")
    if custom_circuit is None:
        print("impedance.py is not importable here: its column is left out")
    print(f"kovrant reports chi_square {ours.chi_square:.6e}, success {ours.success}, "
          f"{ours.impedance_evals} model evaluations; scipy: {theirs.nfev} evaluations, status {theirs.status}")
    for name, params, _ in results:
        print(f"  {name:<13} chi-square {chi_square(params, f, z):.9e}   parameters "
              + " ".join(f"{v:.6g}" for v in params))

    ratios = {name: [] for name, _, _ in results[1:]}
    for round_number in range(args.rounds):
        times = {name: best_call_time(fit, min_total=1.0 if name == "impedance.py" else 0.3)
                 for name, _, fit in results}
        row = "  ".join(f"{name} {times[name] * 1e3:8.3f} ms" for name, _, _ in results)
        for name in ratios:
            ratios[name].append(times[name] / times["kovrant"])
        speedups = "  ".join(f"{ratios[name][-1]:7.1f}x vs {name}" for name in ratios)
        print(f"round {round_number + 1}: {row}   kovrant is {speedups}   ({load_average()})")
    print("median speed-up of kovrant: "
          + ", ".join(f"{statistics.median(values):.1f}x over {name}" for name, values in ratios.items()))
    ours_chi = chi_square(ours_params, f, z)
    for name, params, _ in results[1:]:
        other = chi_square(params, f, z)
        verdict = "equal or lower" if ours_chi <= other * (1 + 1e-9) else "HIGHER"
        print(f"kovrant chi-square vs {name}: {verdict} ({ours_chi:.9e} vs {other:.9e})")


if __name__ == "__main__":
    main()
