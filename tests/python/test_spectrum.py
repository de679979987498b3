"""Spectra as two sequences or as a battery-data-format frame.

Residuals of the empty circuit (model impedance 0) with unit weights are the
negated measurements, which makes the spectrum that was read visible.
"""

import math

import numpy as np
import pandas as pd
import pytest

import kovrant

FREQUENCY = '"Frequency / Hz" or "frequency_hertz"'
REAL = '"Real Impedance / ohm" or "real_impedance_ohm"'
IMAGINARY = '"Imaginary Impedance / ohm" or "imaginary_impedance_ohm"'
MODULUS = '"Absolute Impedance / ohm" or "absolute_impedance_ohm"'
PHASE = '"Phase / deg" or "phase_degree"'


def measured(empty_circuit, first, second=None):
    r = empty_circuit.residuals([], first, second, weight="unit")
    return [complex(-re, -im) for re, im in zip(r[0::2], r[1::2])]


def frequencies_read(first, second=None):
    """The frequencies of a spectrum, recovered from a 1 F capacitor's model
    impedance -j/omega (its unit residuals plus the measured values)."""
    r = kovrant.Circuit("C0").residuals([1.0], first, second, weight="unit")
    z = measured(kovrant.Series([]), first, second)
    model = [complex(re, im) + m for re, im, m in zip(r[0::2], r[1::2], z)]
    return [-1.0 / (value.imag * 2 * math.pi) for value in model]


# --- two sequences ---------------------------------------------------------

def test_two_sequences_are_taken_unchanged(empty_circuit):
    z = [1 + 2j, 3.5, -4, 0j]
    assert measured(empty_circuit, [0.0, -1.0, 2.0, math.nan], z) == [1 + 2j, 3.5 + 0j, -4 + 0j, 0j]


def test_two_sequences_keep_zero_and_negative_frequencies():
    assert frequencies_read([0.5, -2.0], [1.0, 1.0]) == pytest.approx([0.5, -2.0])


def test_impedance_items_use_complex_conversion(empty_circuit):
    class WithComplex:
        def __complex__(self):
            return 1 - 1j

    class WithFloat:
        def __float__(self):
            return 2.5

    class WithIndex:
        def __index__(self):
            return 3

    values = [WithComplex(), WithFloat(), WithIndex(), np.complex64(4 + 4j), True]
    assert measured(empty_circuit, [1.0] * 5, values) == [1 - 1j, 2.5, 3, 4 + 4j, 1]


def test_numpy_arrays_and_tuples(empty_circuit):
    z = np.array([1 + 1j, 2 - 2j])
    assert measured(empty_circuit, np.array([1.0, 2.0]), z) == [1 + 1j, 2 - 2j]
    assert measured(empty_circuit, (1.0, 2.0), tuple(z)) == [1 + 1j, 2 - 2j]


@pytest.mark.parametrize("first, second, error, message", [
    ([1.0, 2.0], [1.0], ValueError, "frequencies and impedances must have the same length"),
    ([1.0], "1", TypeError, "Can't extract `str` to `Vec`"),
    ([1.0], 1 + 1j, TypeError, "'complex' object cannot be converted to 'Sequence'"),
    ([1.0], {1.0: 1.0}, TypeError, "'dict' object cannot be converted to 'Sequence'"),
    ("1", [1.0], TypeError, "Can't extract `str` to `Vec`"),
    (1.0, [1.0], TypeError, "'float' object cannot be converted to 'Sequence'"),
    ([1.0], ["1"], TypeError, "must be real number, not str"),
    (["1"], [1.0], TypeError, "must be real number, not str"),
])
def test_two_sequence_errors(empty_circuit, first, second, error, message):
    with pytest.raises(error) as failure:
        empty_circuit.residuals([], first, second)
    assert str(failure.value) == message


def test_first_failing_impedance_item_error_is_raised(empty_circuit):
    class Broken:
        def __complex__(self):
            raise ArithmeticError("item 1")

    with pytest.raises(ArithmeticError, match="item 1"):
        empty_circuit.residuals([], [1.0, 2.0, 3.0], [1.0, Broken(), "x"])


