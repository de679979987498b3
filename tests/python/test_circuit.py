"""Circuit construction, parameters, rebuilding, impedance, residuals and Jacobian."""

import math
import sys
import threading

import numpy as np
import pytest

import kovrant
from conftest import KINDS, TWO_PI

SYNTAX_AND_CATALOGUE = "\n".join([
    "syntax:",
    '  - every element needs a numeric label, e.g. "R0" and "C1", not "R" and "C"',
    "  - connect elements in series with '-', e.g. \"R0-C1\"",
    "  - connect elements in parallel with '(...)' or 'p(...)', e.g. \"R0-(R1,C1)\" or \"R0-p(R1,C1)\"",
    "",
    "available elements (code, parameters, [units]):",
] + [f"  {code:<4}  " + ", ".join(f"{field} [{unit}]" for field, unit in zip(fields, units))
     for _, fields, code, units in KINDS])


def same_circuit(a, b):
    return (a.param_names() == b.param_names() and a.param_values() == b.param_values()
            and a.param_units() == b.param_units() and repr(a) == repr(b))


# --- construction -----------------------------------------------------------

def test_model_keys_and_trimming():
    # Every key against its notation: test_training_tools checks the registry.
    assert same_circuit(kovrant.Circuit("  Randles "), kovrant.Circuit("R0-(R1-W1,CPE1)"))
    assert kovrant.Circuit("  Randles ").param_names() == ["R0.r", "R1.r", "W1.aw", "CPE1.q", "CPE1.alpha"]
    assert same_circuit(kovrant.Circuit(" \tSEI_randles_WO\n"), kovrant.Circuit("R0-(R1,CPE1)-(R2-Wo2,CPE2)"))
    assert kovrant.Circuit("\u2003R0-C1\u00a0\n").param_names() == ["R0.r", "C1.c"]
    for text in ["randlesx", "rc-l", "two rc", "r\u0131"]:
        with pytest.raises(ValueError):
            kovrant.Circuit(text)


@pytest.mark.parametrize("text, first_line, caret_at", [
    ("  R0-Q1 ", 'unknown element code "Q" at position 3', 3),
    ("R0-", "unexpected end of input", None),
    ("R1-(R1,C2)", 'duplicate element label "R1"', None),
    ("R0-\u00fc1", "unexpected character at position 3", 3),
])
def test_parse_error_reports(text, first_line, caret_at):
    with pytest.raises(ValueError) as failure:
        kovrant.Circuit(text)
    echo = [] if caret_at is None else ["  " + text.strip(), "  " + " " * caret_at + "^", ""]
    assert str(failure.value) == "\n".join([first_line, ""] + echo + [SYNTAX_AND_CATALOGUE])


def test_constructor_needs_a_str_and_circuits_take_no_attributes():
    for argument in [None, b"R0"]:
        with pytest.raises(TypeError, match="^argument 's': must be str, not "):
            kovrant.Circuit(argument)
    circuit = kovrant.Circuit("R0")
    with pytest.raises(AttributeError):
        circuit.nodes = []
    with pytest.raises(AttributeError):
        circuit.param_names = None
    assert not hasattr(circuit, "__dict__")


# --- parameters, repr and rebuilding ------------------------------------------

def test_parameter_lists():
    circuit = kovrant.Circuit("R0-(R1,CPE1)")
    assert circuit.param_bounds() == [(1e-12, math.inf), (1e-12, math.inf), (1e-12, math.inf), (0.0, 1.0)]
    assert all(type(bound) is tuple and len(bound) == 2 for bound in circuit.param_bounds())
    assert circuit.param_values() == [1.0, 1.0, 0.001, 0.8]
    assert all(type(value) is float for value in circuit.param_values())
    every_code = kovrant.Circuit("-".join(f"{code}{i}" for i, (_, _, code, _) in enumerate(KINDS)))
    assert every_code.param_names() == [f"{code}{i}.{field}" for i, (_, fields, code, _) in enumerate(KINDS)
                                        for field in fields]
    assert every_code.param_units() == [unit for _, _, _, units in KINDS for unit in units]
    assert every_code.param_bounds() == [(0.0, 1.0) if field in ("alpha", "gamma") else (1e-12, math.inf)
                                         for _, fields, _, _ in KINDS for field in fields]


