"""Circuit.guess: agreement with an independent NumPy forward pass, topology
matching, every message, hostile weight files and concurrent callers."""

import errno
import json
import math
import os
import struct
import subprocess
import sys
import textwrap

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from conftest import require_model
from guesser_files import (MODEL_KEYS, MODELS, NO_MODEL, REPO, WeightFiles, eisnn_format,
                           guesser_bytes, guesser_contents, quoted, reference_guess, unparsable)
from kovrant import Circuit

import synthetic_spectra  # noqa: E402  (tools/, put on the path by guesser_files)

MODEL_CIRCUITS = {m.key: m.circuit for m in MODELS}
PARAM_NAMES = {m.circuit: list(m.param_names) for m in MODELS}
# Parameter names of network circuits that no built-in model uses.
PARAM_NAMES["L0-R0-(R1-W1,CPE1)"] = ["L0.l", "R0.r", "R1.r", "W1.aw", "CPE1.q", "CPE1.alpha"]


@pytest.fixture(scope="module")
def files(tmp_path_factory):
    return WeightFiles(tmp_path_factory.mktemp("weights"))


def network(circuit, seed=0, **options):
    return guesser_bytes(circuit, PARAM_NAMES[circuit], np.random.default_rng(seed), **options)


def rq_spectrum(n=41, seed=0):
    rng = np.random.default_rng(seed)
    f = rng.permutation(np.logspace(-1, 5, n))
    z = Circuit("R0-(R1,CPE1)").with_values([2.0, 30.0, 1e-4, 0.8]).impedance(f)
    return f, z


def assert_close(actual, expected):
    np.testing.assert_allclose(np.asarray(actual, dtype=float), np.asarray(expected, dtype=float),
                               rtol=1e-9, atol=0.0, equal_nan=True)


# --- agreement with the NumPy forward pass ---------------------------------------


@pytest.mark.parametrize("key", MODEL_KEYS)
def test_built_in_network_agrees_with_numpy_forward_pass(key):
    require_model(key)
    path = REPO / "data" / "models" / f"{key}.eisnn"
    if not path.exists():
        pytest.skip(f"{path} is not in this checkout")
    data = path.read_bytes()
    rng = np.random.default_rng(MODEL_KEYS.index(key))
    circuit = Circuit(MODEL_CIRCUITS[key])
    for _ in range(3):
        s = synthetic_spectra.sample_spectrum(rng, key, MODEL_CIRCUITS[key])
        assert_close(circuit.guess(s.frequencies, s.impedances),
                     reference_guess(data, s.frequencies, s.impedances))


# Architectures unlike the built-in ones: channels not a multiple of the groups,
# odd dilations and kernels, a one- or two-point grid, a narrow head.
ARCHITECTURES = {
    "small": dict(),
    "leftover channels": dict(channels=6, groups=4, hidden=5),
    "wide dilations": dict(channels=5, groups=2, dilations=(1, 3, 8), n_grid=64, kernel=5),
    "one grid point": dict(n_grid=1, kernel=1),
    "two grid points": dict(n_grid=2, dilations=(4,), kernel=4),
    "more groups than channels": dict(channels=3, groups=5),
}


@pytest.mark.parametrize("encoding", [0, 1, 2])
@pytest.mark.parametrize("architecture", list(ARCHITECTURES))
@pytest.mark.parametrize("circuit", ["R0-(R1,CPE1)", "L0-R0-(R1-W1,CPE1)"])
def test_random_network_agrees_with_numpy_forward_pass(files, circuit, architecture, encoding):
    data = network(circuit, seed=encoding, encoding=encoding, **ARCHITECTURES[architecture])
    path = files.write(data)
    f, z = rq_spectrum()
    assert_close(Circuit(circuit).guess(f, z, weights=path), reference_guess(data, f, z))


def _odd_spectra():
    f = np.logspace(-2, 5, 53)
    two_arcs = Circuit("R0-(R1,CPE1)-(R2-W2,CPE2)").with_values(
        [0.5, 3.0, 1e-4, 0.9, 10.0, 2.0, 0.02, 0.7]).impedance(f)
    order = np.random.default_rng(4).permutation(len(f))
    wrapped = np.exp(1j * np.linspace(2.0, 4.5, 30))
    with_zeros = two_arcs.copy()
    with_zeros[[5, 17]] = 0.0
    return {
        "shuffled": (f[order], two_arcs[order]),
        "descending": (f[::-1], two_arcs[::-1]),
        # No capacitive point: the scales fall back to the mean log frequency
        # and the upper median modulus.
        "resistive": (f, np.linspace(8.0, 2.0, len(f)) + 0j),
        "inductive": (f, 1.0 + 2j * np.pi * f * 1e-6),
        "two points": (np.array([1e3, 10.0]), np.array([1 - 0.5j, 3 - 2j])),
        "repeated frequencies": (np.array([1.0, 10.0, 10.0, 100.0, 100.0, 100.0, 1e3]),
                                 np.array([5 - 1j, 4 - 2j, 3.9 - 2.1j, 3 - 1j, 2.8 - 1.2j,
                                           2.9 - 1.1j, 2 - 0.1j])),
        "phase crossing pi": (np.logspace(0, 3, 30), wrapped),
        "zero moduli": (f, with_zeros),
    }


