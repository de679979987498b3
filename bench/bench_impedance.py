"""Impedance, residuals and Jacobian of kovrant against a vectorised NumPy model.

Run: python -m bench.bench_impedance
Prints the time per call of each and the speed-up of kovrant over NumPy, both
measured in this process, side by side.
"""

import timeit

import numpy as np

import kovrant

CIRCUIT = "L0-R0-(R1,CPE1)-(R2-Wo2,CPE2)"
VALUES = [2e-7, 0.012, 0.02, 1.5, 0.85, 0.01, 0.006, 40.0, 3.0, 0.8]
STEP_FACTOR = np.cbrt(2.0**-52)


def numpy_impedance(p, frequencies):
    l0, r0, r1, q1, a1, r2, z0, tau, q2, a2 = p
    jw = 1j * (2 * np.pi * frequencies)
    z_cpe1 = 1 / (q1 * jw**a1)
    x = np.sqrt(jw * tau)
    z_wo = z0 / (x * np.tanh(x))
    z_cpe2 = 1 / (q2 * jw**a2)
    return jw * l0 + r0 + 1 / (1 / r1 + 1 / z_cpe1) + 1 / (1 / (r2 + z_wo) + 1 / z_cpe2)


def numpy_residuals(p, frequencies, measured, weights):
    difference = (numpy_impedance(p, frequencies) - measured) / weights
    return difference.view(np.float64)


def numpy_jacobian(p, frequencies, measured, weights):
    p = np.asarray(p, dtype=float)
    columns = []
    for j in range(p.size):
        h = STEP_FACTOR * max(abs(p[j]), 1e-8)
        plus, minus = p.copy(), p.copy()
        plus[j] += h
        minus[j] -= h
        columns.append((numpy_residuals(plus, frequencies, measured, weights)
                        - numpy_residuals(minus, frequencies, measured, weights)) / (2 * h))
    return np.stack(columns, axis=1)


def best_time(function, min_total=0.3):
    runs, elapsed = 1, 0.0
    while True:
        elapsed = min(timeit.repeat(function, number=runs, repeat=5))
        if elapsed * 5 >= min_total or runs > 1e6:
            return elapsed / runs
        runs *= 4


def report(name, ours, theirs):
    print(f"{name:<38} kovrant {ours * 1e6:10.2f} us   numpy {theirs * 1e6:10.2f} us   speed-up {theirs / ours:6.2f}x")


def main():
    circuit = kovrant.Circuit(CIRCUIT).with_values(VALUES)
    for n in (60, 1_000_000):
        frequencies = np.logspace(-2, 5, n)
        ours = circuit.impedance(frequencies)
        theirs = numpy_impedance(VALUES, frequencies)
        assert np.allclose(ours, theirs, rtol=1e-9, atol=0), "models disagree"
        frequency_list = frequencies.tolist() if n <= 1000 else frequencies
        report(f"impedance, {n} points", best_time(lambda: circuit.impedance(frequency_list)),
               best_time(lambda: numpy_impedance(VALUES, frequencies)))

    frequencies = np.logspace(-2, 5, 60)
    rng = np.random.default_rng(1)
    measured = numpy_impedance(VALUES, frequencies) * (1 + 0.01 * rng.standard_normal(60))
    weights = np.abs(measured)
    f_list, z_list = frequencies.tolist(), measured.tolist()
    report("residuals, 60 points", best_time(lambda: circuit.residuals(VALUES, f_list, z_list)),
           best_time(lambda: numpy_residuals(VALUES, frequencies, measured, weights)))
    report("jacobian, 60 points", best_time(lambda: circuit.jacobian(VALUES, f_list, z_list)),
           best_time(lambda: numpy_jacobian(VALUES, frequencies, measured, weights)))


if __name__ == "__main__":
    main()
