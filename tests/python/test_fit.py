"""Circuit.fit and FitResult: argument conversion and the order of the checks,
the starting point, each method end to end, the result object, interrupts and
threads. The engine's numbers are pinned by the C++ tests."""

import math
import os
import pathlib
import re
import signal
import subprocess
import sys
import threading
import time
import warnings

import numpy as np
import pytest

from conftest import require_model
from guesser_files import MODELS, NO_MODEL, QUOTED_KEYS, WeightFiles, guesser_bytes, quoted
from kovrant import Circuit, FitResult, Series
from tools import synthetic_spectra

METHODS = ["levenberg_marquardt", "nelder_mead", "simulated_annealing", "basin_hopping",
           "particle_swarm", "differential_evolution"]
SEEDED = ["simulated_annealing", "basin_hopping", "particle_swarm"]
# Budgets small enough for a fast suite, large enough to reach the minimum.
SMALL = dict(num_particles=30, generations=30, de_evaluations=500, sa_iterations=300,
             basin_hopping_hops=3, nelder_mead_iterations=300)

NO_MODEL_WARNING = (
    "There is no ML model to guess initial parameters for this circuit. Supply your own with "
    "Circuit.with_named_values({...}) or Circuit.with_values([...]), or pass guess_init=False to "
    "silence this. Models available for " + QUOTED_KEYS)


def unknown_method(name):
    return (f"unknown fit method {quoted(name)}, expected one of \"levenberg_marquardt\", "
            "\"particle_swarm\", \"nelder_mead\", \"differential_evolution\", "
            "\"simulated_annealing\", \"basin_hopping\"")


# No built-in model has this topology.
ORPHAN = "R0-(R1,C1)-W2"
ORPHAN_NAMES = ["R0.r", "R1.r", "C1.c", "W2.aw"]
RQ = "R0-(R1,CPE1)"
RQ_NAMES = ["R0.r", "R1.r", "CPE1.q", "CPE1.alpha"]
RQ_TRUE = [2.0, 30.0, 1e-4, 0.8]
RQ_START = [5.0, 10.0, 1e-3, 0.6]


def spectrum(circuit=RQ, values=RQ_TRUE, n=30, noise=0.0, seed=0):
    f = np.logspace(5, -1, n)
    z = Circuit(circuit).with_values(values).impedance(f)
    if noise:
        rng = np.random.default_rng(seed)
        z = z + noise * np.abs(z) * (rng.standard_normal(n) + 1j * rng.standard_normal(n))
    return f, z


def outcome(result):
    """Everything a FitResult reports, for exact comparisons (NaN errors compare by their text)."""
    return (repr(result), result.params, repr(result.stderr), result.success, result.iterations,
            result.impedance_evals, result.cost, result.chi_square,
            result.circuit.param_values())


@pytest.fixture(scope="module")
def files(tmp_path_factory):
    return WeightFiles(tmp_path_factory.mktemp("fit_weights"))


@pytest.fixture
def no_warnings():
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        yield


# --- the order of the checks ------------------------------------------------------------

F, Z = spectrum()
VALUED = Circuit(RQ).with_values(RQ_START)
EMPTY_FRAME = {"frequency_hertz": [0.0, -1.0], "real_impedance_ohm": [1.0, 1.0],
               "imaginary_impedance_ohm": [0.0, 0.0]}