ODD_SPECTRA = _odd_spectra()


@pytest.mark.parametrize("name", list(ODD_SPECTRA))
def test_odd_spectra_agree_with_numpy_forward_pass(files, name):
    data = network("R0-(R1,CPE1)", seed=7, encoding=1)
    path = files.write(data)
    f, z = ODD_SPECTRA[name]
    assert_close(Circuit("R0-(R1,CPE1)").guess(f, z, weights=path), reference_guess(data, f, z))


def test_unsorted_input_gives_the_guess_of_the_sorted_spectrum(files):
    path = files.write(network("R0-(R1,CPE1)", seed=3))
    f, z = rq_spectrum(seed=5)
    order = np.argsort(f)
    circuit = Circuit("R0-(R1,CPE1)")
    # The scale centroid sums in input order, so only the last bits may differ.
    np.testing.assert_allclose(circuit.guess(f, z, weights=path),
                               circuit.guess(f[order], z[order], weights=path), rtol=1e-12)


@pytest.mark.parametrize("ref, same_as", [(2.5, 3.0), (-0.5, -1.0), (1.4999, 1.0)])
def test_scaling_reference_rounds_half_away_from_zero(files, ref, same_as):
    names = PARAM_NAMES["R0-(R1,CPE1)"]
    # Row of R0 made to depend on another output; only the rounded index matters.
    def path_with(reference):
        meta, tensors = guesser_contents("R0-(R1,CPE1)", names, np.random.default_rng(9))
        rows = np.array(next(v for n, v, _ in tensors if n == "scaling"))
        rows[0] = (1.0, 0.5, 0.25, reference)
        tensors = [(n, rows if n == "scaling" else v, e) for n, v, e in tensors]
        return files.write(eisnn_format.encode(meta, tensors))

    f, z = rq_spectrum()
    circuit = Circuit("R0-(R1,CPE1)")
    assert circuit.guess(f, z, weights=path_with(ref)) == \
        circuit.guess(f, z, weights=path_with(same_as))


# --- topology matching -------------------------------------------------------------

# (network circuit, user circuit, user parameter u <- network output perm[u])
PERMUTED = [
    ("R0-(R1,C1)", "R0-(R1,C1)", [0, 1, 2]),
    ("R0-(R1,C1)", "(C1,R1)-R0", [2, 1, 0]),
    ("R0-(R1,C1)", "(R5,C9)-R2", [1, 2, 0]),
    ("R0-(R1,C1)", "(R1,C2)-R3", [1, 2, 0]),
    ("L0-R0-(R1,C1)", "R0-(R1,C1)-L0", [1, 2, 3, 0]),
    ("R0-(R1-W1,CPE1)", "R0-(W1-R1,CPE1)", [0, 2, 1, 3, 4]),
    ("R0-(R1-W1,CPE1)", "(CPE7,W3-R2)-R9", [3, 4, 2, 1, 0]),
    # Identical parallels pair up in written order.
    ("R0-(R1,CPE1)-(R2,CPE2)", "(R2,CPE2)-R0-(R1,CPE1)", [1, 2, 3, 0, 4, 5, 6]),
    ("R0-(R1,CPE1)-(R2,CPE2)", "R0-(CPE1,R1)-(R2,CPE2)", [0, 2, 3, 1, 4, 5, 6]),
    ("R0-(R1,CPE1)-(R2-Wo2,CPE2)", "(CPE2,Wo2-R2)-(R1,CPE1)-R0", [7, 8, 5, 6, 4, 1, 2, 3, 0]),
]


@pytest.mark.parametrize("model, user, perm", PERMUTED, ids=[u for _, u, _ in PERMUTED])
def test_user_parameters_are_taken_from_the_matching_outputs(files, model, user, perm):
    data = network(model, seed=len(perm), encoding=2)
    path = files.write(data)
    f, z = rq_spectrum()
    outputs = reference_guess(data, f, z)
    assert_close(Circuit(user).guess(f, z, weights=path), outputs[perm])


