"""Circuit.guess from Python: agreement with an independent NumPy forward pass,
topology matching, messages and arguments, hostile weight files and threads.
The C++ tests pin the loader rules and the layer arithmetic one by one."""

import errno
import json
import math
import os
import pathlib
import struct
import subprocess
import sys
import textwrap
import threading

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from conftest import child_exit_code, require_model
from guesser_files import (MODEL_KEYS, MODELS, NO_MODEL, REPO, WeightFiles, eisnn_format,
                           guesser_bytes, guesser_contents, quoted, reference_guess, unparsable)
from kovrant import Circuit
from tools import synthetic_spectra

RQ = "R0-(R1,CPE1)"
MODEL_CIRCUITS = {m.key: m.circuit for m in MODELS}
PARAM_NAMES = {m.circuit: list(m.param_names) for m in MODELS}
# Parameter names of network circuits that no built-in model uses.
PARAM_NAMES["L0-R0-(R1-W1,CPE1)"] = ["L0.l", "R0.r", "R1.r", "W1.aw", "CPE1.q", "CPE1.alpha"]


@pytest.fixture(scope="module")
def files(tmp_path_factory):
    return WeightFiles(tmp_path_factory.mktemp("weights"))


def network(circuit, seed=0, **options):
    return guesser_bytes(circuit, PARAM_NAMES[circuit], np.random.default_rng(seed), **options)


def changed(meta=None, drop=(), replace=None, seed=1):
    """An rq network whose metadata values, tensors or both were replaced or dropped."""
    metadata, tensors = guesser_contents(RQ, PARAM_NAMES[RQ], np.random.default_rng(seed))
    metadata = [(k, (meta or {}).get(k, v)) for k, v in metadata if k not in drop]
    tensors = [(n, (replace or {}).get(n, v), e) for n, v, e in tensors if n not in drop]
    return eisnn_format.encode(metadata, tensors)


def rq_spectrum(n=41, seed=0):
    f = np.random.default_rng(seed).permutation(np.logspace(-1, 5, n))
    return f, Circuit(RQ).with_values([2.0, 30.0, 1e-4, 0.8]).impedance(f)


def guess_error(circuit, f, z, **options):
    with pytest.raises(ValueError) as failure:
        Circuit(circuit).guess(f, z, **options)
    return str(failure.value)


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
    data, circuit = path.read_bytes(), Circuit(MODEL_CIRCUITS[key])
    rng = np.random.default_rng(MODEL_KEYS.index(key))
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
@pytest.mark.parametrize("circuit", [RQ, "L0-R0-(R1-W1,CPE1)"])
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
    with_zeros = two_arcs.copy()
    with_zeros[[5, 17]] = 0.0
    return {
        "shuffled": (f[order], two_arcs[order]),
        "descending": (f[::-1], two_arcs[::-1]),
        "resistive": (f, np.linspace(8.0, 2.0, len(f)) + 0j),  # no capacitive point: fallback scales
        "inductive": (f, 1.0 + 2j * np.pi * f * 1e-6),
        "two points": (np.array([1e3, 10.0]), np.array([1 - 0.5j, 3 - 2j])),
        "repeated frequencies": (np.array([1.0, 10.0, 10.0, 100.0, 100.0, 100.0, 1e3]),
                                 np.array([5 - 1j, 4 - 2j, 3.9 - 2.1j, 3 - 1j, 2.8 - 1.2j,
                                           2.9 - 1.1j, 2 - 0.1j])),
        "phase crossing pi": (np.logspace(0, 3, 30), np.exp(1j * np.linspace(2.0, 4.5, 30))),
        "zero moduli": (f, with_zeros),
    }


ODD_SPECTRA = _odd_spectra()


@pytest.mark.parametrize("name", list(ODD_SPECTRA))
def test_odd_spectra_agree_with_numpy_forward_pass(files, name):
    data = network(RQ, seed=7, encoding=1)
    path = files.write(data)
    f, z = ODD_SPECTRA[name]
    assert_close(Circuit(RQ).guess(f, z, weights=path), reference_guess(data, f, z))


# --- topology matching through guess ------------------------------------------------


def _zarc(r, q, alpha):
    return [r, (r * q) ** (1.0 / max(alpha, 1e-6)), alpha]