# Failing calls, with what fails first. A message ending in a space is checked as
# a prefix, None not at all.
ORDER = [
    # Argument conversion comes first, in signature order.
    ("conversion before spectrum", VALUED, ("abc", [1j]), dict(seed=-1), OverflowError, None),
    ("guess_init before seed", VALUED, (F, Z), dict(guess_init=1, seed=-1), TypeError,
     "argument 'guess_init': "),
    ("weights before weight", VALUED, (F, Z), dict(weights=1, weight=2), TypeError,
     "argument 'weights': "),
    ("weight before method", VALUED, (F, Z), dict(weight=2, method=3), TypeError,
     "argument 'weight': "),
    ("num_particles before seed", VALUED, (F, Z), dict(num_particles=1.5, seed=1.5), TypeError,
     "argument 'num_particles': "),
    # Then the spectrum, the weighting and the starting point.
    ("spectrum before weighting", VALUED, ([1.0, 2.0], [1j]), dict(weight="abs"), ValueError,
     "frequencies and impedances must have the same length"),
    ("empty dataframe before the fit", VALUED, (EMPTY_FRAME,), dict(method="x"), ValueError,
     "no measured points: every row of the "),
    ("weighting before the warning", Circuit(ORPHAN), (F, Z), dict(weight="abs"), ValueError,
     'unknown weight scheme "abs", expected "modulus" or "unit"'),
    ("weighting before guessing", Circuit(ORPHAN), (F, Z), dict(weight="Unit", guess_init=True),
     ValueError, 'unknown weight scheme "Unit", expected "modulus" or "unit"'),
    ("weighting before reading weights", VALUED, (F, Z), dict(weight="", weights="/nonexistent"),
     ValueError, 'unknown weight scheme "", expected "modulus" or "unit"'),
    ("guess before method name", Circuit(ORPHAN), (F, Z), dict(guess_init=True, method="x"),
     ValueError, NO_MODEL),
    ("weights before method name", VALUED, (F, Z),
     dict(weights="/nonexistent/w.eisnn", method="x"), ValueError,
     "reading weights: No such file or directory"),
    # Inside the fit: the method name, then the method's own checks.
    ("method name before empty spectrum", VALUED, ([], []), dict(method="Levenberg_Marquardt"),
     ValueError, unknown_method("Levenberg_Marquardt")),
    ("empty spectrum before no parameters", Series([]), ([], []), dict(guess_init=False),
     ValueError, "frequencies and impedances must not be empty"),
    ("no parameters before temperature", Series([]), ([1.0], [1j]),
     dict(method="simulated_annealing", sa_initial_temperature=0.0, guess_init=False),
     ValueError, "circuit topology has no parameters to fit"),
    # Non-finite floats reach the method unchanged, and its complaint is a ValueError.
    ("NaN ftol", VALUED, (F, Z), dict(ftol=math.nan), ValueError, "ftol must be >= 0"),
    ("temperature -inf", VALUED, (F, Z),
     dict(method="simulated_annealing", sa_initial_temperature=-math.inf), ValueError,
     'solver error: Invalid parameter: "`SimulatedAnnealing`: Initial temperature must be > 0."'),
    ("NaN temperature", VALUED, (F, Z),
     dict(method="simulated_annealing", sa_initial_temperature=math.nan), ValueError,
     "sa_initial_temperature must be a finite number > 0"),
    ("NaN hopping temperature", VALUED, (F, Z),
     dict(method="basin_hopping", basin_hopping_temperature=math.nan), ValueError,
     "basin_hopping_temperature must not be NaN"),
]


@pytest.mark.parametrize("name, circuit, args, kwargs, error, message", ORDER,
                         ids=[case[0] for case in ORDER])
def test_failures_come_in_order(no_warnings, name, circuit, args, kwargs, error, message):
    with pytest.raises(error) as failure:
        circuit.fit(*args, **kwargs)
    if message is not None:
        text = str(failure.value)
        assert text.startswith(message) if message.endswith(" ") else text == message


def test_unknown_method_comes_after_the_start_point(files):
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        with pytest.raises(ValueError) as failure:
            Circuit(ORPHAN).fit(F, Z, method="Levenberg_Marquardt")
    assert str(failure.value) == unknown_method("Levenberg_Marquardt")
    assert [str(w.message) for w in caught] == [NO_MODEL_WARNING]
    path = files.write(guesser_bytes(RQ, RQ_NAMES, np.random.default_rng(0)))
    with pytest.raises(ValueError) as failure:
        VALUED.fit([1.0], [1j], weights=path, method="nope")
    # A one-point spectrum cannot be guessed from: the guess ran first.
    assert str(failure.value) == "need at least 2 frequency points to guess, got 1"
    with pytest.raises(ValueError) as failure:
        VALUED.fit(F, Z, weights=path, method="nope")
    assert str(failure.value) == unknown_method("nope")


def test_dataframe_and_two_sequences_fit_alike():
    frame = {"Frequency / Hz": list(F), "Real Impedance / ohm": list(Z.real),
             "Imaginary Impedance / ohm": list(Z.imag)}
    assert outcome(VALUED.fit(frame)) == outcome(VALUED.fit(list(F), list(Z)))