def _zarc(r, q, alpha):
    return [r, (r * q) ** (1.0 / max(alpha, 1e-6)), alpha]


# (network circuit, user circuit, the user's values from the network outputs n)
EXPANDED = [
    ("R0-(R1,C1)", "R0-K1", lambda n: [n[0], n[1], n[1] * n[2]]),
    ("R0-(R1,C1)", "K3-R7", lambda n: [n[1], n[1] * n[2], n[0]]),
    ("R0-(R1,CPE1)", "R0-Zarc1", lambda n: [n[0], *_zarc(n[1], n[2], n[3])]),
    ("R0-(R1,CPE1)", "Zarc4-R2", lambda n: [*_zarc(n[1], n[2], n[3]), n[0]]),
    ("R0-(R1,C1)-(R2,C2)", "R0-K1-(R2,C2)",
     lambda n: [n[0], n[1], n[1] * n[2], n[3], n[4]]),
    ("R0-(R1,C1)-(R2,C2)", "(R2,C2)-K1-R0",
     lambda n: [n[1], n[2], n[3], n[3] * n[4], n[0]]),
    ("R0-(R1,CPE1)-(R2,CPE2)", "R0-Zarc1-Zarc2",
     lambda n: [n[0], *_zarc(n[1], n[2], n[3]), *_zarc(n[4], n[5], n[6])]),
    ("L0-R0-(R1,CPE1)", "Zarc1-L0-R0", lambda n: [*_zarc(n[2], n[3], n[4]), n[0], n[1]]),
]


@pytest.mark.parametrize("model, user, convert", EXPANDED, ids=[u for _, u, _ in EXPANDED])
def test_k_and_zarc_get_their_values_back_from_the_pairs(files, model, user, convert):
    data = network(model, seed=1)
    path = files.write(data)
    f, z = rq_spectrum()
    outputs = reference_guess(data, f, z)
    guessed = Circuit(user).guess(f, z, weights=path)
    assert len(guessed) == len(Circuit(user).param_names())
    assert_close(guessed, convert(outputs))


def test_zarc_gamma_is_the_clamped_exponent(files):
    # Exponent outputs far above alpha_max come back as alpha_max.
    meta, tensors = guesser_contents("R0-(R1,CPE1)", PARAM_NAMES["R0-(R1,CPE1)"],
                                     np.random.default_rng(2), alpha_max=0.75)
    tensors = [(n, np.array([0.0, 0.0, 0.0, 50.0]) if n == "target_mean" else v, e)
               for n, v, e in tensors]
    path = files.write(eisnn_format.encode(meta, tensors))
    f, z = rq_spectrum()
    assert Circuit("R0-Zarc1").guess(f, z, weights=path)[3] == 0.75
    assert Circuit("R0-(R1,CPE1)").guess(f, z, weights=path)[3] == 0.75


@pytest.mark.parametrize("model, user", [
    ("R0-(R1,C1)", "R0-(R1,CPE1)"),
    ("R0-(R1,C1)", "R0"),
    ("R0-(R1,C1)", "R0-K1-K2"),
    ("R0-(R1,C1)", "R0-(R1,C1)-L0"),
    ("R0-(R1,CPE1)", "R0-K1"),
    ("R0-(R1-W1,CPE1)", "R0-(R1,W1,CPE1)"),
    ("R0-(R1-W1,CPE1)", "R0-(R1-W1-C2,CPE1)"),
])
def test_weights_for_another_circuit_are_refused(files, model, user):
    path = files.write(network(model))
    f, z = rq_spectrum()
    with pytest.raises(ValueError) as failure:
        Circuit(user).guess(f, z, weights=path)
    assert str(failure.value) == unparsable(
        f"{path} was trained for {quoted(model)}, which is a different circuit")


# (user circuit, built-in model, user parameter u <- model output perm[u]);
# the model's own guess is the reference.
BUILT_IN_MATCHES = [
    ("(C1,R1)-R0", "rc", [2, 1, 0]),
    ("(R5,C9)-R2", "rc", [1, 2, 0]),
    ("R0-(R1,C1)-L0", "rc_l", [1, 2, 3, 0]),
    ("(CPE1,R1)-R0", "rq", [2, 3, 1, 0]),
    ("(R2,CPE2)-R0-(R1,CPE1)", "two_rq", [1, 2, 3, 0, 4, 5, 6]),
    ("R0-(W1-R1,CPE1)", "randles", [0, 2, 1, 3, 4]),
    ("(R2-W2,CPE2)-R0-(R1,CPE1)", "sei_randles", [4, 5, 6, 7, 0, 1, 2, 3]),
]