def test_repr_aligns_names_values_units_and_bounds():
    text = repr(kovrant.Circuit("R0-(R1,W10)").with_values([100, 0.5, 2.5e6]))
    assert text.split("\n") == [
        "Circuit (3 parameters)",
        "  R0.r   = 100        [ohm]  bounds (1e-12, inf)",
        "  R1.r   = 0.5        [ohm]  bounds (1e-12, inf)",
        "  W10.aw = 2.5e6      [ohm*s^-0.5]  bounds (1e-12, inf)",
    ]
    assert repr(kovrant.Series([])) == "Circuit (0 parameters)\n"


def test_with_values_returns_a_new_circuit_from_any_floats():
    circuit = kovrant.Circuit("R0-(R1,CPE1)")
    rebuilt = circuit.with_values([10, 20, 1e-5, 0.9])
    assert rebuilt is not circuit
    assert rebuilt.param_values() == [10.0, 20.0, 1e-5, 0.9]
    assert rebuilt.param_names() == circuit.param_names()
    assert circuit.param_values() == [1.0, 1.0, 0.001, 0.8]
    values = [-1.0, 0.0, math.inf, 7.0]
    assert circuit.with_values(values).param_values() == values

    class Number:
        def __float__(self):
            return 2.5

    assert circuit.with_values((np.float32(1.5), Number(), 7, True)).param_values() == [1.5, 2.5, 7.0, 1.0]
    assert circuit.with_values(np.array([3.0, 4.0, 5.0, 6.0])).param_values() == [3.0, 4.0, 5.0, 6.0]


@pytest.mark.parametrize("values", [[1, 2], [1, 2, 3, 4], []])
def test_with_values_needs_exactly_the_count(values):
    with pytest.raises(ValueError, match=f"^expected 3 values, got {len(values)}$"):
        kovrant.Circuit("R0-(R1,C1)").with_values(values)


def test_with_named_values_orders_by_parameter_and_reports_bad_names():
    circuit = kovrant.Circuit("R0-(R1,CPE1)")
    rebuilt = circuit.with_named_values({"CPE1.alpha": 0.9, "R1.r": 20, "CPE1.q": 1e-5, "R0.r": 10})
    assert rebuilt.param_values() == [10.0, 20.0, 1e-5, 0.9]
    with pytest.raises(ValueError) as failure:
        circuit.with_named_values({"R0.x": 1, "R1.r": 2, "zzzzzzzz": 3, "CPE1.alfa": 0.5, "CPE1.q": 1e-5})
    assert str(failure.value) == "\n".join([
        'unknown parameter "R0.x" (did you mean "R0.r"?)',
        'unknown parameter "zzzzzzzz"',
        'unknown parameter "CPE1.alfa" (did you mean "CPE1.alpha"?)',
        'missing parameter(s): ["R0.r", "CPE1.alpha"]',
        "",
        "valid parameters for this circuit:",
        "  R0.r        [ohm]  bounds (1e-12, inf)",
        "  R1.r        [ohm]  bounds (1e-12, inf)",
        "  CPE1.q      [ohm^-1*s^alpha]  bounds (1e-12, inf)",
        "  CPE1.alpha  [-]  bounds (0, 1)",
    ])


@pytest.mark.parametrize("method, values, reason", [
    ("with_values", "123", "Can't extract `str` to `Vec`"),
    ("with_values", {"R0.r": 1.0}, "'dict' object cannot be converted to 'Sequence'"),
    ("with_values", [None], "must be real number, not NoneType"),
    ("with_named_values", [("R0.r", 1.0)], "must be dict, not list"),
    ("with_named_values", {1: 1.0}, "keys must be str, not int"),
    ("with_named_values", {"R0.r": "x"}, "must be real number, not str"),
])
def test_rebuild_type_errors_name_the_argument(method, values, reason):
    with pytest.raises(TypeError) as failure:
        getattr(kovrant.Circuit("R0"), method)(values)
    assert str(failure.value) == f"argument 'values': {reason}"


def test_with_named_values_survives_a_dict_changed_by_float_conversion():
    values = {}

    class Meddler:
        def __float__(self):
            values.clear()
            values["other"] = 1.0
            return 5.0

    values.update({"R0.r": Meddler(), "C1.c": 2.0})
    assert kovrant.Circuit("R0-C1").with_named_values(values).param_values() == [5.0, 2.0]


# --- impedance --------------------------------------------------------------