# (network circuit, user circuit, the user's values from the network outputs n)
MATCHES = [
    ("R0-(R1,C1)", "(R1,C2)-R3", lambda n: n[[1, 2, 0]]),
    ("L0-R0-(R1,C1)", "R0-(R1,C1)-L0", lambda n: n[[1, 2, 3, 0]]),
    ("R0-(R1-W1,CPE1)", "(CPE7,W3-R2)-R9", lambda n: n[[3, 4, 2, 1, 0]]),
    # Identical parallels pair up in written order.
    ("R0-(R1,CPE1)-(R2,CPE2)", "R0-(CPE1,R1)-(R2,CPE2)", lambda n: n[[0, 2, 3, 1, 4, 5, 6]]),
    ("R0-(R1,CPE1)-(R2-Wo2,CPE2)", "(CPE2,Wo2-R2)-(R1,CPE1)-R0", lambda n: n[[7, 8, 5, 6, 4, 1, 2, 3, 0]]),
    # K and Zarc get their own values back from the pairs they abbreviate.
    ("R0-(R1,C1)", "K3-R7", lambda n: [n[1], n[1] * n[2], n[0]]),
    ("R0-(R1,CPE1)", "Zarc4-R2", lambda n: [*_zarc(n[1], n[2], n[3]), n[0]]),
    ("R0-(R1,C1)-(R2,C2)", "(R2,C2)-K1-R0", lambda n: [n[1], n[2], n[3], n[3] * n[4], n[0]]),
    ("R0-(R1,CPE1)-(R2,CPE2)", "R0-Zarc1-Zarc2",
     lambda n: [n[0], *_zarc(n[1], n[2], n[3]), *_zarc(n[4], n[5], n[6])]),
    ("L0-R0-(R1,CPE1)", "Zarc1-L0-R0", lambda n: [*_zarc(n[2], n[3], n[4]), n[0], n[1]]),
]


@pytest.mark.parametrize("model, user, convert", MATCHES, ids=[u for _, u, _ in MATCHES])
def test_user_parameters_come_from_the_matching_outputs(files, model, user, convert):
    data = network(model, seed=len(user), encoding=len(user) % 3)
    path = files.write(data)
    f, z = rq_spectrum()
    guessed = Circuit(user).guess(f, z, weights=path)
    assert len(guessed) == len(Circuit(user).param_names())
    assert_close(guessed, convert(reference_guess(data, f, z)))


def test_zarc_gamma_is_the_clamped_exponent(files):
    # An exponent output far above alpha_max comes back as alpha_max.
    meta, tensors = guesser_contents(RQ, PARAM_NAMES[RQ], np.random.default_rng(2), alpha_max=0.75)
    tensors = [(n, np.array([0.0, 0.0, 0.0, 50.0]) if n == "target_mean" else v, e)
               for n, v, e in tensors]
    path = files.write(eisnn_format.encode(meta, tensors))
    f, z = rq_spectrum()
    assert Circuit("R0-Zarc1").guess(f, z, weights=path)[3] == 0.75
    assert Circuit(RQ).guess(f, z, weights=path)[3] == 0.75


@pytest.mark.parametrize("model, user", [
    ("R0-(R1,C1)", RQ), ("R0-(R1,C1)", "R0-K1-K2"), (RQ, "R0-K1"),
    ("R0-(R1-W1,CPE1)", "R0-(R1,W1,CPE1)"),
])
def test_weights_for_another_circuit_are_refused(files, model, user):
    path = files.write(network(model))
    f, z = rq_spectrum()
    assert guess_error(user, f, z, weights=path) == unparsable(
        f"{path} was trained for {quoted(model)}, which is a different circuit")