@pytest.mark.parametrize("user, key, perm", BUILT_IN_MATCHES, ids=[u for u, _, _ in BUILT_IN_MATCHES])
def test_built_in_model_is_found_by_topology(user, key, perm):
    require_model(key)
    f, z = rq_spectrum()
    outputs = np.array(Circuit(MODEL_CIRCUITS[key]).guess(f, z))
    assert Circuit(user).guess(f, z) == list(outputs[perm])
    assert Circuit(key).guess(f, z) == list(outputs)


@pytest.mark.parametrize("user, key, convert", [
    ("R0-Zarc1", "rq", lambda n: [n[0], *_zarc(n[1], n[2], n[3])]),
    ("R0-K1", "rc", lambda n: [n[0], n[1], n[1] * n[2]]),
    ("R0-K1-K2", "two_rc", lambda n: [n[0], n[1], n[1] * n[2], n[3], n[3] * n[4]]),
])
def test_built_in_model_is_found_through_the_expansion(user, key, convert):
    require_model(key)
    f, z = rq_spectrum()
    outputs = Circuit(MODEL_CIRCUITS[key]).guess(f, z)
    assert_close(Circuit(user).guess(f, z), convert(outputs))


@pytest.mark.parametrize("user", ["R0", "C0", "R0-(R1,C1)-W2", "R0-(K1,C2)", "La0-R0-(R1,C1)",
                                  "Zarc1-Zarc2-Zarc3-R0", "R0-(R1,CPE1)-(R2,CPE2)-(R3,CPE3)"])
@pytest.mark.parametrize("points", [0, 1, 5])
def test_circuit_without_model_is_reported_before_the_point_count(user, points):
    f = np.logspace(0, 3, points)
    with pytest.raises(ValueError) as failure:
        Circuit(user).guess(f, [1 - 1j] * points)
    assert str(failure.value) == NO_MODEL


def test_ml_circuits_lists_the_eleven_keys_from_the_class():
    assert Circuit.ml_circuits() == MODEL_KEYS
    assert Circuit("R0").ml_circuits() == MODEL_KEYS


# --- messages of weight files --------------------------------------------------------


def _record(name: bytes, encoding, dims, payload):
    return (struct.pack("<I", len(name)) + name + bytes([encoding, len(dims)])
            + b"".join(struct.pack("<I", d) for d in dims) + payload)


def _header(meta_count=0, tensor_count=1):
    return b"EISNN001" + struct.pack("<I", meta_count) + struct.pack("<I", tensor_count)


def _meta_replaced(key, value, seed=0):
    meta, tensors = guesser_contents("R0-(R1,CPE1)", PARAM_NAMES["R0-(R1,CPE1)"],
                                     np.random.default_rng(seed))
    return eisnn_format.encode([(k, value if k == key else v) for k, v in meta], tensors)


def _tensors_changed(drop=(), replace=None, meta_drop=()):
    meta, tensors = guesser_contents("R0-(R1,CPE1)", PARAM_NAMES["R0-(R1,CPE1)"],
                                     np.random.default_rng(1))
    replace = replace or {}
    tensors = [(n, replace.get(n, v), e) for n, v, e in tensors if n not in drop]
    return eisnn_format.encode([(k, v) for k, v in meta if k not in meta_drop], tensors)