def test_impedance_returns_a_complex128_array():
    frequencies = [0.0, 1.0, 1e3]
    z = kovrant.Circuit("R0-(R1,C1)").with_values([10, 100, 1e-3]).impedance(frequencies)
    assert isinstance(z, np.ndarray)
    assert z.dtype == np.complex128 and z.shape == (3,)
    assert not np.isfinite(z[0])
    omega = np.array(frequencies[1:]) * TWO_PI
    np.testing.assert_allclose(z[1:], 10 + 1.0 / (1.0 / 100 + 1j * omega * 1e-3), rtol=1e-13)
    empty = kovrant.Circuit("R0").impedance([])
    assert empty.dtype == np.complex128 and empty.shape == (0,)
    # A frame's frequency column is taken whole, without dropping rows.
    assert list(kovrant.Circuit("R0").impedance({"frequency_hertz": [0.0, -1.0, 5.0]})) == [1 + 0j] * 3


def test_impedance_array_owns_a_buffer_kept_alive_by_its_base():
    z = kovrant.Circuit("R0-C1").impedance([1.0, 2.0, 3.0])
    assert z.base is not None and not isinstance(z.base, np.ndarray)
    assert z.flags.c_contiguous
    view = z[1:]
    del z
    np.testing.assert_allclose(view, kovrant.Circuit("R0-C1").impedance([2.0, 3.0]))


def test_parallel_evaluation_equals_point_by_point():
    circuit = kovrant.Circuit("L0-R0-(R1,CPE1)-(R2-Wo2,CPE2)").with_values(
        [1e-6, 0.02, 0.05, 1.5, 0.9, 0.1, 0.3, 20.0, 3.0, 0.8])
    # Both sides of the size above which the points are shared out over the worker pool.
    frequencies = np.logspace(-3, 6, 9001)
    one_by_one = np.array([circuit.impedance([f])[0] for f in frequencies])
    for count in [999, 8191, 8192, 9001]:
        assert np.array_equal(circuit.impedance(frequencies[:count]), one_by_one[:count]), count


@pytest.mark.parametrize("argument, message", [
    ({"f": [1.0]}, 'expected a sequence of frequencies, or a dataframe with a "Frequency / Hz" or '
                   '"frequency_hertz" column'),
    (5, 'expected a sequence of frequencies, or a dataframe with a "Frequency / Hz" or "frequency_hertz" column'),
    ({"Frequency / Hz": ["a"]}, 'column "Frequency / Hz" is not numeric'),
])
def test_impedance_argument_errors(argument, message):
    with pytest.raises(ValueError) as failure:
        kovrant.Circuit("R0").impedance(argument)
    assert str(failure.value) == message


# --- residuals and jacobian -------------------------------------------------

SPECTRUM_F = [0.5, 5.0, 50.0, 500.0]
SPECTRUM_Z = [12 - 40j, 11.5 - 8j, 10.2 - 1j, 10.0 - 0.1j]


def test_residuals_default_to_modulus_weights():
    circuit = kovrant.Circuit("R0-(R1,C1)")
    params = [10.0, 100.0, 1e-3]
    r = circuit.residuals(params, SPECTRUM_F, SPECTRUM_Z)
    assert all(type(value) is float for value in r)
    assert r == circuit.residuals(params, SPECTRUM_F, SPECTRUM_Z, weight="modulus")
    unit = np.array(circuit.residuals(params, SPECTRUM_F, SPECTRUM_Z, weight="unit"))
    np.testing.assert_allclose(r, unit / np.repeat(np.abs(SPECTRUM_Z), 2), rtol=1e-14)


def test_params_by_position_or_keyword_replace_stored_values_and_extra_ones_are_ignored():
    circuit = kovrant.Circuit("R0").with_values([5.0])
    assert circuit.residuals([7.0], [1.0], [1.0], weight="unit") == [6.0, 0.0]
    assert circuit.residuals([7.0, 99.0], [1.0], [1.0], weight="unit") == [6.0, 0.0]
    assert circuit.jacobian([7.0, 99.0], SPECTRUM_F, SPECTRUM_Z) == circuit.jacobian([7.0], SPECTRUM_F, SPECTRUM_Z)
    assert circuit.residuals(params=[1.0], frequencies=[1.0], impedances=[2.0], weight="unit") == [-1.0, 0.0]
    assert circuit.jacobian(params=[1.0], frequencies=[1.0], impedances=[2.0], weight="unit") == [
        pytest.approx([1.0]), [0.0]]


@pytest.mark.parametrize("method", ["residuals", "jacobian"])
@pytest.mark.parametrize("params", [[], [1.0, 2.0, 3.0]])
def test_short_params_are_refused(method, params):
    circuit = kovrant.Circuit("R0-(R1,CPE1)")
    with pytest.raises(ValueError, match=f"^expected at least 4 params, got {len(params)}$"):
        getattr(circuit, method)(params, SPECTRUM_F, SPECTRUM_Z)