# (user circuit, built-in model, user parameter u <- model output perm[u], or
# the user's values computed from the model's own guess n)
BUILT_IN_MATCHES = [
    ("(C1,R1)-R0", "rc", [2, 1, 0]),
    ("R0-(R1,C1)-L0", "rc_l", [1, 2, 3, 0]),
    ("(R2,CPE2)-R0-(R1,CPE1)", "two_rq", [1, 2, 3, 0, 4, 5, 6]),
    ("R0-(W1-R1,CPE1)", "randles", [0, 2, 1, 3, 4]),
    ("(R2-W2,CPE2)-R0-(R1,CPE1)", "sei_randles", [4, 5, 6, 7, 0, 1, 2, 3]),
    ("R0-Zarc1", "rq", lambda n: [n[0], *_zarc(n[1], n[2], n[3])]),
    ("R0-K1-K2", "two_rc", lambda n: [n[0], n[1], n[1] * n[2], n[3], n[3] * n[4]]),
]


@pytest.mark.parametrize("user, key, expected", BUILT_IN_MATCHES, ids=[u for u, _, _ in BUILT_IN_MATCHES])
def test_built_in_model_is_found_by_topology(user, key, expected):
    require_model(key)
    f, z = rq_spectrum()
    outputs = np.array(Circuit(MODEL_CIRCUITS[key]).guess(f, z))
    assert Circuit(key).guess(f, z) == list(outputs)
    if callable(expected):
        assert_close(Circuit(user).guess(f, z), expected(outputs))
    else:  # a permutation moves the values bit for bit
        assert Circuit(user).guess(f, z) == list(outputs[expected])


@pytest.mark.parametrize("user", ["R0", "R0-(R1,C1)-W2", "R0-(K1,C2)", "Zarc1-Zarc2-Zarc3-R0"])
@pytest.mark.parametrize("points", [0, 1, 5])
def test_circuit_without_model_is_reported_before_the_point_count(user, points):
    f = np.logspace(0, 3, points)
    assert guess_error(user, f, [1 - 1j] * points) == NO_MODEL


def test_ml_circuits_lists_the_eleven_keys_from_the_class():
    assert Circuit.ml_circuits() == MODEL_KEYS
    assert Circuit("R0").ml_circuits() == MODEL_KEYS


# --- messages and arguments ------------------------------------------------------------

_HEADER = b"EISNN001" + struct.pack("<II", 0, 1)
_ROWS = np.array([(1, 0, 0, -1), (1, 0, 0, -1), (-1, 0, -1, 3e9), (0, 0, 0, -1)], float)

# One file per kind of message; PATH stands for the file's path.
MALFORMED = {
    "truncated": (b"EISNN001\0\0\0", "weight file is truncated"),
    "bad magic": (b"EISNN002" + bytes(16), "not an eisnn weight file (bad magic bytes)"),
    "unknown encoding": (_HEADER + struct.pack("<I", 1) + b"t" + bytes([3, 1]) + struct.pack("<I", 1)
                         + bytes(4), "weight file uses tensor encoding 3, which this build does not know"),
    "missing statistics": (_HEADER[:-4] + struct.pack("<I", 0), 'weight file is missing "target_mean"'),
    "scaling of the wrong size": (changed(replace={"scaling": np.zeros(11)}),
                                  'tensor "scaling" has 11 elements, expected 16'),
    "n_grid with a blank": (changed(meta={"n_grid": " 16"}),
                            'weight file has an unparsable value for "n_grid"'),
    "other estimator": (changed(meta={"estimator": 'med"ian'}),
                        'weight file was normalised with the "med\\"ian" scale estimator, which this '
                        'build does not implement (supported: reactive_centroid)'),
    "unparsable circuit": (changed(meta={"circuit": "R0-("}), unparsable('circuit "R0-(" in PATH')),
    "missing norm bias": (changed(drop=("w.blocks.1.norm1.bias",)),
                          'weight file is missing "w.blocks.1.norm1.bias"'),
    "head input of the wrong size": (changed(replace={"w.head.0.weight": np.zeros((12, 13))}),
                                     'tensor "head.0" has 10 elements, expected 13'),
    # Files that contradict themselves are refused, not read past an array
    # (the C++ tests go through every such check).
    "saturated scaling reference": (changed(replace={"scaling": _ROWS}),
                                    unparsable("scaling row 2 refers to output 2147483647 of 4")),
    "more param_names than the circuit has": (
        changed(meta={"param_names": "R0.r,R1.r,CPE1.q,CPE1.alpha,X.y"}),
        unparsable(f"PATH: param_names lists 5 names but circuit {RQ} has 4 parameters")),
}