MALFORMED = {
    "seven bytes": (b"EISNN00", "weight file is truncated"),
    "bad magic": (b"EISNN002" + bytes(16), "not an eisnn weight file (bad magic bytes)"),
    "magic and three bytes": (b"EISNN001\0\0\0", "weight file is truncated"),
    "empty file": (b"", "weight file is truncated"),
    "key not UTF-8": (b"EISNN001" + struct.pack("<I", 1) + struct.pack("<I", 2) + b"\xff\xfe"
                      + struct.pack("<I", 0) + struct.pack("<I", 0), "weight file is truncated"),
    "string past the end": (b"EISNN001" + struct.pack("<I", 1) + struct.pack("<I", 2**32 - 1) + b"abc",
                            "weight file is truncated"),
    "unknown encoding": (_header() + _record(b"t", 3, [1], bytes(4)),
                         "weight file uses tensor encoding 3, which this build does not know"),
    "truncated inside dims before the encoding check": (
        _header() + struct.pack("<I", 1) + b"t" + bytes([3, 2]) + struct.pack("<I", 1),
        "weight file is truncated"),
    "data past the end": (_header() + _record(b"t", 0, [3], bytes(8)), "weight file is truncated"),
    # 2**64 elements: a product that wraps to 0 would read a single element.
    "dims whose product wraps": (_header() + _record(b"t", 0, [2**16] * 4, bytes(16)),
                                 "weight file is truncated"),
    "largest dims": (_header() + _record(b"t", 2, [2**32 - 1] * 3, bytes(16)),
                     "weight file is truncated"),
    "no target_mean before missing metadata": (_header(0, 0), 'weight file is missing "target_mean"'),
    "scaling of the wrong size": (
        _header(0, 4) + _record(b"target_mean", 0, [3], bytes(12))
        + _record(b"target_std", 0, [3], bytes(12)) + _record(b"log_params", 0, [3], bytes(12))
        + _record(b"scaling", 0, [11], bytes(44)),
        'tensor "scaling" has 11 elements, expected 12'),
    "missing dilations": (_tensors_changed(meta_drop=("dilations",)),
                          'weight file is missing "dilations"'),
    "missing circuit": (_tensors_changed(meta_drop=("circuit",)), 'weight file is missing "circuit"'),
    "missing log_params": (_tensors_changed(drop=("log_params",)),
                           'weight file is missing "log_params"'),
    "n_grid with a blank": (_meta_replaced("n_grid", " 16"),
                            'weight file has an unparsable value for "n_grid"'),
    "negative n_grid": (_meta_replaced("n_grid", "-16"),
                        'weight file has an unparsable value for "n_grid"'),
    "n_grid too large for the size type": (_meta_replaced("n_grid", "9" * 30),
                                           'weight file has an unparsable value for "n_grid"'),
    "alpha_max not a number": (_meta_replaced("alpha_max", "one"),
                               'weight file has an unparsable value for "alpha_max"'),
    "empty dilation": (_meta_replaced("dilations", "1,,2"),
                       'weight file has an unparsable value for "dilations"'),
    "other estimator": (_meta_replaced("estimator", 'med"ian'),
                        'weight file was normalised with the "med\\"ian" scale estimator, which this '
                        'build does not implement (supported: reactive_centroid)'),
    "missing norm bias": (_tensors_changed(drop=("w.blocks.1.norm1.bias",)),
                          'weight file is missing "w.blocks.1.norm1.bias"'),
    "head input of the wrong size": (_tensors_changed(replace={"w.head.0.weight": np.zeros((12, 13))}),
                                     'tensor "head.0" has 10 elements, expected 13'),
}


@pytest.mark.parametrize("name", list(MALFORMED))
def test_malformed_weight_file_message(files, name):
    data, message = MALFORMED[name]
    path = files.write(data)
    f, z = rq_spectrum()
    with pytest.raises(ValueError) as failure:
        Circuit("R0-(R1,CPE1)").guess(f, z, weights=path)
    assert str(failure.value) == message


@pytest.mark.parametrize("key, value, same_as", [
    ("n_grid", "+16", "16"), ("dilations", " 1 , 2 ", "1,2"), ("alpha_max", "1e0", "1.0"),
    ("alpha_min", "5E-2", "0.05"), ("alpha_min", "-INF", "-inf"), ("alpha_max", "Infinity", "inf"),
])
def test_number_syntax_that_is_accepted(files, key, value, same_as):
    variant = files.write(_meta_replaced(key, value))
    plain = files.write(_meta_replaced(key, same_as))
    f, z = rq_spectrum()
    circuit = Circuit("R0-(R1,CPE1)")
    assert circuit.guess(f, z, weights=variant) == circuit.guess(f, z, weights=plain)


def _rows(reference):
    return np.array([(1, 0, 0, -1), (1, 0, 0, -1), (-1, 0, -1, reference), (0, 0, 0, -1)], float)


# Files whose tensors contradict their metadata or their own circuit: the
# module has to refuse them rather than read past an array.
INCONSISTENT = {
    "stem weight without dims": {"w.stem.weight": np.float64(0.5)},
    "stem weight too short": {"w.stem.weight": np.ones((4, 3, 2))},
    "conv weight too short": {"w.blocks.0.conv1.weight": np.ones(4)},
    "more output channels than biases": {"w.stem.weight": np.ones((9, 3, 3))},
    "linear weight of one dim": {"w.head.0.weight": np.ones(120)},
    "linear weight with fewer values than its dims": {"w.head.2.weight": np.ones((3, 12))},
    "bias too short": {"w.stem.bias": np.ones(2)},
    "norm weight too short": {"w.blocks.1.norm2.weight": np.ones(2)},
    "norm bias too short": {"w.blocks.1.norm2.bias": np.ones(1)},
    "head with fewer outputs than parameters": {"w.head.4.weight": np.ones((3, 12)),
                                                "w.head.4.bias": np.ones(3)},
    "target_std too short": {"target_std": np.ones(2)},
    "log_params too short": {"log_params": np.ones(3)},
    "scaling reference past the end": {"scaling": _rows(4.0)},
    "scaling reference huge": {"scaling": _rows(3e9)},
}
INCONSISTENT_META = {
    "zero groups": ("groups", "0"),
    "channels larger than the tensors": ("channels", "8"),
    "kernel larger than the tensors": ("kernel", "5"),
    "alpha_min above alpha_max": ("alpha_min", "0.9"),
    "NaN alpha_max": ("alpha_max", "nan"),
    "fewer param_names than the circuit has": ("param_names", "R0.r,R1.r,CPE1.q"),
    "more param_names than the circuit has": ("param_names", "R0.r,R1.r,CPE1.q,CPE1.alpha,X.y"),
    "empty param_names": ("param_names", ""),
    "huge n_grid": ("n_grid", "100000000000"),
}