# --- argument types and ranges ------------------------------------------------------

U32 = ["max_iterations", "num_particles", "de_evaluations", "basin_hopping_hops"]
U64 = ["generations", "nelder_mead_iterations", "sa_iterations", "seed"]
FLOATS = ["ftol", "xtol", "sa_initial_temperature", "basin_hopping_step_size",
          "basin_hopping_temperature"]


@pytest.mark.parametrize("name, value", [(n, 2**32) for n in U32] + [(n, 2**64) for n in U64]
                         + [(n, -1) for n in U32 + U64])
def test_integers_out_of_range_raise_overflow_error(name, value):
    with pytest.raises(OverflowError):
        VALUED.fit(F, Z, **{name: value})


@pytest.mark.parametrize("name, value", [(n, 1.5) for n in U32 + U64] + [(n, "1") for n in U32 + U64]
                         + [(n, "0.1") for n in FLOATS] + [(n, None) for n in FLOATS]
                         + [("guess_init", 1), ("guess_init", 0), ("guess_init", "yes"),
                            ("guess_init", 1.0), ("weight", 1), ("method", b"nelder_mead"),
                            ("weights", 0), ("weights", pathlib.Path("w.eisnn"))])
def test_wrong_argument_type_names_the_argument(name, value):
    with pytest.raises(TypeError) as failure:
        VALUED.fit(F, Z, **{name: value})
    assert str(failure.value).startswith(f"argument '{name}': ")


@pytest.mark.parametrize("kwargs", [
    dict(seed=2**64 - 1, method="simulated_annealing", sa_iterations=50),
    dict(seed=0, method="basin_hopping", basin_hopping_hops=1),
    dict(seed=np.uint64(7), method="particle_swarm", num_particles=3, generations=2),
    dict(max_iterations=2**32 - 1),
    dict(basin_hopping_hops=np.int16(1), method="basin_hopping"),
    dict(ftol=np.float32(1e-6), xtol=1),
])
def test_largest_and_numpy_integers_are_accepted(no_warnings, kwargs):
    assert isinstance(VALUED.fit(F, Z, **kwargs), FitResult)


# --- the starting point -----------------------------------------------------------------

ORPHAN_TRUE = [0.5, 3.0, 1e-3, 0.7]
FO, ZO = spectrum(ORPHAN, ORPHAN_TRUE, n=25)
GIVEN = [1.0, 2.0, 1e-2, 1.0]
# (weights, guess_init, start): "own" values, the "file" guess, or the error of a
# guess without a model. A weight file is given as "absent" where it must not be read.
START_RULES = [(None, None, "own"), (None, False, "own"), (None, np.bool_(False), "own"),
               (None, True, NO_MODEL), (None, np.bool_(True), NO_MODEL),
               ("file", None, "file"), ("file", True, "file"), ("file", np.bool_(True), "file"),
               ("absent", False, "own")]


@pytest.mark.parametrize("weights, guess_init, start", START_RULES)
@pytest.mark.parametrize("valued", [False, True])
def test_start_point_rules(files, valued, weights, guess_init, start):
    circuit = Circuit(ORPHAN).with_values(GIVEN) if valued else Circuit(ORPHAN)
    kwargs = dict(guess_init=guess_init)
    if weights == "file":
        kwargs["weights"] = files.write(guesser_bytes(ORPHAN, ORPHAN_NAMES, np.random.default_rng(0)))
    elif weights == "absent":
        kwargs["weights"] = str(files.directory / "never_written.eisnn")
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        try:
            result = circuit.fit(FO, ZO, **kwargs)
        except ValueError as error:
            result = error
    # Only a circuit of default values with guess_init unset and no model warns,
    # attributed to the caller's line, and then fits from those defaults.
    warns = not valued and weights is None and guess_init is None
    assert [(w.category, str(w.message), w.filename) for w in caught] == \
        ([(UserWarning, NO_MODEL_WARNING, __file__)] if warns else [])
    if start == NO_MODEL:
        assert isinstance(result, ValueError) and str(result) == NO_MODEL
        return
    assert not isinstance(result, ValueError), result
    values = (Circuit(ORPHAN).guess(FO, ZO, weights=kwargs["weights"]) if start == "file"
              else circuit.param_values())
    assert outcome(result) == outcome(Circuit(ORPHAN).with_values(values).fit(FO, ZO))
    assert circuit.param_values() == (GIVEN if valued else Circuit(ORPHAN).param_values())