@pytest.mark.parametrize("name", list(MALFORMED))
def test_malformed_weight_file_message(files, name):
    data, message = MALFORMED[name]
    path = files.write(data)
    f, z = rq_spectrum()
    assert guess_error(RQ, f, z, weights=path) == message.replace("PATH", path)


@pytest.mark.parametrize("where, code", [("missing", errno.ENOENT), ("directory", errno.EISDIR),
                                         ("empty name", errno.ENOENT)])
def test_unreadable_weights_report_the_system_error(files, where, code):
    path = {"missing": str(files.directory / "absent.eisnn"), "directory": str(files.directory),
            "empty name": ""}[where]
    f, z = rq_spectrum()
    assert guess_error(RQ, f, z, weights=path) == "reading weights: " + os.strerror(code)


def test_path_with_a_nul_is_not_cut_short(files):
    # The part before the NUL names a valid file; that file must not be read.
    path = files.write(network(RQ))
    f, z = rq_spectrum()
    assert guess_error(RQ, f, z, weights=path + "\0.bak").startswith("reading weights: ")


@pytest.mark.parametrize("weights", [b"x.eisnn", 3, ["x.eisnn"], pathlib.Path("x.eisnn")])
def test_weights_must_be_a_str(weights):
    f, z = rq_spectrum()
    with pytest.raises(TypeError, match="weights"):
        Circuit(RQ).guess(f, z, weights=weights)


@pytest.mark.parametrize("source", ["weight file", "rc", "rq", "randles"])
@pytest.mark.parametrize("points", [0, 1])
def test_fewer_than_two_points(files, source, points):
    if source == "weight file":
        circuit, options = RQ, dict(weights=files.write(network(RQ)))
    else:
        require_model(source)
        circuit, options = source, {}
    f, z = rq_spectrum()
    assert guess_error(circuit, f[:points], z[:points], **options) == \
        f"need at least 2 frequency points to guess, got {points}"


def test_weight_file_is_chosen_before_the_point_count(files):
    assert guess_error(RQ, [1.0], [1 - 1j], weights=str(files.directory / "nope")).startswith(
        "reading weights: ")
    path = files.write(network("R0-(R1,C1)"))
    assert guess_error(RQ, [1.0], [1 - 1j], weights=path).endswith("which is a different circuit\"")


def test_guess_reads_a_dataframe(files):
    path = files.write(network(RQ))
    f, z = rq_spectrum()
    frame = {"frequency_hertz": list(f), "real_impedance_ohm": list(z.real),
             "imaginary_impedance_ohm": list(z.imag)}
    assert Circuit(RQ).guess(frame, weights=path) == Circuit(RQ).guess(f, z, weights=path)


# --- hostile files -------------------------------------------------------------------

FUZZ_CIRCUITS = ["R0-(R1,C1)", "R0-K1", "(C1,R1)-R0"]
_FUZZ_BASE = [network("R0-(R1,C1)", seed=s, channels=2, groups=2, hidden=3, n_grid=5,
                      dilations=(1, 2), kernel=3, encoding=s % 3) for s in range(3)]
_F = np.logspace(-1, 4, 9)
_Z = Circuit("R0-(R1,C1)").with_values([1.0, 10.0, 1e-3]).impedance(_F)
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


@settings(max_examples=1000, deadline=None, suppress_health_check=list(HealthCheck))
@given(st.data())
def test_mutated_weight_files_only_raise_value_error(files, data):
    mutated = _mutate(data.draw(st.sampled_from(_FUZZ_BASE)), data.draw)
    _guess_survives(files, mutated, data.draw(st.sampled_from(FUZZ_CIRCUITS)))


_META_VALUES = st.one_of(
    st.sampled_from(["", "0", "1", "2", "3", "+5", "-1", "64", "4294967295", "4294967296",
                     "18446744073709551615", "18446744073709551616", "nan", "inf", "-inf", "1e308",
                     "0.05", "1.0", "1,2", "1, 2,4", "8,16,32", "0,0", "R0-(R1,C1)", "(R1,C1)-R0",
                     "R0-(", "R0.r,R1.r,C1.c", "R0.r,R1.r", "reactive_centroid", "\u00e9\u00e8"]),
    st.text(max_size=12))