def test_impedance_length_failure_is_only_a_hint(empty_circuit):
    class NoLength:
        def __init__(self, items):
            self.items = items

        def __len__(self):
            raise RuntimeError("no length")

        def __getitem__(self, index):
            return self.items[index]

    assert measured(empty_circuit, [1.0, 2.0], NoLength([5j, 6])) == [5j, 6]


# --- frames -----------------------------------------------------------------

def frame(**columns):
    names = {
        "f": "Frequency / Hz", "f2": "frequency_hertz",
        "re": "Real Impedance / ohm", "re2": "real_impedance_ohm",
        "im": "Imaginary Impedance / ohm", "im2": "imaginary_impedance_ohm",
        "mod": "Absolute Impedance / ohm", "mod2": "absolute_impedance_ohm",
        "ph": "Phase / deg", "ph2": "phase_degree",
    }
    return {names[key]: value for key, value in columns.items()}


@pytest.mark.parametrize("make", [dict, pd.DataFrame], ids=["dict", "DataFrame"])
def test_frame_with_real_and_imaginary_columns(empty_circuit, make):
    data = make(frame(f=[1.0, 10.0], re=[1.0, 2.0], im=[-3.0, -4.0]))
    assert measured(empty_circuit, data) == [1 - 3j, 2 - 4j]


@pytest.mark.parametrize("make", [dict, pd.DataFrame], ids=["dict", "DataFrame"])
def test_frame_with_second_names(empty_circuit, make):
    data = make(frame(f2=[1.0, 10.0], re2=[1.0, 2.0], im2=[-3.0, -4.0]))
    assert measured(empty_circuit, data) == [1 - 3j, 2 - 4j]


def test_first_frequency_name_wins():
    data = frame(f=[1.0, 2.0], f2=[5.0, 6.0], re=[0.0, 0.0], im=[0.0, 0.0])
    assert frequencies_read(data) == pytest.approx([1.0, 2.0])


def test_real_and_imaginary_win_over_modulus_and_phase(empty_circuit):
    data = frame(f=[1.0], re=[1.0], im=[2.0], mod=[100.0], ph=[45.0])
    assert measured(empty_circuit, data) == [1 + 2j]


@pytest.mark.parametrize("modulus, phase, expected", [
    (2.0, 90.0, 2j), (2.0, 0.0, 2.0), (math.sqrt(2), -45.0, 1 - 1j), (1.0, 180.0, -1.0),
])
def test_modulus_and_phase_in_degrees(empty_circuit, modulus, phase, expected):
    (value,) = measured(empty_circuit, frame(f=[1.0], mod2=[modulus], ph2=[phase]))
    assert value == pytest.approx(expected, abs=1e-15)


def test_negative_phase_gives_negative_imaginary_part(empty_circuit):
    (value,) = measured(empty_circuit, frame(f=[1.0], mod=[5.0], ph=[-45.0]))
    assert value.imag < 0 and value.real > 0


def test_non_positive_frequencies_are_dropped_in_order(empty_circuit):
    data = frame(f=[1.0, 0.0, 2.0, -3.0, math.nan, 4.0], re=[1, 2, 3, 4, 5, 6], im=[0, 0, 0, 0, 0, 0])
    assert measured(empty_circuit, data) == [1, 3, 6]
    assert frequencies_read(data) == pytest.approx([1.0, 2.0, 4.0])