def test_missing_model_warning_goes_through_the_warning_filters():
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        with pytest.raises(UserWarning) as failure:
            Circuit(ORPHAN).fit(FO, ZO)
    assert str(failure.value) == NO_MODEL_WARNING
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        warnings.filterwarnings("ignore", message="There is no ML model", category=UserWarning)
        Circuit(ORPHAN).fit(FO, ZO)
    assert caught == []


def test_weight_file_takes_the_place_of_a_built_in_model(files, no_warnings):
    path = files.write(guesser_bytes(RQ, RQ_NAMES, np.random.default_rng(5)))
    for circuit in (RQ, "(CPE1,R1)-R0", "rq"):
        guessed = Circuit(circuit).guess(F, Z, weights=path)
        assert outcome(Circuit(circuit).fit(F, Z, weights=path)) == \
            outcome(Circuit(circuit).with_values(guessed).fit(F, Z))


BUILT_IN_STARTS = [(m.key, m.key) for m in MODELS] + [
    ("rc", "(C1,R1)-R0"), ("rq", "(CPE1,R1)-R0"), ("rq", "R0-Zarc1"), ("two_rc", "K1-R0-K2")]


@pytest.mark.parametrize("key, circuit", BUILT_IN_STARTS, ids=[c for _, c in BUILT_IN_STARTS])
def test_built_in_guess_is_the_start(no_warnings, key, circuit):
    require_model(key)
    model = next(m for m in MODELS if m.key == key)
    drawn = synthetic_spectra.sample_spectrum(np.random.default_rng(len(circuit)), key, model.circuit,
                                              noise=0.01)
    f, z = drawn.frequencies, drawn.impedances
    guessed = Circuit(circuit).guess(f, z)
    from_guess = outcome(Circuit(circuit).with_values(guessed).fit(f, z))
    assert outcome(Circuit(circuit).fit(f, z)) == from_guess
    valued = Circuit(circuit).with_values(Circuit(circuit).param_values())
    assert outcome(valued.fit(f, z, guess_init=True)) == from_guess
    assert outcome(valued.fit(f, z)) == outcome(valued.fit(f, z, guess_init=False))


# --- FitResult ----------------------------------------------------------------------------


def _exponent(text):
    """'1.5e+20' -> '1.5e20', '1e-07' -> '1e-7'; text without an exponent as it is."""
    mantissa, _, exponent = text.partition("e")
    return f"{mantissa}e{int(exponent)}" if exponent else mantissa


def rust_float(value):
    """Shortest round-trip text with a fractional part, in exponent form below 1e-4 and
    from 1e16 on (where Python's repr switches too)."""
    return "NaN" if math.isnan(value) else _exponent(repr(value))


def scientific(value):
    return "NaN" if math.isnan(value) else _exponent(f"{value:.6e}")


def test_float_helpers_follow_the_documented_examples():
    assert [rust_float(v) for v in (1.0, 0.25, 1e-7, 1.5e20, 1e-4, 1e16, 0.0)] == \
        ["1.0", "0.25", "1e-7", "1.5e20", "0.0001", "1e16", "0.0"]
    assert [scientific(v) for v in (0.001234567890, 0.0, 12345.0)] == \
        ["1.234568e-3", "0.000000e0", "1.234500e4"]


REPR = re.compile(r"^FitResult\(success=(true|false), iterations=(\d+), impedance_evals=(\d+), "
                  r"chi_square=(\S+), params=\{(.*)\}\)$")
REPR_CASES = {
    "tiny value": (Circuit("R0").with_values([3e-7]), [1.0, 10.0], [3e-7, 3e-7]),
    "huge value": (Circuit("R0").with_values([1.5e20]), [1.0, 10.0], [1.6e20, 1.4e20]),
    "noisy rq": (VALUED, *spectrum(noise=0.02, seed=3)),
    "NaN start": (Circuit("R0").with_values([math.nan]), [1.0, 10.0], [0.5, 0.5]),
}


