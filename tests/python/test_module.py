"""How the module and its classes present themselves to Python."""

import inspect
import os
import subprocess
import sys

import pytest

import kovrant
from conftest import KIND_NAMES, KINDS

MODULE_NAMES = ["Element", "Circuit", "FitResult", "Series", "Parallel"] + KIND_NAMES


def test_module_names_and_classes():
    public = [name for name in vars(kovrant) if not name.startswith("__")]
    assert public == MODULE_NAMES
    assert all(name.startswith("__") and name.endswith("__") for name in set(dir(kovrant)) - set(MODULE_NAMES))
    assert kovrant.__doc__ == ""
    for name in ["Element", "Circuit", "FitResult"]:
        cls = getattr(kovrant, name)
        assert (cls.__qualname__, cls.__name__, cls.__module__) == (name, name, "kovrant")
        assert repr(cls) == f"<class 'kovrant.{name}'>"
    for name in KIND_NAMES:
        element_class = getattr(kovrant, name)
        assert element_class is getattr(kovrant.Element, name)
        assert issubclass(element_class, kovrant.Element)
        assert element_class.__name__ == element_class.__qualname__ == f"Element_{name}"
        assert element_class.__module__ == "kovrant"


def test_reimport_returns_the_same_module_object():
    first = sys.modules.pop("kovrant")
    try:
        import kovrant as second

        assert second is first
        assert second.Circuit is first.Circuit
    finally:
        sys.modules["kovrant"] = first


_SUB_INTERPRETER = """
import kovrant  # the main interpreter imports it first
import _xxsubinterpreters as interpreters
interpreter = interpreters.create()
try:
    interpreters.run_string(interpreter, "import kovrant")
except Exception as failure:
    print(failure)
finally:
    interpreters.destroy(interpreter)
"""


def test_sub_interpreters_are_refused():
    pytest.importorskip("_xxsubinterpreters")
    # In a child process: after a sub-interpreter has come and gone, CPython
    # 3.11's PyGILState_Check misreports, which breaks later users such as torch.
    run = subprocess.run([sys.executable, "-c", _SUB_INTERPRETER], capture_output=True, text=True,
                         timeout=60, env=dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path)))
    assert run.returncode == 0, run.stderr
    assert "ImportError" in run.stdout
    assert "sub-interpreters" in run.stdout


def _lines(*lines):
    return "\n".join(lines)


CIRCUIT_METHODS = [
    ("ml_circuits", "()", _lines(
        "Names accepted by the constructor that have trained initial-parameter",
        "models, and so get a guessed starting point from `fit()` by default.")),
    ("guess", "($self, frequencies, impedances=None, weights=None)", _lines(
        "Machine-learning guess of starting parameters for this circuit's",
        "topology, in `param_names()` order.",
        "",
        "Series and parallel elements may be written with any order and labels:",
        "`(R1,C2)-R3` uses the same model as `R0-(R1,C1)`. `K` and `Zarc` reach",
        "the models trained on the pairs they abbreviate, so `R0-Zarc1` uses the",
        "`R0-(R1,CPE1)` model and gets its guess back as `r`, `tau_k`, `gamma`.",
        "",
        "`weights` loads a `.eisnn` file from disk instead of looking for a",
        "bundled model.",
        "",
        "Raises if no model has been trained for this topology, or if `weights`",
        "was trained for a different one.")),
    ("param_names", "($self)", _lines(
        "Parameter names, in the same order `with_values()` consumes and",
        "`with_named_values()` expects as keys.")),
    ("with_values", "($self, values)", _lines(
        "Rebuild this circuit with a new flat parameter vector, assigned",
        "positionally in `param_names()` order.")),
    ("with_named_values", "($self, values)", _lines(
        "Rebuild this circuit with parameter values looked up by name (see",
        "`param_names()`). Every name must be present and no unknown names",
        "may be supplied.")),
    ("impedance", "($self, frequencies)", None),
    ("param_values", "($self)", "Current parameter values, in `param_names()` order."),
    ("param_bounds", "($self)", _lines(
        "Default physical-validity `(lo, hi)` bounds per parameter, in",
        "`param_names()` order. `hi` is `inf` for open-bound parameters.")),
    ("param_units", "($self)", "Physical units per parameter"),
    ("residuals", '($self, params, frequencies, impedances=None, weight="modulus")', _lines(
        "Weighted residual vector (interleaved `[re0, im0, re1, im1, ...]`) for an",
        "arbitrary parameter vector -- the same building block `fit()` uses",
        "internally for Levenberg-Marquardt, exposed so an external optimizer (e.g.",
        "`scipy.optimize.least_squares`) can drive this circuit's math directly.")),
    ("jacobian", '($self, params, frequencies, impedances=None, weight="modulus")', _lines(
        "Central-difference Jacobian of `residuals()` at `params`, shape `(2 *",
        "len(frequencies), len(params))` -- rows are residuals, columns are",
        "parameters, matching what `scipy.optimize.least_squares(jac=...)` expects.")),
    ("fit", '($self, frequencies, impedances=None, guess_init=None, weights=None, weight="modulus", '
            'method="levenberg_marquardt", max_iterations=200, ftol=1e-8, xtol=1e-8, num_particles=200, '
            'generations=1000, nelder_mead_iterations=2000, de_evaluations=20000, sa_iterations=5000, '
            'sa_initial_temperature=2.0, basin_hopping_hops=20, basin_hopping_step_size=1.0, '
            'basin_hopping_temperature=1.0, seed=None)', _lines(
        "Fit this circuit's parameters to a measured spectrum.",
        "",
        "Accepts two sequences of frequencies and impedances, or a single battery",
        "data format dataframe (`impedances` left as None).",
        "",
        "`guess_init` unset means start from a machine-learning guess whenever the",
        "circuit is not explicitly given starting parameters. If no model has been",
        "trained for the topology it warns and starts from placeholder values.",
        "",
        "`True` always guesses, and raises rather than warns when it cannot.",
        "`False` never guesses.")),
]


