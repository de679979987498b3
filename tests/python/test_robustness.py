"""Hostile and extreme inputs, reference counting, threads and fork."""

import math
import os
import struct
import subprocess
import sys

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import kovrant
from conftest import KINDS, child_exit_code
from kovrant import Circuit, Element, Parallel, Series
from kovrant_tools import preprocessing as pre

# --- large and deep inputs ----------------------------------------------------

def test_megabyte_series_notation():
    text = "-".join(f"R{i}" for i in range(150_000))
    assert len(text) > 1_000_000
    circuit = Circuit(text)
    names = circuit.param_names()
    assert len(names) == 150_000 and names[-1] == "R149999.r"
    assert list(circuit.impedance([1.0, 2.0, 3.0])) == [150_000 + 0j] * 3
    assert repr(circuit).count("\n") == 150_000


@pytest.mark.parametrize("text, first_line", [
    ("R0-" + "7" * 1_000_000, "unexpected character at position 3"),
    ("(" * 1_000_000 + "R0" + ")" * 1_000_000, "parallel groups nested deeper than 256 levels at position 256"),
])
def test_megabyte_bad_notation_is_reported(text, first_line):
    with pytest.raises(ValueError) as failure:
        Circuit(text)
    lines = str(failure.value).split("\n")
    assert lines[0] == first_line
    assert lines[2] == "  " + text


# --- non-finite numbers -----------------------------------------------------

@pytest.mark.parametrize("value", [math.nan, math.inf, -math.inf, -1.0, 0.0])
def test_odd_values_and_frequencies_do_not_fail(value):
    circuit = Circuit("R0-(R1,CPE1)").with_values([value, 1.0, 1e-3, 0.8])
    assert (np.isfinite(circuit.impedance([1.0, 1e3])) == math.isfinite(value)).all()
    assert len(circuit.residuals([value, 1.0, 1e-3, 0.8], [1.0], [1.0])) == 2
    assert len(circuit.jacobian([value, 1.0, 1e-3, 0.8], [1.0], [1.0])) == 2
    z = Circuit("L0-R0-(R1,CPE1)-(R2-Wo2,CPE2)-T3-Gs4-Tlmq5").impedance([value] * 1200)
    assert z.shape == (1200,)
    assert np.array_equal(z[:1], z[1:2], equal_nan=True)


# --- lone surrogates -----------------------------------------------------------

def test_lone_surrogates_are_reported():
    for text in ["\ud800", "R0-\udfff", "R\udc00", "  \ud83d\ude00  ", "R0-(R1,\ud800C1)"]:
        with pytest.raises(ValueError) as failure:
            Circuit(text)
        lines = str(failure.value).split("\n")
        assert lines[2] == "  " + text.strip()
        assert lines[0].startswith("unexpected character at position")
        assert lines[3] == "  " + " " * int(lines[0].rsplit(" ", 1)[1]) + "^"
    with pytest.raises(ValueError) as failure:
        Circuit("R0").with_named_values({"R0.r": 1.0, "R0.\ud800": 2.0})
    assert str(failure.value).startswith('unknown parameter "R0.\ud800" (did you mean "R0.r"?)\n')
    with pytest.raises(ValueError) as failure:
        Circuit("R0").residuals([1.0], [1.0], [1.0], weight="\udfff")
    assert str(failure.value) == 'unknown weight scheme "\udfff", expected "modulus" or "unit"'
    with pytest.raises(ValueError, match="is not numeric"):
        Circuit("R0").residuals([1.0], {"Frequency / Hz": ["\ud800"], "real_impedance_ohm": [1.0],
                                        "imaginary_impedance_ohm": [1.0]})


# --- objects whose protocol methods raise ------------------------------------

class Raising:
    def __init__(self, exception):
        self.exception = exception

    def __len__(self):
        raise self.exception

    def __getitem__(self, index):
        raise self.exception

    def __float__(self):
        raise self.exception

    def __complex__(self):
        raise self.exception


class Lookup:
    """Item access that fails for some names with a chosen exception."""

    def __init__(self, columns, failures):
        self.columns = columns
        self.failures = failures

    def __getitem__(self, name):
        if name in self.failures:
            raise self.failures[name]
        return self.columns[name]


FRAME = {"frequency_hertz": [1.0], "real_impedance_ohm": [2.0], "imaginary_impedance_ohm": [3.0]}