@pytest.mark.parametrize("name", list(REPR_CASES))
def test_repr_format(name):
    circuit, f, z = REPR_CASES[name]
    result = circuit.fit(f, z)
    match = REPR.match(repr(result))
    assert match, repr(result)
    success, iterations, evals, chi_square, params = match.groups()
    assert success == str(result.success).lower()
    assert (int(iterations), int(evals)) == (result.iterations, result.impedance_evals)
    assert chi_square == scientific(result.chi_square)
    entries = params.split(", ")
    assert sorted(entries) == sorted(f"{quoted(k)}: {rust_float(v)}" for k, v in result.params.items())


def test_repr_of_a_perfect_start_has_zero_chi_square():
    result = Circuit("R0").with_values([0.25]).fit([1.0, 10.0], [0.25, 0.25])
    assert repr(result) == ('FitResult(success=true, iterations=' + str(result.iterations)
                            + ', impedance_evals=' + str(result.impedance_evals)
                            + ', chi_square=0.000000e0, params={"R0.r": 0.25})')


def test_result_attributes_types_and_immutability():
    f, z = spectrum(noise=0.01, seed=2)
    result = VALUED.fit(f, z)
    assert isinstance(result.circuit, Circuit)
    assert type(result.params) is dict and set(result.params) == set(RQ_NAMES)
    assert all(type(v) is float for v in result.params.values())
    assert type(result.stderr) is dict and set(result.stderr) == set(RQ_NAMES)
    assert all(type(v) is float and v > 0 for v in result.stderr.values())
    assert result.success is True
    assert type(result.iterations) is int and result.iterations > 0
    assert type(result.impedance_evals) is int and result.impedance_evals > result.iterations
    assert type(result.cost) is float and result.chi_square == result.cost + result.cost
    residuals = np.asarray(VALUED.residuals([result.params[n] for n in RQ_NAMES], f, z))
    assert result.cost == pytest.approx(0.5 * float(residuals @ residuals), rel=1e-12)
    for name in ["circuit", "params", "stderr", "success", "iterations", "impedance_evals", "cost",
                 "chi_square"]:
        with pytest.raises(AttributeError):
            setattr(result, name, None)
        with pytest.raises(AttributeError):
            delattr(result, name)
    with pytest.raises(AttributeError):
        result.extra = 1
    params = result.params
    params["R0.r"] = -1.0
    assert result.params["R0.r"] != -1.0
    assert result.params is not result.params
    assert result.circuit is not result.circuit
    with pytest.raises(TypeError):
        type(result)()
    with pytest.raises(TypeError):
        FitResult.__new__(FitResult)


def test_fitted_circuit_holds_the_fitted_values_which_count_as_given(no_warnings):
    result = Circuit(ORPHAN).fit(FO, ZO, guess_init=False)
    fitted = result.circuit
    assert fitted.param_names() == ORPHAN_NAMES
    assert fitted.param_values() == [result.params[n] for n in ORPHAN_NAMES]
    np.testing.assert_array_equal(fitted.impedance(FO),
                                  Circuit(ORPHAN).with_values(fitted.param_values()).impedance(FO))
    # No warning and no guess, with or without a built-in model.
    assert outcome(fitted.fit(FO, ZO)) == outcome(fitted.fit(FO, ZO, guess_init=False))
    require_model("rq")
    fitted = Circuit(RQ).fit(F, Z).circuit
    assert outcome(fitted.fit(F, Z)) == outcome(fitted.fit(F, Z, guess_init=False))


@pytest.mark.parametrize("circuit, f, z, stderr_names", [
    (RQ, [10.0, 1000.0], [3 - 1j, 2 - 0.5j], None),  # 4 residuals, 4 parameters
    ("R0", [1.0], [2.0 + 0.5j], {"R0.r"}),  # one degree of freedom
])
def test_stderr_needs_degrees_of_freedom(no_warnings, circuit, f, z, stderr_names):
    result = Circuit(circuit).fit(f, z, guess_init=False)
    assert (None if result.stderr is None else set(result.stderr)) == stderr_names
    assert all(math.isfinite(v) for v in (result.stderr or {}).values())
    assert math.isfinite(result.cost) and result.chi_square == 2 * result.cost


