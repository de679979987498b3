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

    class NoLength:  # a failing len() is only a size hint
        def __len__(self):
            raise RuntimeError("no length")

        def __getitem__(self, index):
            return [5j, 6][index]

    class Broken:
        def __complex__(self):
            raise ArithmeticError("item 1")

    values = [WithComplex(), WithFloat(), WithIndex(), np.complex64(4 + 4j), True]
    assert measured(empty_circuit, (1.0,) * 5, values) == [1 - 1j, 2.5, 3, 4 + 4j, 1]
    assert measured(empty_circuit, [1.0, 2.0], NoLength()) == [5j, 6]
    with pytest.raises(ArithmeticError, match="item 1"):  # the first failing item's own error
        empty_circuit.residuals([], [1.0, 2.0, 3.0], [1.0, Broken(), "x"])


@pytest.mark.parametrize("make", [
    lambda values, dtype: np.array(values, dtype=dtype),
    lambda values, dtype: np.array(values, dtype=dtype)[::-1][::-1],
    lambda values, dtype: np.repeat(np.array(values, dtype=dtype), 2)[::2],
    lambda values, dtype: np.array(values, dtype=np.dtype(dtype).newbyteorder(">")),
    lambda values, dtype: np.array(values, dtype=dtype).reshape(1, -1)[0],
], ids=["contiguous", "view", "strided", "big-endian", "row"])
@pytest.mark.parametrize("float_dtype, complex_dtype", [(np.float64, np.complex128), (np.float32, np.complex64)])
def test_numpy_layouts_read_like_lists(make, float_dtype, complex_dtype):
    frequencies = [0.5, 3.0, 70.0, 1e4]
    impedances = [1 + 1j, 2 - 2j, -0.5j, 7.25]
    circuit = kovrant.Circuit("R0-(R1,C1)")
    params = [1.0, 2.0, 3e-3]
    expected = circuit.residuals(params, np.array(frequencies, dtype=float_dtype).tolist(),
                                 np.array(impedances, dtype=complex_dtype).tolist())
    got = circuit.residuals(params, make(frequencies, float_dtype), make(impedances, complex_dtype))
    assert got == expected
    assert list(circuit.impedance(make(frequencies, float_dtype))) == list(
        circuit.impedance(np.array(frequencies, dtype=float_dtype).tolist()))


def test_two_dimensional_arrays_are_refused(empty_circuit):
    with pytest.raises(TypeError, match="only 0-dimensional arrays"):
        empty_circuit.residuals([], np.ones((2, 2)), [1.0, 1.0])
    with pytest.raises(TypeError):
        empty_circuit.residuals([], [1.0, 1.0], np.ones((2, 2), dtype=complex))


@pytest.mark.parametrize("first, second, error, message", [
    ([1.0, 2.0], [1.0], ValueError, "frequencies and impedances must have the same length"),
    ([1.0], "1", TypeError, "Can't extract `str` to `Vec`"),
    ([1.0], 1 + 1j, TypeError, "'complex' object cannot be converted to 'Sequence'"),
    (1.0, [1.0], TypeError, "'float' object cannot be converted to 'Sequence'"),
    ([1.0], ["1"], TypeError, "must be real number, not str"),
    (["1"], [1.0], TypeError, "must be real number, not str"),
])
def test_two_sequence_errors(empty_circuit, first, second, error, message):
    with pytest.raises(error) as failure:
        empty_circuit.residuals([], first, second)
    assert str(failure.value) == message


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
@pytest.mark.parametrize("columns", [
    dict(f=[1.0, 10.0, 0.0], re=[1.0, 2.0, 9.0], im=[-3.0, -4.0, 9.0]),
    dict(f2=[1.0, 10.0, -1.0], re2=[1.0, 2.0, 9.0], im2=[-3.0, -4.0, 9.0]),
    dict(f=[1.0, 10.0, math.nan], mod=[math.sqrt(10), math.sqrt(20), 1.0], ph2=[-71.56505117707799,
                                                                          -63.43494882292201, 1.0]),
    dict(f2=[1.0, 10.0, 0.0], mod2=[math.sqrt(10), math.sqrt(20), 1.0], ph=[-71.56505117707799,
                                                                         -63.43494882292201, 1.0]),
], ids=["first-names", "second-names", "modulus-phase", "modulus-phase-second-names"])
def test_frame_columns_and_dropped_rows(empty_circuit, make, columns):
    assert measured(empty_circuit, make(frame(**columns))) == pytest.approx([1 - 3j, 2 - 4j], abs=1e-14)


def test_first_frequency_name_wins():
    data = frame(f=[1.0, 2.0], f2=[5.0, 6.0], re=[0.0, 0.0], im=[0.0, 0.0])
    assert frequencies_read(data) == pytest.approx([1.0, 2.0])


@pytest.mark.parametrize("data, message", [
    (frame(f=[0.0], re=[1.0], im=[1.0]),
     f"no measured points: every row of the {FREQUENCY} column is zero or negative"),
    (frame(re=["x"], im=[1.0]),
     f"expected a dataframe with a {FREQUENCY} column, or frequencies and impedances as two arguments"),
    ([1.0, 2.0], f"expected a dataframe with a {FREQUENCY} column, or frequencies and impedances as two arguments"),
    (frame(f=[1.0], re=[1.0], ph=[1.0]),
     f"no impedance columns: expected {REAL} together with {IMAGINARY}, or {MODULUS} together with {PHASE}"),
    (frame(f=[1.0], re=[1.0, 2.0], im=[1.0]), "real and imaginary impedance columns must have the same length"),
    (frame(f=[1.0], mod=[1.0], ph=[1.0, 2.0]), "absolute impedance and phase columns must have the same length"),
    (frame(f=[1.0, 2.0, 3.0], re=[1.0, 2.0], im=[1.0, 2.0]),
     f"frequency column has 3 rows but {REAL} and {IMAGINARY} have 2"),
    (frame(f=[1.0], re=[1.0], im=[1.0], ph=["a"]), 'column "Phase / deg" is not numeric'),
    (pd.DataFrame(frame(f=[1.0, 2.0], re=[1.0, 2.0], im=[0.0, 0.0], ph2=["a", "b"])),
     'column "phase_degree" is not numeric'),
    (frame(f2=[1.0], re=[1.0], im="abc"), 'column "Imaginary Impedance / ohm" is not numeric'),
    (frame(f2=[1.0], re=[1.0], im=3.0), 'column "Imaginary Impedance / ohm" is not numeric'),
])
def test_frame_errors(empty_circuit, data, message):
    with pytest.raises(ValueError) as failure:
        empty_circuit.residuals([], data)
    assert str(failure.value) == message


def test_impedances_none_selects_the_frame_form(empty_circuit):
    data = frame(f=[1.0], re=[1.0], im=[2.0])
    assert empty_circuit.residuals([], data, impedances=None, weight="unit") == [-1.0, -2.0]
    assert empty_circuit.residuals([], data, None) == empty_circuit.residuals([], data)
