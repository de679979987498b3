"""Series and Parallel composition of element objects against a NumPy
evaluation of the same tree, with a tolerance carried through the tree by
first-order error propagation (so that cancelling branches widen it)."""
import fuzz_support  # noqa: F401  (puts the test helpers on the path)

import atheris
import numpy as np

from conftest import KINDS
from kovrant import Element, Parallel, Series

EPS = np.finfo(float).eps
# Rounding of one element's formula (powers, square roots, tanh): generous.
ELEMENT_ROUNDING = 256 * EPS
BOUNDED_FIELDS = {"alpha", "gamma"}


def saturating(function, x):
    """tanh, coth or 1/sinh, exactly +-1 or 0 beyond |Re x| > 20."""
    big = np.abs(x.real) > 20
    sign = np.where(np.signbit(x.real), -1.0, 1.0)
    safe = np.where(big, 1.0, x)
    value = {"tanh": np.tanh(safe), "coth": 1 / np.tanh(safe), "csch": 1 / np.sinh(safe)}[function]
    return np.where(big, 0.0 if function == "csch" else sign, value)


def element_impedance(kind, v, omega):
    jw = 1j * omega
    if kind == "R":
        return np.full_like(jw, v[0])
    if kind == "C":
        return 1 / (jw * v[0])
    if kind == "L":
        return jw * v[0]
    if kind == "La":
        return (jw * v[0]) ** v[1]
    if kind == "Cpe":
        return 1 / (v[0] * jw ** v[1])
    if kind == "W":
        return v[0] * (1 - 1j) / np.sqrt(omega)
    if kind in ("Wo", "Ws"):
        x = np.sqrt(jw * v[1])
        return v[0] / (x * saturating("tanh", x)) if kind == "Wo" else v[0] * saturating("tanh", x) / x
    if kind == "G":
        return v[0] / np.sqrt(1 + jw * v[1])
    if kind == "Gs":
        x = np.sqrt(1 + jw * v[1])
        return v[0] / (x * saturating("tanh", v[2] * x))
    if kind == "K":
        return v[0] / (1 + jw * v[1])
    if kind == "Zarc":
        return v[0] / (1 + (jw * v[1]) ** v[2])
    if kind == "Tlmq":
        zq = 1 / (v[1] * jw ** v[2])
        return np.sqrt(v[0] * zq) / saturating("tanh", np.sqrt(v[0] / zq))
    x = np.sqrt(v[2] + jw * v[3])  # T
    return v[0] * saturating("coth", x) / x + v[1] * saturating("csch", x) / x


def build(provider, depth):
    """(kovrant object, NumPy evaluator returning impedance and error bound)."""
    if depth == 0 or provider.ConsumeIntInRange(0, 2) == 0:
        kind, fields, _, _ = KINDS[provider.ConsumeIntInRange(0, len(KINDS) - 1)]
        values = [provider.ConsumeProbability() if field in BOUNDED_FIELDS
                  else 10.0 ** provider.ConsumeFloatInRange(-3.0, 3.0) for field in fields]

        def leaf(omega):
            z = element_impedance(kind, values, omega)
            return z, ELEMENT_ROUNDING * np.abs(z)

        return getattr(Element, kind)(*values), leaf
    parts = [build(provider, depth - 1) for _ in range(provider.ConsumeIntInRange(1, 3))]
    parallel = provider.ConsumeBool()
    composed = (Parallel if parallel else Series)([part for part, _ in parts])

    def node(omega):
        evaluated = [evaluate(omega) for _, evaluate in parts]
        if not parallel:
            total = sum(z for z, _ in evaluated)
            return total, sum(e for _, e in evaluated) + EPS * sum(np.abs(z) for z, _ in evaluated)
        admittances = [(1 / z, e / np.abs(z) ** 2 + EPS / np.abs(z)) for z, e in evaluated]
        y = sum(a for a, _ in admittances)
        y_error = sum(e for _, e in admittances) + EPS * sum(np.abs(a) for a, _ in admittances)
        return 1 / y, y_error / np.abs(y) ** 2 + EPS / np.abs(y)

    return composed, node


def test_one_input(data):
    provider = atheris.FuzzedDataProvider(data)
    part, evaluate = build(provider, provider.ConsumeIntInRange(0, 4))
    circuit = Series([part])
    frequencies = 10.0 ** np.asarray([provider.ConsumeFloatInRange(-2.0, 5.0) for _ in range(4)])
    with np.errstate(all="ignore"):
        expected, bound = evaluate(2 * np.pi * frequencies)
    got = circuit.impedance(frequencies)
    checked = np.isfinite(expected) & np.isfinite(bound)
    error = np.abs(got - expected)
    assert np.all(error[checked] <= 16 * bound[checked]), (repr(circuit), frequencies, got, expected, bound)
    assert len(circuit.param_values()) == len(circuit.param_names())


if __name__ == "__main__":
    fuzz_support.fuzz(test_one_input)