def test_parameters_sharing_a_name_are_warned_of_once():
    cell = Circuit("R0-(R1,C1)").with_values([1.0, 10.0, 1e-3])
    f, z = spectrum("R0-(R1,C1)-R2-(R3,C4)", [1.0, 10.0, 1e-3, 2.0, 40.0, 1e-2])
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        result = Series([cell, cell]).fit(f, z)
    assert [str(w.message) for w in caught] == [
        "FitResult.params and FitResult.stderr hold 3 names for the circuit's 6 parameters: parameters "
        "that share a name keep only the last one's value; FitResult.circuit holds every fitted value"]
    assert caught[0].category is UserWarning
    assert len(result.params) == 3 and len(result.circuit.param_values()) == 6


# --- the methods ---------------------------------------------------------------------------


@pytest.mark.parametrize("method", METHODS)
def test_method_recovers_known_parameters(no_warnings, method):
    seed = dict(seed=11) if method in SEEDED else {}
    result = VALUED.fit(F, Z, method=method, **SMALL, **seed)
    np.testing.assert_allclose([result.params[n] for n in RQ_NAMES], RQ_TRUE, rtol=1e-6)
    assert result.success
    assert result.cost < 1e-20


def test_spectrum_beyond_the_square_range_of_doubles_fits_like_its_unscaled_form(no_warnings):
    # Every parameter scales with the impedance, so no default bound interferes.
    f, z = spectrum("R0-(R1,L1)", [2.0, 30.0, 1e-3], noise=0.02)
    start = Circuit("R0-(R1,L1)").with_values([5.0, 10.0, 3e-3])
    scale = 1e160
    plain = start.fit(f, z)
    scaled = Circuit("R0-(R1,L1)").with_values([v * scale for v in start.param_values()]).fit(f, z * scale)
    assert scaled.success
    assert scaled.chi_square == pytest.approx(plain.chi_square, rel=1e-9)
    np.testing.assert_allclose(scaled.circuit.param_values(),
                               np.multiply(plain.circuit.param_values(), scale), rtol=1e-9)


NASTY = {
    "NaN measurement": (F, np.where(np.arange(len(Z)) == 4, complex(math.nan, 0), Z)),
    "all NaN": (F, np.full(len(Z), complex(math.nan, math.nan))),
    "infinite measurement": (F, np.where(np.arange(len(Z)) == 0, complex(math.inf, -1), Z)),
    "zero and NaN frequency": (np.where(np.arange(len(F)) == 2, 0.0,
                                        np.where(np.arange(len(F)) == 7, math.nan, F)), Z),
    "all frequencies zero": (np.zeros(len(F)), Z),
    "zero impedances": (F, np.zeros(len(Z), complex)),
}


@pytest.mark.parametrize("name", list(NASTY))
@pytest.mark.parametrize("method", METHODS)
def test_non_finite_and_zero_data_neither_crash_nor_hang(no_warnings, method, name):
    f, z = NASTY[name]
    seed = dict(seed=2) if method in SEEDED else {}
    try:
        result = VALUED.fit(f, z, method=method, **SMALL, **seed)
    except ValueError:
        return
    assert len(result.params) == 4


# --- interrupts, the GIL and threads -----------------------------------------------------

# About ten seconds of work each on a 2-core machine: a fit that ignored the
# signal would end late and fail the bound instead of hanging the suite.
LONG = {
    "differential_evolution": dict(de_evaluations=800_000),
    "simulated_annealing": dict(sa_iterations=10_000_000),
    "particle_swarm": dict(num_particles=50, generations=150_000),
    "basin_hopping": dict(basin_hopping_hops=80_000),
    "nelder_mead": dict(nelder_mead_iterations=1_500_000),
    "levenberg_marquardt": dict(max_iterations=2**32 - 1, ftol=0.0, xtol=0.0),
}


