"""Spectrum and fit arguments: any frequencies, impedances, methods, weights
and budgets either fit, with a result that counts the circuit's names and
reports no success without a finite cost, or are refused with one of the
documented exception types."""
import fuzz_support  # noqa: F401  (puts the test helpers on the path)

import math

import atheris
import numpy as np

from kovrant import Circuit

CIRCUITS = [Circuit("R0").with_values([2.0]), Circuit("R0-(R1,C1)").with_values([1.0, 10.0, 1e-3]),
            Circuit("R0-(R1,CPE1)-W2"), Circuit("L0-R0-(R1-Wo1,CPE1)")]
METHODS = ["levenberg_marquardt", "nelder_mead", "simulated_annealing", "basin_hopping",
           "particle_swarm", "differential_evolution", "newton"]
WEIGHTS = ["modulus", "unit", "Unit"]
SPECIAL = [0.0, -0.0, -1.0, math.nan, math.inf, -math.inf, 5e-324, 1e-300, 1e300, 1.7976931348623157e308]
# Small budgets: a fuzz input must finish in milliseconds.
BUDGETS = dict(max_iterations=20, num_particles=4, generations=3, de_evaluations=40,
               sa_iterations=30, basin_hopping_hops=1, nelder_mead_iterations=40)
REFUSALS = (ValueError, TypeError, OverflowError)


def number(provider):
    choice = provider.ConsumeIntInRange(0, 3)
    if choice == 0:
        return SPECIAL[provider.ConsumeIntInRange(0, len(SPECIAL) - 1)]
    if choice == 1:
        return provider.ConsumeRegularFloat()
    return 10.0 ** provider.ConsumeFloatInRange(-3.0, 5.0)


def sequence(provider, values):
    """The same values as a list, a float64 or float32 array, or a tuple."""
    form = provider.ConsumeIntInRange(0, 3)
    if form == 0:
        return list(values)
    if form == 1:
        return np.asarray(values, dtype=np.result_type(*values) if values else float)
    if form == 2:
        return np.asarray(values).astype(np.complex64 if any(isinstance(v, complex) for v in values)
                                         else np.float32)
    return tuple(values)


def spectrum(provider):
    count = provider.ConsumeIntInRange(0, 12)
    # Now and then one frequency more or less than impedances.
    mismatch = provider.ConsumeIntInRange(-1, 1) if provider.ConsumeIntInRange(0, 9) == 0 else 0
    frequencies = [number(provider) for _ in range(count + mismatch)]
    impedances = [complex(number(provider), -abs(number(provider))) for _ in range(count)]
    return sequence(provider, frequencies), sequence(provider, impedances)


def test_one_input(data):
    provider = atheris.FuzzedDataProvider(data)
    circuit = CIRCUITS[provider.ConsumeIntInRange(0, len(CIRCUITS) - 1)]
    frequencies, impedances = spectrum(provider)
    options = dict(method=METHODS[provider.ConsumeIntInRange(0, len(METHODS) - 1)],
                   weight=WEIGHTS[provider.ConsumeIntInRange(0, len(WEIGHTS) - 1)],
                   guess_init=provider.ConsumeBool(), seed=provider.ConsumeIntInRange(0, 2**64 - 1),
                   **BUDGETS)
    try:
        model = circuit.impedance(frequencies)
        assert len(model) == len(frequencies)
    except REFUSALS:
        pass
    try:
        result = circuit.fit(frequencies, impedances, **options)
    except REFUSALS:
        return
    assert isinstance(result.success, bool)
    # A fit without a finite cost is no fit; the spectrum's points are finite by now.
    assert math.isfinite(result.chi_square) or not result.success
    assert all(math.isfinite(f) and f > 0 for f in np.asarray(frequencies, dtype=float))
    assert len(result.circuit.param_values()) == len(circuit.param_names())
    assert set(result.params) == set(circuit.param_names())


if __name__ == "__main__":
    import warnings

    warnings.simplefilter("ignore", UserWarning)  # the no-model warning of guess_init
    fuzz_support.fuzz(test_one_input)