def test_signatures_and_docstrings():
    C = kovrant.Circuit
    assert C.__doc__ == ""
    assert str(inspect.signature(C)) == "(s)"

    methods = [name for name in vars(C) if not name.startswith("__")]
    assert methods == [name for name, _, _ in CIRCUIT_METHODS]
    instance = C("R0")
    for name, text_signature, doc in CIRCUIT_METHODS:
        method = getattr(C, name)
        assert method.__text_signature__ == text_signature, name
        assert method.__doc__ == doc, name
        written = [part.split("=")[0] for part in text_signature.strip("()").split(", ") if part and part != "$self"]
        assert list(inspect.signature(getattr(instance, name)).parameters) == written, name
    assert isinstance(vars(C)["ml_circuits"], staticmethod)
    assert str(inspect.signature(C.ml_circuits)) == "()"
    assert str(inspect.signature(C("R0").residuals)) == "(params, frequencies, impedances=None, weight='modulus')"
    assert str(inspect.signature(C("R0").fit)).startswith("(frequencies, impedances=None, guess_init=None,")

    assert kovrant.FitResult.__doc__ is None
    assert kovrant.FitResult.__text_signature__ is None
    attributes = [name for name in vars(kovrant.FitResult) if not name.startswith("__")]
    assert attributes == ["circuit", "params", "stderr", "success", "iterations", "impedance_evals", "cost",
                          "chi_square"]
    assert all(vars(kovrant.FitResult)[name].__doc__ is None for name in attributes)

    assert kovrant.Element.__doc__ == (
        "A single circuit element.\n\nThese are Python subclasses taking its fields as arguments.\n"
        "They are combined with `Series()` and `Parallel()`.")
    for name, fields, _, _ in KINDS:
        element_class = getattr(kovrant.Element, name)
        assert element_class.__text_signature__ == "(" + ", ".join(fields) + ")"
        assert str(inspect.signature(element_class)) == "(" + ", ".join(fields) + ")"
        assert not element_class.__doc__
        assert element_class.__match_args__ == fields

    assert kovrant.Series.__text_signature__ == "(parts)"
    assert kovrant.Series.__doc__ == "Connect elements and circuits end to end."
    assert kovrant.Parallel.__text_signature__ == "(parts)"
    assert kovrant.Parallel.__doc__ == "Connect elements and circuits as parallel branches."
    assert kovrant.Series.__module__ == kovrant.Parallel.__module__ == "kovrant"


def test_construction_and_subclassing_rules():
    for name in ["FitResult", "Element"]:
        with pytest.raises(TypeError, match=f"^No constructor defined for {name}$"):
            getattr(kovrant, name)()
    for name in ["Circuit", "FitResult"] + KIND_NAMES:
        with pytest.raises(TypeError, match="is not an acceptable base type"):
            type("Derived", (getattr(kovrant, name),), {})

    class Custom(kovrant.Element):
        pass

    assert issubclass(Custom, kovrant.Element)
    with pytest.raises(TypeError, match="No constructor defined for Element"):
        Custom()


def test_classes_are_immutable():
    for name in ["Element", "Circuit", "FitResult"] + KIND_NAMES:
        cls = getattr(kovrant, name)
        with pytest.raises(TypeError, match="immutable"):
            cls.extra = 1
        with pytest.raises(TypeError, match="immutable"):
            del cls.__repr__
    with pytest.raises(TypeError, match="immutable"):
        kovrant.Element.R = kovrant.Element.C
    assert kovrant.Element.R.__name__ == "Element_R"