def long_fit_inputs(method):
    if method == "nelder_mead":
        # NaN costs never let the simplex converge.
        return Circuit(RQ).with_values(RQ_START[:3] + [math.nan]), F, Z
    if method == "levenberg_marquardt":
        # Many noisy points and a far start keep the nine solves busy.
        f, z = spectrum("R0-(R1-W1,CPE1)", [0.5, 4.0, 2.0, 1e-3, 0.85], n=100_000, noise=0.05)
        return Circuit("R0-(R1-W1,CPE1)").with_values([1e3, 1e-3, 1e2, 1.0, 0.2]), f, z
    return VALUED, F, Z


# Sends SIGINT to a process from outside, as a terminal's Ctrl-C does, and
# prints the monotonic time (shared by all processes) of sending.
_CTRL_C = ("import os, signal, sys, time; time.sleep(0.3); sent = time.monotonic(); "
           "os.kill(int(sys.argv[1]), signal.SIGINT); print(repr(sent))")


@pytest.fixture
def ctrl_c_raises():
    """Python's own SIGINT handler, even where the suite runs as a background
    job and inherits SIGINT as ignored."""
    previous = signal.signal(signal.SIGINT, signal.default_int_handler)
    yield
    signal.signal(signal.SIGINT, previous)


@pytest.mark.parametrize("method", list(LONG))
def test_ctrl_c_interrupts_a_long_fit(method, ctrl_c_raises):
    circuit, f, z = long_fit_inputs(method)
    sender = subprocess.Popen([sys.executable, "-c", _CTRL_C, str(os.getpid())],
                              stdout=subprocess.PIPE, text=True)
    try:
        with pytest.raises(KeyboardInterrupt):
            circuit.fit(f, z, method=method, seed=1, **LONG[method])
        caught = time.monotonic()
    finally:
        try:
            sent = float(sender.communicate(timeout=30)[0])
        except KeyboardInterrupt:
            pytest.fail("the fit ended before it was interrupted")
    assert caught - sent <= 1.0
    assert VALUED.fit(F, Z, method=method, seed=1, **SMALL).success  # still usable


def test_signal_handlers_run_during_a_fit():
    calls = []

    def tick(signum, frame):
        calls.append(signum)
        if len(calls) == 3:
            raise TimeoutError("third tick")

    previous = signal.signal(signal.SIGALRM, tick)
    try:
        signal.setitimer(signal.ITIMER_REAL, 0.1, 0.1)
        with pytest.raises(TimeoutError, match="third tick"):
            VALUED.fit(F, Z, method="simulated_annealing", seed=1, **LONG["simulated_annealing"])
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)
    # Handlers that return let the fit go on; the third one's exception ends it.
    assert calls == [signal.SIGALRM] * 3


def test_other_threads_run_during_a_fit():
    stamps = []
    stop = threading.Event()

    def count():
        while not stop.is_set():
            stamps.append(time.monotonic())
            time.sleep(0.001)

    counter = threading.Thread(target=count)
    counter.start()
    try:
        for generations in (300, 1200, 4800):
            begin = time.monotonic()
            VALUED.fit(F, Z, method="particle_swarm", num_particles=100, generations=generations,
                       seed=1)
            end = time.monotonic()
            if end - begin > 0.3:
                break
    finally:
        stop.set()
        counter.join()
    # Were the lock held, the counter could only have run for one switch
    # interval around the call, never well inside it.
    inside = [t for t in stamps if begin + 0.05 < t < end - 0.05]
    assert inside


# Seeded fits repeat exactly, in any thread.
def test_fits_in_eight_threads_equal_sequential_fits():
    spectra = [spectrum(noise=0.01, seed=s) for s in range(8)]
    jobs = [(spectra[i], dict(method=m, **SMALL, seed=i))
            for i, m in enumerate(["levenberg_marquardt", "particle_swarm", "nelder_mead",
                                   "basin_hopping", "simulated_annealing", "levenberg_marquardt",
                                   "particle_swarm", "nelder_mead"])]
    expected = [outcome(VALUED.fit(f, z, **kw)) for (f, z), kw in jobs]
    results = [None] * len(jobs)
    start = threading.Barrier(len(jobs))

    def work(i):
        (f, z), kw = jobs[i]
        start.wait()
        for _ in range(3):
            results[i] = outcome(VALUED.fit(f, z, **kw))
            if results[i] != expected[i]:
                return

    threads = [threading.Thread(target=work, args=(i,)) for i in range(len(jobs))]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert results == expected