@pytest.mark.parametrize("name", list(INCONSISTENT) + list(INCONSISTENT_META))
def test_inconsistent_weight_file_is_refused(files, name):
    if name in INCONSISTENT:
        data = _tensors_changed(replace=INCONSISTENT[name])
    else:
        key, value = INCONSISTENT_META[name]
        meta, tensors = guesser_contents("R0-(R1,CPE1)", PARAM_NAMES["R0-(R1,CPE1)"],
                                         np.random.default_rng(1), alpha_max=0.8)
        data = eisnn_format.encode([(k, value if k == key else v) for k, v in meta], tensors)
    path = files.write(data)
    f, z = rq_spectrum()
    with pytest.raises(ValueError) as failure:
        Circuit("R0-(R1,CPE1)").guess(f, z, weights=path)
    if name.endswith("the circuit has") or name == "empty param_names":
        assert str(failure.value).startswith('weight file has an unparsable value for "')
        assert "param_names" in str(failure.value)


def test_unparsable_network_circuit(files):
    path = files.write(_meta_replaced("circuit", "R0-("))
    f, z = rq_spectrum()
    with pytest.raises(ValueError) as failure:
        Circuit("R0-(R1,CPE1)").guess(f, z, weights=path)
    assert str(failure.value) == unparsable(f'circuit "R0-(" in {path}')


@pytest.mark.parametrize("where, code", [("missing", errno.ENOENT), ("directory", errno.EISDIR),
                                         ("empty name", errno.ENOENT)])
def test_unreadable_weights_report_the_system_error(files, where, code):
    path = {"missing": str(files.directory / "absent.eisnn"), "directory": str(files.directory),
            "empty name": ""}[where]
    f, z = rq_spectrum()
    with pytest.raises(ValueError) as failure:
        Circuit("R0-(R1,CPE1)").guess(f, z, weights=path)
    assert str(failure.value) == "reading weights: " + os.strerror(code)


def test_path_with_a_nul_is_not_cut_short(files):
    # The part before the NUL names a valid file; that file must not be read.
    path = files.write(network("R0-(R1,CPE1)"))
    f, z = rq_spectrum()
    with pytest.raises(ValueError) as failure:
        Circuit("R0-(R1,CPE1)").guess(f, z, weights=path + "\0.bak")
    assert str(failure.value).startswith("reading weights: ")


@pytest.mark.parametrize("weights", [b"x.eisnn", 3, ["x.eisnn"]])
def test_weights_must_be_a_str(weights):
    f, z = rq_spectrum()
    with pytest.raises(TypeError, match="weights"):
        Circuit("R0-(R1,CPE1)").guess(f, z, weights=weights)


def test_weights_path_object_is_refused(files):
    path = files.write(network("R0-(R1,CPE1)"))
    f, z = rq_spectrum()
    with pytest.raises(TypeError, match="weights"):
        Circuit("R0-(R1,CPE1)").guess(f, z, weights=type(files.directory)(path))


@pytest.mark.parametrize("points", [0, 1])
def test_fewer_than_two_points_with_a_weight_file(files, points):
    path = files.write(network("R0-(R1,CPE1)"))
    f, z = rq_spectrum()
    with pytest.raises(ValueError) as failure:
        Circuit("R0-(R1,CPE1)").guess(f[:points], z[:points], weights=path)
    assert str(failure.value) == f"need at least 2 frequency points to guess, got {points}"


@pytest.mark.parametrize("key", ["rc", "rq", "randles"])
def test_fewer_than_two_points_with_a_built_in_model(key):
    require_model(key)
    with pytest.raises(ValueError) as failure:
        Circuit(key).guess([10.0], [1 - 1j])
    assert str(failure.value) == "need at least 2 frequency points to guess, got 1"


