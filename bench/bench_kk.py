"""Linear Kramers-Kronig test: kovrant_tools.kramers_kronig against impedance.py's linKK.

Run: python -m bench.bench_kk
Times one test of a 100-point spectrum (CPU time, best call; the target is
5 ms or less), and prints both programs' chosen M and rms residual, measured
side by side in this process. impedance.py is optional (pip install impedance).
"""

import contextlib
import io
import time

import numpy as np

import kovrant
from kovrant_tools import kramers_kronig

from .timing import best_cpu_time, load_average

CIRCUIT = ("R0-(R1,CPE1)-(R2-W2,CPE2)", [0.015, 0.01, 0.5, 0.9, 0.02, 0.004, 5.0, 0.8])
NOISE = 0.005  # relative to |Z|, on the real and on the imaginary part


def spectrum():
    frequencies = np.logspace(5, -2, 100)
    exact = kovrant.Circuit(CIRCUIT[0]).with_values(CIRCUIT[1]).impedance(frequencies)
    rng = np.random.default_rng(2026)
    noise = NOISE * np.abs(exact) * (rng.standard_normal(100) + 1j * rng.standard_normal(100))
    return frequencies, exact + noise


def impedance_py_linkk():
    try:
        from impedance import validation
    except ImportError:
        return None
    # impedance.py 1.7 evaluates repr() of NumPy scalars, which NumPy 2 writes as np.float64(...).
    validation.circuit_elements.setdefault("np", np)
    return validation.linKK


def main():
    frequencies, impedances = spectrum()
    print(f"{CIRCUIT[0]}, 100 points 100 kHz to 10 mHz, {NOISE:.1%} noise; {load_average()}")
    print(f"{'program':<34} {'CPU ms':>8} {'M':>4} {'rms residual':>13}")
    # The same model as linKK's (series capacitance, no inductance), not the test's own choice of terms.
    ours = kramers_kronig((frequencies, impedances), capacitance=True, inductance=False)
    ours_ms = 1e3 * best_cpu_time(
        lambda: kramers_kronig((frequencies, impedances), capacitance=True, inductance=False), 1.0, 20)
    print(f"{'kovrant_tools.kramers_kronig':<34} {ours_ms:8.2f} {ours.n_elements:4d} {ours.rms:13.4%}")
    linkk = impedance_py_linkk()
    if linkk is None:
        print("impedance.py not installed: pip install impedance")
        return
    for fit_type in ("complex", "real"):
        def run():
            with contextlib.redirect_stdout(io.StringIO()):  # linKK prints its progress
                return linkk(frequencies, impedances, c=0.85, max_M=100, fit_type=fit_type, add_cap=True)
        m, _, _, res_real, res_imag = run()
        theirs_ms = 1e3 * best_cpu_time(run, min_total=2.0, min_calls=3)
        rms = np.sqrt((np.sum(res_real**2) + np.sum(res_imag**2)) / (2 * frequencies.size))
        print(f"{'impedance.py linKK ' + fit_type:<34} {theirs_ms:8.2f} {m:4d} {rms:13.4%}"
              f"   (kovrant_tools {theirs_ms / ours_ms:.0f}x faster)")


if __name__ == "__main__":
    main()