@settings(max_examples=350, deadline=None, suppress_health_check=list(HealthCheck))
@given(st.data())
def test_structurally_odd_weight_files_only_raise_value_error(files, data):
    meta, tensors = guesser_contents("R0-(R1,C1)", PARAM_NAMES["R0-(R1,C1)"],
                                     np.random.default_rng(data.draw(st.integers(0, 3))),
                                     channels=2, groups=2, hidden=3, n_grid=5, kernel=3)
    # Few changes per file, so that most files get past the first check.
    meta = [(k, data.draw(_META_VALUES) if data.draw(st.integers(0, 19)) == 0 else v)
            for k, v in meta]
    if data.draw(st.booleans()):
        meta.append((data.draw(st.sampled_from([k for k, _ in meta])), data.draw(_META_VALUES)))
    records = []
    for name, values, encoding in tensors:
        choice = data.draw(st.integers(0, 79))
        if choice == 0:
            continue  # dropped
        if choice == 1:
            shape = tuple(data.draw(st.lists(st.integers(0, 4), max_size=3)))
            size = int(np.prod(shape))
            values = np.asarray(data.draw(st.lists(st.floats(width=32), min_size=size, max_size=size)),
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
    path = files.write(network(RQ, seed=31))
    circuits = [MODEL_CIRCUITS[key] for key in built_in_models]
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    run = subprocess.run([sys.executable, "-c", _THREADS_SCRIPT, path, json.dumps(circuits)],
                         capture_output=True, text=True, timeout=120, env=env)
    assert run.returncode == 0, run.stderr
    results = json.loads(run.stdout)
    assert all(r == results[0] for r in results)
    f = np.logspace(-1, 5, 41)
    z = Circuit(RQ).with_values([2.0, 30.0, 1e-4, 0.8]).impedance(f)
    for circuit, weights, values in results[0]:
        assert values == Circuit(circuit).guess(f, z, weights=weights)


def test_a_replaced_weight_file_is_read_again(files):
    f, z = rq_spectrum()
    path = files.write(network(RQ, seed=41))
    Circuit(RQ).guess(f, z, weights=path)
    retrained = network(RQ, seed=42)  # same size: only the modification time tells
    stamp = os.stat(path).st_mtime_ns
    pathlib.Path(path).write_bytes(retrained)
    os.utime(path, ns=(stamp + 10**9, stamp + 10**9))
    assert_close(Circuit(RQ).guess(f, z, weights=path), reference_guess(retrained, f, z))
    pathlib.Path(path).write_bytes(network(MODEL_CIRCUITS["rc"]))
    assert guess_error(RQ, f, z, weights=path).endswith("which is a different circuit\"")


@pytest.mark.skipif(not hasattr(os, "fork"), reason="needs fork")
def test_children_forked_while_threads_guess_can_guess(files):
    path = files.write(network(RQ, seed=43))
    f, z = rq_spectrum()
    expected = Circuit(RQ).guess(f, z, weights=path)
    stop = threading.Event()

    def keep_guessing():
        while not stop.is_set():
            Circuit(RQ).guess(f, z, weights=path)

    threads = [threading.Thread(target=keep_guessing) for _ in range(3)]
    for t in threads:
        t.start()
    try:
        for fork in range(150):
            pid = os.fork()
            if pid == 0:
                os._exit(0 if Circuit(RQ).guess(f, z, weights=path) == expected else 1)
            assert child_exit_code(pid, seconds=10) == 0, f"child {fork} hung or guessed wrong"
    finally:
        stop.set()
        for t in threads:
            t.join()


# --- quality of a trained network -------------------------------------------------------


@pytest.mark.parametrize("seed", range(5))
def test_rq_guess_is_close_to_the_truth(seed):
    require_model("rq")
    s = synthetic_spectra.sample_spectrum(np.random.default_rng(100 + seed), "rq", RQ, noise=0.01)
    r0, r1, q, alpha = Circuit(RQ).guess(s.frequencies, s.impedances)
    for guessed, true in [(r0, s.values[0]), (r1, s.values[1])]:
        assert 1 / 1.5 < guessed / true < 1.5
    assert abs(alpha - s.values[3]) < 0.15
    assert math.isfinite(q) and q > 0