def test_weight_file_is_chosen_before_the_point_count(files):
    with pytest.raises(ValueError, match="^reading weights: "):
        Circuit("R0-(R1,CPE1)").guess([1.0], [1 - 1j], weights=str(files.directory / "nope"))
    path = files.write(network("R0-(R1,C1)"))
    with pytest.raises(ValueError, match="which is a different circuit"):
        Circuit("R0-(R1,CPE1)").guess([1.0], [1 - 1j], weights=path)


def test_weight_file_is_cached_by_path_and_failures_are_not(files):
    path = files.write(b"EISNN00")
    f, z = rq_spectrum()
    circuit = Circuit("R0-(R1,CPE1)")
    with pytest.raises(ValueError, match="truncated"):
        circuit.guess(f, z, weights=path)
    first = network("R0-(R1,CPE1)", seed=21)
    with open(path, "wb") as fh:
        fh.write(first)
    guessed = circuit.guess(f, z, weights=path)
    assert_close(guessed, reference_guess(first, f, z))
    with open(path, "wb") as fh:
        fh.write(network("R0-(R1,CPE1)", seed=22))
    assert circuit.guess(f, z, weights=path) == guessed
    os.remove(path)
    assert circuit.guess(f, z, weights=path) == guessed


def test_guess_reads_a_dataframe(files):
    path = files.write(network("R0-(R1,CPE1)"))
    f, z = rq_spectrum()
    frame = {"frequency_hertz": list(f), "real_impedance_ohm": list(z.real),
             "imaginary_impedance_ohm": list(z.imag)}
    circuit = Circuit("R0-(R1,CPE1)")
    assert circuit.guess(frame, weights=path) == circuit.guess(f, z, weights=path)


# --- hostile files -------------------------------------------------------------------

FUZZ_CIRCUITS = ["R0-(R1,C1)", "R0-K1", "(C1,R1)-R0"]
_FUZZ_BASE = [network("R0-(R1,C1)", seed=s, channels=2, groups=2, hidden=3, n_grid=5,
                      dilations=(1, 2), kernel=3, encoding=s % 3) for s in range(3)]
_F, _Z = (np.logspace(-1, 4, 9),
          Circuit("R0-(R1,C1)").with_values([1.0, 10.0, 1e-3]).impedance(np.logspace(-1, 4, 9)))
_INTERESTING_U32 = [0, 1, 2, 3, 4, 64, 255, 2**16, 2**31 - 1, 2**31, 2**32 - 1]


def _mutate(data: bytes, draw) -> bytes:
    data = bytearray(data)
    for _ in range(draw(st.integers(1, 4))):
        kind = draw(st.sampled_from(["flip", "flip", "byte", "byte", "u32", "u32", "cut", "insert",
                                     "delete", "append"]))
        # Mostly past the magic, which a single change there merely breaks.
        lowest = 0 if draw(st.integers(0, 19)) == 0 else min(8, len(data))
        # Hypothesis favours small integers; the modulo spreads them out.
        at = lowest + draw(st.integers(0, 2**32)) % max(len(data) - lowest, 1)
        if kind == "flip" and at < len(data):
            data[at] ^= 1 << draw(st.integers(0, 7))
        elif kind == "byte" and at < len(data):
            data[at] = draw(st.integers(0, 255))
        elif kind == "u32" and len(data) >= 4:
            at = min(at, len(data) - 4)
            data[at:at + 4] = struct.pack("<I", draw(st.sampled_from(_INTERESTING_U32)))
        elif kind == "cut":
            del data[at:]
        elif kind == "insert":
            data[at:at] = draw(st.binary(min_size=1, max_size=8))
        elif kind == "delete":
            del data[at:at + draw(st.integers(1, 16))]
        elif kind == "append":
            data += draw(st.binary(max_size=16))
    return bytes(data)


def _guess_survives(files, data, circuit):
    path = files.write(data)
    try:
        guessed = Circuit(circuit).guess(_F, _Z, weights=path)
    except ValueError:
        return
    assert len(guessed) == len(Circuit(circuit).param_names())
    assert all(isinstance(v, float) for v in guessed)


@settings(max_examples=1500, deadline=None, suppress_health_check=list(HealthCheck))
@given(st.data())
def test_mutated_weight_files_only_raise_value_error(files, data):
    base = data.draw(st.sampled_from(_FUZZ_BASE))
    mutated = _mutate(base, data.draw)
    _guess_survives(files, mutated, data.draw(st.sampled_from(FUZZ_CIRCUITS)))


_META_VALUES = st.one_of(
    st.sampled_from(["", "0", "1", "2", "3", "+5", "-1", "64", "4294967295", "4294967296",
                     "18446744073709551615", "18446744073709551616", "nan", "inf", "-inf", "1e308",
                     "0.05", "1.0", "1,2", "1, 2,4", "8,16,32", "0,0", "R0-(R1,C1)", "(R1,C1)-R0",
                     "R0-(", "R0.r,R1.r,C1.c", "R0.r,R1.r", "reactive_centroid", "\u00e9\u00e8"]),
    st.text(max_size=12))