@pytest.mark.parametrize("data, message", [
    (frame(f=[0.0], re=[1.0], im=[1.0]),
     f"no measured points: every row of the {FREQUENCY} column is zero or negative"),
    (frame(f=[], re=[], im=[]),
     f"no measured points: every row of the {FREQUENCY} column is zero or negative"),
    (frame(re=[1.0], im=[1.0]),
     f"expected a dataframe with a {FREQUENCY} column, or frequencies and impedances as two arguments"),
    ({}, f"expected a dataframe with a {FREQUENCY} column, or frequencies and impedances as two arguments"),
    ([1.0, 2.0], f"expected a dataframe with a {FREQUENCY} column, or frequencies and impedances as two arguments"),
    (frame(f=[1.0], re=[1.0]),
     f"no impedance columns: expected {REAL} together with {IMAGINARY}, or {MODULUS} together with {PHASE}"),
    (frame(f=[1.0], re=[1.0], ph=[1.0]),
     f"no impedance columns: expected {REAL} together with {IMAGINARY}, or {MODULUS} together with {PHASE}"),
    (frame(f=[1.0], re=[1.0, 2.0], im=[1.0]), "real and imaginary impedance columns must have the same length"),
    (frame(f=[1.0], mod=[1.0], ph=[1.0, 2.0]), "absolute impedance and phase columns must have the same length"),
    (frame(f=[1.0, 2.0, 3.0], re=[1.0, 2.0], im=[1.0, 2.0]),
     f"frequency column has 3 rows but {REAL} and {IMAGINARY} have 2"),
    (frame(f=[1.0], mod=[1.0, 2.0], ph=[1.0, 2.0]),
     f"frequency column has 1 rows but {MODULUS} and {PHASE} have 2"),
    (frame(f=[1.0], re=[1.0], im=[1.0], ph=["a"]), 'column "Phase / deg" is not numeric'),
    (frame(f=[1.0], re=[1.0], im=[1.0], ph2=["a"]), 'column "phase_degree" is not numeric'),
    (frame(f=["1 Hz"], re=[1.0], im=[1.0]), 'column "Frequency / Hz" is not numeric'),
    (frame(f2=[1.0], re=[1.0], im="abc"), 'column "Imaginary Impedance / ohm" is not numeric'),
    (frame(f2=[1.0], re=[1.0], im=3.0), 'column "Imaginary Impedance / ohm" is not numeric'),
])
def test_frame_errors(empty_circuit, data, message):
    with pytest.raises(ValueError) as failure:
        empty_circuit.residuals([], data)
    assert str(failure.value) == message


def test_frequency_absence_is_reported_before_a_bad_impedance_column(empty_circuit):
    with pytest.raises(ValueError, match="expected a dataframe"):
        empty_circuit.residuals([], frame(re=["x"], im=[1.0]))


def test_pandas_string_column_is_not_numeric(empty_circuit):
    data = pd.DataFrame(frame(f=[1.0, 2.0], re=[1.0, 2.0], im=[0.0, 0.0], ph=["a", "b"]))
    with pytest.raises(ValueError, match='^column "Phase / deg" is not numeric$'):
        empty_circuit.residuals([], data)


def test_impedances_none_selects_the_frame_form(empty_circuit):
    data = frame(f=[1.0], re=[1.0], im=[2.0])
    assert measured(empty_circuit, data, None) == measured(empty_circuit, data)
    assert empty_circuit.residuals([], data, impedances=None, weight="unit") == [-1.0, -2.0]


class Lookup:
    """Item access that fails for some names with a chosen exception."""

    def __init__(self, columns, failures):
        self.columns = columns
        self.failures = failures

    def __getitem__(self, name):
        if name in self.failures:
            raise self.failures[name]
        return self.columns[name]


@pytest.mark.parametrize("exception", [ValueError("no"), TypeError("no"), RuntimeError("no"), LookupError("no")])
def test_ordinary_lookup_errors_mean_absent(empty_circuit, exception):
    data = Lookup(frame(f2=[1.0], re=[2.0], im=[3.0]), {"Frequency / Hz": exception})
    assert measured(empty_circuit, data) == [2 + 3j]


@pytest.mark.parametrize("exception", [KeyboardInterrupt, MemoryError, SystemExit, GeneratorExit])
@pytest.mark.parametrize("failing", ["Frequency / Hz", "frequency_hertz", "Phase / deg"])
def test_other_lookup_errors_propagate(empty_circuit, exception, failing):
    data = Lookup(frame(f2=[1.0], re=[2.0], im=[3.0]), {failing: exception()})
    with pytest.raises(exception):
        empty_circuit.residuals([], data)


@pytest.mark.parametrize("exception", [KeyboardInterrupt, MemoryError])
def test_other_errors_while_reading_a_column_propagate(empty_circuit, exception):
    class Exploding:
        def __float__(self):
            raise exception()

    with pytest.raises(exception):
        empty_circuit.residuals([], frame(f=[1.0], re=[Exploding()], im=[1.0]))
    with pytest.raises(exception):
        kovrant.Circuit("R0").impedance({"Frequency / Hz": [Exploding()]})