@pytest.mark.parametrize("exception", [RuntimeError, LookupError, KeyboardInterrupt, MemoryError])
def test_raising_protocols_never_crash_and_interrupts_reach_the_caller(exception):
    ordinary = exception not in (KeyboardInterrupt, MemoryError)
    circuit = Circuit("R0-C1")
    raising = Raising(exception())
    calls = [
        lambda: circuit.with_values([raising, 1.0]),
        lambda: circuit.with_values(raising),
        lambda: circuit.with_named_values({"R0.r": raising, "C1.c": 1.0}),
        lambda: circuit.impedance(raising),
        lambda: circuit.impedance([raising]),
        lambda: circuit.impedance({"Frequency / Hz": raising}),
        lambda: circuit.impedance({"Frequency / Hz": [raising]}),
        lambda: circuit.residuals(raising, [1.0], [1.0]),
        lambda: circuit.residuals([1.0, 1.0], raising, [1.0]),
        lambda: circuit.residuals([1.0, 1.0], [1.0], raising),
        lambda: circuit.residuals([1.0, 1.0], [1.0], [raising]),
        lambda: circuit.residuals([1.0, 1.0], raising),
        lambda: circuit.residuals([1.0, 1.0], dict(FRAME, real_impedance_ohm=[raising])),
        lambda: circuit.jacobian([1.0, 1.0], raising),
        lambda: Element.R(raising),
        lambda: Series(raising),
    ]
    for call in calls:
        with pytest.raises((exception, ValueError, TypeError) if ordinary else exception):
            call()
    with pytest.raises(TypeError, match="expected Element or Circuit items"):
        Parallel([Element.R(1.0), raising])
    # A column lookup failing with an ordinary error means that the column is absent.
    for name in ["Frequency / Hz", "Phase / deg"]:
        data = Lookup(FRAME, {name: exception()})
        if ordinary:
            assert Series([]).residuals([], data, weight="unit") == [-2.0, -3.0]
        else:
            with pytest.raises(exception):
                circuit.residuals([1.0, 1.0], data)


# --- reference counts -------------------------------------------------------------

def refcount_change(action, *objects, repeat=200):
    action()
    before = [sys.getrefcount(obj) for obj in objects]
    for _ in range(repeat):
        action()
    after = [sys.getrefcount(obj) for obj in objects]
    return [a - b for a, b in zip(after, before)]


def test_calls_keep_reference_counts_balanced():
    circuit = Circuit("R0-(R1,CPE1)")
    marker = 1.2345e-6
    values = [marker, 2.0, 3.0, 0.5]
    frequencies = [1.0, 10.0]
    impedances = [1 + 1j, 2 + 2j]
    frame = {"Frequency / Hz": frequencies, "real_impedance_ohm": [1.0, 2.0], "imaginary_impedance_ohm": [1.0, 2.0]}
    named = dict(zip(circuit.param_names(), values))
    element = Element.Cpe(1e-5, 0.9)
    bad = [marker, "x"]

    def failing():
        for call in (lambda: circuit.with_values(bad), lambda: circuit.impedance(bad),
                     lambda: circuit.residuals(bad, bad, bad), lambda: Series(bad),
                     lambda: circuit.with_named_values({"R0.r": marker, "x": "y"})):
            with pytest.raises((TypeError, ValueError)):
                call()

    actions = [
        lambda: circuit.with_values(values),
        lambda: circuit.with_named_values(named),
        lambda: circuit.impedance(frequencies),
        lambda: circuit.impedance(frame),
        lambda: circuit.residuals(values, frequencies, impedances),
        lambda: circuit.jacobian(values, frame),
        lambda: repr(circuit),
        lambda: circuit.param_bounds(),
        lambda: Series([element, circuit]),
        lambda: Parallel([element, circuit]),
        failing,
    ]
    for action in actions:
        assert refcount_change(action, circuit, marker, values, frequencies, impedances, frame, named,
                               element, bad) == [0] * 9


def test_instances_release_their_types():
    types = (Circuit, Element.R, kovrant.Element)
    before = [sys.getrefcount(cls) for cls in types]
    for _ in range(500):
        Circuit("R0-C1")
        Series([Element.R(1.0)])
        Circuit("R0").impedance([1.0, 2.0])
    assert [sys.getrefcount(cls) for cls in types] == before


# --- properties ------------------------------------------------------------------

finite_or_not = st.floats(allow_nan=True, allow_infinity=True)


def bits(value):
    return struct.pack("<d", value)


@given(st.lists(finite_or_not, min_size=4, max_size=4))
def test_with_values_round_trips_every_double(values):
    back = Circuit("R0-(R1,CPE1)").with_values(values).param_values()
    assert [bits(v) for v in back] == [bits(v) for v in values]


@given(finite_or_not)
def test_repr_numbers_read_back(value):
    plain = repr(Circuit("R0").with_values([value])).split("\n")[1].split("=")[1].split("[")[0].strip()
    literal = repr(Element.R(value))[len("Element.R(r="):-1]
    for text in (plain, literal):
        assert float(text) == value or (math.isnan(value) and math.isnan(float(text)))
    assert "." in literal or "e" in literal or literal in ("inf", "-inf", "NaN")
    assert "+" not in plain + literal


@settings(max_examples=300)
@given(st.text(alphabet=st.sampled_from("RCLWaoespKZrcTQ0123456789-,()p \t\ud800é"), max_size=40))
def test_any_notation_parses_or_reports(text):
    try:
        circuit = Circuit(text)
    except ValueError as error:
        assert "\nsyntax:\n" in str(error)
    else:
        assert len(circuit.param_names()) == len(circuit.param_values()) == len(circuit.param_bounds())
        assert circuit.impedance([1.0]).shape == (1,)