_META_KEYS = ["circuit", "param_names", "estimator", "n_grid", "channels", "kernel", "groups",
              "dilations", "alpha_min", "alpha_max"]


@settings(max_examples=500, deadline=None, suppress_health_check=list(HealthCheck))
@given(st.data())
def test_structurally_odd_weight_files_only_raise_value_error(files, data):
    meta, tensors = guesser_contents("R0-(R1,C1)", PARAM_NAMES["R0-(R1,C1)"],
                                     np.random.default_rng(data.draw(st.integers(0, 3))),
                                     channels=2, groups=2, hidden=3, n_grid=5, kernel=3)
    # Few changes per file, so that most files get past the first check.
    meta = [(k, data.draw(_META_VALUES) if data.draw(st.integers(0, 19)) == 0 else v)
            for k, v in meta]
    if data.draw(st.booleans()):
        meta.append((data.draw(st.sampled_from(_META_KEYS)), data.draw(_META_VALUES)))
    records = []
    for name, values, encoding in tensors:
        choice = data.draw(st.integers(0, 79))
        if choice == 0:
            continue  # dropped
        if choice == 1:
            shape = tuple(data.draw(st.lists(st.integers(0, 4), max_size=3)))
            values = np.asarray(data.draw(st.lists(
                st.floats(allow_nan=True, allow_infinity=True, width=32),
                min_size=int(np.prod(shape)), max_size=int(np.prod(shape)))),
                dtype=np.float64).reshape(shape)
        if choice in (2, 3, 4):
            encoding = data.draw(st.integers(0, 2))
        records.append((name, values, encoding))
    with np.errstate(all="ignore"):
        encoded = eisnn_format.encode(meta, records)
    _guess_survives(files, encoded, data.draw(st.sampled_from(FUZZ_CIRCUITS)))


# --- threads ---------------------------------------------------------------------------

_THREADS_SCRIPT = textwrap.dedent("""
    import json, sys, threading
    import numpy as np
    from kovrant import Circuit

    path, circuits = sys.argv[1], json.loads(sys.argv[2])
    f = np.logspace(-1, 5, 41)
    z = Circuit("R0-(R1,CPE1)").with_values([2.0, 30.0, 1e-4, 0.8]).impedance(f)
    jobs = [(c, None) for c in circuits] + [("R0-(R1,CPE1)", path), ("R0-Zarc1", path)]
    start = threading.Barrier(16)
    results = [None] * 16

    def work(index):
        start.wait()
        mine = []
        for repeat in range(5):
            for circuit, weights in jobs[index % len(jobs):] + jobs[:index % len(jobs)]:
                mine.append((circuit, weights, Circuit(circuit).guess(f, z, weights=weights)))
        results[index] = sorted(mine, key=lambda r: (r[0], r[1] or ""))

    threads = [threading.Thread(target=work, args=(i,)) for i in range(16)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    print(json.dumps(results))
""")


def test_threads_guessing_at_once_in_a_fresh_process(files, built_in_models):
    path = files.write(network("R0-(R1,CPE1)", seed=31))
    circuits = [MODEL_CIRCUITS[key] for key in built_in_models]
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    run = subprocess.run([sys.executable, "-c", _THREADS_SCRIPT, path, json.dumps(circuits)],
                         capture_output=True, text=True, timeout=120, env=env)
    assert run.returncode == 0, run.stderr
    results = json.loads(run.stdout)
    assert all(r == results[0] for r in results)
    f = np.logspace(-1, 5, 41)
    z = Circuit("R0-(R1,CPE1)").with_values([2.0, 30.0, 1e-4, 0.8]).impedance(f)
    for circuit, weights, values in results[0]:
        assert values == Circuit(circuit).guess(f, z, weights=weights)


# --- quality of a trained network -------------------------------------------------------


@pytest.mark.parametrize("seed", range(5))
def test_rq_guess_is_close_to_the_truth(seed):
    require_model("rq")
    rng = np.random.default_rng(100 + seed)
    s = synthetic_spectra.sample_spectrum(rng, "rq", "R0-(R1,CPE1)", noise=0.01)
    r0, r1, q, alpha = Circuit("R0-(R1,CPE1)").guess(s.frequencies, s.impedances)
    for guessed, true in [(r0, s.values[0]), (r1, s.values[1])]:
        assert 1 / 1.5 < guessed / true < 1.5
    assert abs(alpha - s.values[3]) < 0.15
    assert math.isfinite(q) and q > 0
