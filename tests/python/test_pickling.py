import copy
import math
import pickle
import warnings

import numpy as np
import pytest

import kovrant
from conftest import KINDS

FREQUENCIES = np.logspace(-2, 5, 25)

CIRCUITS = {
    "parsed": lambda: kovrant.Circuit("R0-(R1,CPE1)"),
    "model name": lambda: kovrant.Circuit("randles"),
    "no model": lambda: kovrant.Circuit("R0-L1-(R2,C3)"),
    "values given": lambda: kovrant.Circuit("R0-L1-(R2,C3)").with_values([3.0, 1e-6, 40.0, 2e-5]),
    # Unlabelled elements and a repeated (automatic) name: notation cannot write these.
    "composed, values not given": lambda: kovrant.Series([kovrant.Circuit("R0-L1"), kovrant.R(5.0)]),
    "composed, values given": lambda: kovrant.Series([kovrant.Circuit("R0-L1").with_values([2.0, 1e-6]),
                                                      kovrant.R(5.0)]),
    "nested": lambda: kovrant.Parallel([
        kovrant.R(1.0),
        kovrant.Series([kovrant.Circuit("CPE3"),
                        kovrant.Parallel([kovrant.C(1e-3), kovrant.Circuit("Zarc2-R9").with_values([2, 1e-3, 0.7, 4])])]),
    ]),
    "empty series": lambda: kovrant.Series([]),
    "empty parallel": lambda: kovrant.Parallel([]),
    "special values": lambda: kovrant.Series([kovrant.R(math.nan), kovrant.Circuit("K1").with_values([-0.0, math.inf])]),
}

CLONES = {
    "pickle protocol 0": lambda c: pickle.loads(pickle.dumps(c, protocol=0)),
    "pickle highest protocol": lambda c: pickle.loads(pickle.dumps(c, protocol=pickle.HIGHEST_PROTOCOL)),
    "copy": copy.copy,
    "deepcopy": copy.deepcopy,
}


def fit_behaviour(circuit):
    """What fit() does from the circuit's own state: guess, warn or use its values."""
    impedances = kovrant.Circuit("R0-(R1,C1)").with_values([5.0, 20.0, 1e-4]).impedance(FREQUENCIES)
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        try:
            outcome = repr(circuit.fit(FREQUENCIES, impedances))
        except ValueError as error:
            outcome = str(error)
    return outcome, [str(warning.message) for warning in caught]


@pytest.mark.parametrize("clone", CLONES.values(), ids=CLONES.keys())
@pytest.mark.parametrize("make", CIRCUITS.values(), ids=CIRCUITS.keys())
def test_clones_are_equal_circuits(make, clone):
    original = make()
    copied = clone(original)
    assert type(copied) is kovrant.Circuit and copied is not original
    assert copied.param_names() == original.param_names()
    assert np.array(copied.param_values()).tobytes() == np.array(original.param_values()).tobytes()
    assert repr(copied) == repr(original)
    assert copied.impedance(FREQUENCIES).tobytes() == original.impedance(FREQUENCIES).tobytes()
    # The explicit-values flag decides how fit() starts.
    assert fit_behaviour(copied) == fit_behaviour(original)


def test_clones_compose_like_the_original():
    # Automatic labels are given by position, so they must stay automatic.
    original = kovrant.Series([kovrant.R(1.0), kovrant.Circuit("R3")])
    copied = pickle.loads(pickle.dumps(original))
    assert kovrant.Series([kovrant.R(2.0), copied]).param_names() == ["R0.r", "R1.r", "R3.r"]


@pytest.mark.parametrize("name, fields", [(name, fields) for name, fields, _, _ in KINDS])
def test_elements_pickle(name, fields):
    element = getattr(kovrant, name)(*[0.1 * (i + 1) for i in range(len(fields))])
    copied = pickle.loads(pickle.dumps(element))
    assert type(copied) is type(element)
    assert repr(copied) == repr(element)


def deepest(shape):
    """A circuit nested as deep as circuits may nest, of unlabelled parts that notation cannot write."""
    circuit = kovrant.R(1.0)
    for level in range(256):
        inner = kovrant.Parallel([kovrant.R(2.0 + level), circuit])
        circuit = inner if shape == "parallel" else kovrant.Series([kovrant.C(1e-3), inner])
    return circuit


@pytest.mark.parametrize("clone", CLONES.values(), ids=CLONES.keys())
@pytest.mark.parametrize("shape", ["parallel", "series of parallel"])
def test_clones_of_the_deepest_circuits(shape, clone):
    original = deepest(shape)
    copied = clone(original)
    assert type(copied) is kovrant.Circuit and repr(copied) == repr(original)
    assert copied.param_values() == original.param_values()