@given(st.lists(st.floats(min_value=1e-3, max_value=1e6), min_size=0, max_size=30),
       st.lists(st.floats(min_value=1e-3, max_value=1e3), min_size=4, max_size=4))
def test_unit_residuals_equal_model_minus_measurement(frequencies, params):
    circuit = Circuit("R0-(R1,CPE1)")
    params[3] = min(params[3], 1.0)
    measured = [complex(f, -f) for f in frequencies]
    r = circuit.residuals(params, frequencies, measured, weight="unit")
    model = circuit.with_values(params).impedance(frequencies)
    assert r == [part for m, z in zip(model, measured) for part in ((m - z).real, (m - z).imag)]


@given(st.lists(st.sampled_from([name for name, _, _, _ in KINDS]), max_size=12), st.booleans())
def test_compositions_count_parameters(kinds, parallel):
    counts = {name: len(fields) for name, fields, _, _ in KINDS}
    parts = [getattr(Element, kind)(*([0.5] * counts[kind])) for kind in kinds]
    circuit = (Parallel if parallel else Series)(parts)
    assert len(circuit.param_names()) == sum(counts[kind] for kind in kinds)
    assert circuit.param_values() == [0.5] * len(circuit.param_names())


# --- fork ------------------------------------------------------------------------

@pytest.mark.skipif(not hasattr(os, "fork"), reason="needs fork")
def test_child_process_evaluates_after_fork():
    circuit = Circuit("L0-R0-(R1,CPE1)-(R2-Wo2,CPE2)").with_values(
        [1e-6, 0.02, 0.05, 1.5, 0.9, 0.1, 0.3, 20.0, 3.0, 0.8])
    frequencies = np.logspace(-3, 6, 10_000)
    expected = circuit.impedance(frequencies)
    assert np.array_equal(expected, circuit.impedance(frequencies))

    pid = os.fork()
    if pid == 0:
        try:
            ok = np.array_equal(circuit.impedance(frequencies), expected)
            ok = ok and len(circuit.jacobian(circuit.param_values(), frequencies[:50], expected[:50])) == 100
            os._exit(0 if ok else 1)
        finally:
            os._exit(2)

    assert child_exit_code(pid, seconds=60) == 0, "the child hung or failed after fork"


def test_argument_errors_keep_unencodable_reasons():
    class Odd:
        def __float__(self):
            raise TypeError("bad \ud800 value")

    with pytest.raises(TypeError) as failure:
        Element.R(Odd())
    assert str(failure.value) == "argument 'r': bad \ud800 value"
    assert isinstance(failure.value.__cause__, TypeError)


# --- interpreter exit ---------------------------------------------------------------

# Daemon threads still inside kovrant calls when the program ends: CPython ends
# them at exit while they wait for the GIL, which must not abort the process.
BUSY_AT_EXIT = """
import threading, time
import numpy as np
import kovrant

circuit = kovrant.Circuit("R0-(R1,CPE1)")
frequencies = np.logspace(-2, 5, 3000)
impedances = circuit.with_values([5.0, 20.0, 1e-4, 0.9]).impedance(frequencies)
calls = [lambda: circuit.impedance(frequencies), lambda: circuit.guess(frequencies, impedances),
         lambda: circuit.fit(frequencies[::30], impedances[::30]),
         lambda: circuit.fit(frequencies[::30], impedances[::30], method="nelder_mead")]

def forever(call):
    while True:
        call()

for call in calls * 2:
    threading.Thread(target=forever, args=(call,), daemon=True).start()
time.sleep(0.3)
"""


def test_exit_with_daemon_threads_inside_calls():
    for _ in range(4):
        child = subprocess.run([sys.executable, "-c", BUSY_AT_EXIT], capture_output=True, text=True, timeout=120)
        assert child.returncode == 0, child.stderr[-2000:]


# --- degenerate preprocessing arguments -----------------------------------------------

@pytest.mark.parametrize("step, message", [
    (lambda s: pre.crop(s, f_min=math.nan), "f_min must be a frequency in Hz or None, got nan"),
    (lambda s: pre.crop(s, f_max="100"), "f_max must be a frequency in Hz or None, got '100'"),
    (lambda s: pre.drop_inductive(s, above=math.nan), "above must be a frequency in Hz, got nan"),
    (lambda s: pre.merge_repeated(s, rtol=math.nan), "rtol must be a finite number, 0 or more, got nan"),
    (lambda s: pre.merge_repeated(s, rtol=math.inf), "rtol must be .* got inf"),
    (lambda s: pre.merge_repeated(s, rtol=-1e-9), "rtol must be .* got -1e-09"),
    (lambda s: pre.merge_repeated((np.r_[s[0][:3], np.nan, s[0][3:]], np.r_[s[1][:3], 1.0, s[1][3:]])),
     "merge_repeated needs finite frequencies: point 3 has frequency nan"),
])
def test_preprocessing_refuses_degenerate_arguments(step, message):
    frequencies = np.logspace(3, -1, 150)
    with pytest.raises(ValueError, match=message):
        step((frequencies, np.ones(150) * (1 - 1j)))