def test_residual_and_jacobian_shapes():
    circuit = kovrant.Circuit("R0-(R1,CPE1)")
    params = [10.0, 100.0, 1e-4, 0.85]
    assert len(circuit.residuals(params, SPECTRUM_F, SPECTRUM_Z)) == 2 * len(SPECTRUM_F)
    jacobian = circuit.jacobian(params, SPECTRUM_F, SPECTRUM_Z)
    assert len(jacobian) == 2 * len(SPECTRUM_F)
    assert all(len(row) == len(params) and all(type(v) is float for v in row) for row in jacobian)
    assert circuit.residuals(params, [], []) == []
    assert circuit.jacobian(params, [], []) == []
    assert kovrant.Series([]).jacobian([], SPECTRUM_F, SPECTRUM_Z) == []


@pytest.mark.parametrize("kwargs, error, message", [
    ({"params": "12"}, TypeError, "argument 'params': Can't extract `str` to `Vec`"),
    ({"weight": 1}, TypeError, "argument 'weight': must be str, not int"),
    ({"weight": "Modulus"}, ValueError, 'unknown weight scheme "Modulus", expected "modulus" or "unit"'),
    ({"weight": 'a"b'}, ValueError, 'unknown weight scheme "a\\"b", expected "modulus" or "unit"'),
])
@pytest.mark.parametrize("method", ["residuals", "jacobian"])
def test_residual_argument_errors(method, kwargs, error, message):
    arguments = {"params": [1.0], "frequencies": [1.0], "impedances": [1.0], **kwargs}
    with pytest.raises(error) as failure:
        getattr(kovrant.Circuit("R0"), method)(**arguments)
    assert str(failure.value) == message


def test_params_are_checked_before_the_spectrum_and_weight_type_before_the_spectrum():
    circuit = kovrant.Circuit("R0")
    with pytest.raises(TypeError, match="argument 'params'"):
        circuit.residuals("x", 5, None)
    with pytest.raises(TypeError, match="argument 'weight'"):
        circuit.residuals([1.0], 5, None, weight=3)
    with pytest.raises(ValueError, match="must have the same length"):
        circuit.residuals([1.0], [1.0, 2.0], [1.0], weight="bogus")


# --- concurrency --------------------------------------------------------------

def test_threads_evaluate_the_same_circuit_concurrently():
    circuit = kovrant.Circuit("L0-R0-(R1,CPE1)-(R2-W2,CPE2)").with_values(
        [1e-6, 0.02, 0.05, 1.5, 0.9, 0.1, 20.0, 3.0, 0.8])
    sizes = [10, 1000, 5000]
    expected = {n: circuit.impedance(np.logspace(-2, 5, n)) for n in sizes}
    failures = []

    def work(n):
        for _ in range(20):
            if not np.array_equal(circuit.impedance(np.logspace(-2, 5, n)), expected[n]):
                failures.append(n)
            circuit.jacobian(circuit.param_values(), [1.0, 10.0], [1.0, 1.0])

    threads = [threading.Thread(target=work, args=(sizes[i % 3],)) for i in range(9)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert failures == []


@pytest.mark.parametrize("method", ["impedance", "residuals", "jacobian"])
def test_numerical_work_releases_the_gil(method):
    # With a huge switch interval the ticker thread can only run while the
    # main thread gives the GIL up by itself, as the call under test must.
    circuit = kovrant.Circuit("L0-R0-(R1,CPE1)-(R2-Wo2,CPE2)")
    params = circuit.param_values()
    frequencies = np.logspace(-3, 6, 2_000_000 if method == "impedance" else 200_000)
    measured = np.ones(len(frequencies), dtype=complex)
    calls = {
        "impedance": lambda: circuit.impedance(frequencies),
        "residuals": lambda: circuit.residuals(params, frequencies, measured),
        "jacobian": lambda: circuit.jacobian(params, frequencies[:20_000], measured[:20_000]),
    }
    ticks = [0]
    stop = threading.Event()

    def ticker():
        while not stop.is_set():
            ticks[0] += 1
            stop.wait(0.0005)

    interval = sys.getswitchinterval()
    sys.setswitchinterval(100.0)
    thread = threading.Thread(target=ticker)
    try:
        thread.start()
        stop.wait(0.05)
        before = ticks[0]
        calls[method]()
        during = ticks[0] - before
    finally:
        stop.set()
        sys.setswitchinterval(interval)
        thread.join()
    assert during > 0
