"""Element classes and composition with Series() and Parallel()."""

import math

import numpy as np
import pytest

from conftest import KINDS
from kovrant import Circuit, Element, Parallel, Series


@pytest.mark.parametrize("name, fields, code, units", KINDS)
def test_constructor_arguments_fields_and_match(name, fields, code, units):
    element_class = getattr(Element, name)
    values = [1.5 + i for i in range(len(fields))]
    for element in (element_class(*values), element_class(**dict(zip(fields, values)))):
        assert type(element) is element_class and isinstance(element, Element)
        assert [getattr(element, field) for field in fields] == values
        assert all(type(getattr(element, field)) is float for field in fields)
    for args, kwargs in [(values[:-1], {}), (values + [1.0], {}), (values, {fields[0]: 1.0}),
                         (values[:-1], {"unknown": 1.0})]:
        with pytest.raises(TypeError):
            element_class(*args, **kwargs)
    with pytest.raises(TypeError) as failure:
        element_class(*values[:-1], "x")
    assert str(failure.value) == f"argument '{fields[-1]}': must be real number, not str"

    captures = ", ".join(f"v{i}" for i in range(len(fields)))
    scope = {"element": element_class(*values), "cls": element_class}
    exec(f"match element:\n    case cls({captures}):\n        captured = [{captures}]\n", scope)
    assert scope["captured"] == values


def test_float_conversion_without_range_checks():
    class Number:
        def __float__(self):
            return -4.0

    class Broken:
        def __float__(self):
            raise ZeroDivisionError("broken")

    element = Element.Zarc(3, Number(), np.float64(-0.5))
    assert (element.r, element.tau_k, element.gamma) == (3.0, -4.0, -0.5)
    assert Element.R(True).r == 1.0
    assert math.isnan(Element.C(math.nan).c)
    with pytest.raises(ZeroDivisionError, match="broken"):
        Element.R(Broken())


@pytest.mark.parametrize("element, text", [
    (Element.R(100), "Element.R(r=100.0)"),
    (Element.La(1e-6, 0.8), "Element.La(l=1e-6, alpha=0.8)"),
    (Element.T(math.inf, -math.inf, math.nan, 0.0001), "Element.T(a=inf, b=-inf, k_tau=NaN, tau=0.0001)"),
])
def test_repr(element, text):
    assert repr(element) == text


def test_elements_are_immutable():
    element = Element.Cpe(1e-5, 0.9)
    with pytest.raises(AttributeError):
        element.q = 1.0
    with pytest.raises(AttributeError):
        del element.alpha
    with pytest.raises(AttributeError):
        element.label = "CPE1"
    assert (element.q, element.alpha) == (1e-5, 0.9)


# --- composition ------------------------------------------------------------

def test_composition_names_parts_and_equals_notation():
    circuit = Series([Element.R(1.0), Parallel([Element.R(2.0), Element.Cpe(1e-5, 0.9)])])
    assert type(circuit) is Circuit
    assert circuit.param_names() == ["R0.r", "R1.r", "Cpe0.q", "Cpe0.alpha"]
    assert circuit.param_values() == [1.0, 2.0, 1e-5, 0.9]

    notation = Circuit("R0-(R1,C1)").with_values([10, 100, 1e-3])
    composed = Series([Element.R(10), Parallel([Element.R(100), Element.C(1e-3)])])
    frequencies = np.logspace(-2, 4, 50)
    assert np.array_equal(notation.impedance(frequencies), composed.impedance(frequencies))


def test_circuit_parts_keep_their_labels_and_are_not_shared():
    part = Circuit("R0-(R1,C1)").with_values([1, 2, 3])
    composed = Series([part, Element.R(4)])
    assert composed.param_names() == ["R0.r", "R1.r", "C1.c", "R0.r"]
    rebuilt = composed.with_values([5, 6, 7, 8])
    assert part.param_values() == [1.0, 2.0, 3.0]
    assert composed.param_values() == [1.0, 2.0, 3.0, 4.0]
    assert rebuilt.param_names() == ["R0.r", "R1.r", "C1.c", "R0.r"]
    assert Parallel([Circuit("R1-C1")] * 2).param_names() == ["R1.r", "C1.c", "R1.r", "C1.c"]


def test_empty_series_and_parallel():
    empty = Series([])
    assert empty.param_names() == [] and empty.param_values() == []
    assert list(empty.impedance([0.0, 1.0, 1e6])) == [0j, 0j, 0j]
    open_group = Parallel([])
    assert open_group.param_names() == []
    assert not np.isfinite(open_group.impedance([0.0, 1.0, 1e6])).any()


@pytest.mark.parametrize("function", [Series, Parallel])
def test_parts_argument(function):
    parts = (Element.R(1), Circuit("C1"))
    assert function(parts=parts).param_names() == function(list(parts)).param_names() == ["R0.r", "C1.c"]
    with pytest.raises(TypeError):
        function()
    with pytest.raises(TypeError):
        function([], [])


@pytest.mark.parametrize("function", [Series, Parallel])
@pytest.mark.parametrize("parts, message", [
    ("R0-R1", "argument 'parts': Can't extract `str` to `Vec`"),
    (None, "argument 'parts': 'NoneType' object cannot be converted to 'Sequence'"),
    (["R0"], "argument 'parts': expected Element or Circuit items, got 'str' at index 0"),
    ([Element.R(1.0), 2.0], "argument 'parts': expected Element or Circuit items, got 'float' at index 1"),
])
def test_composition_type_errors(function, parts, message):
    with pytest.raises(TypeError) as failure:
        function(parts)
    assert str(failure.value) == message


def test_parallel_groups_nest_at_most_256_deep():
    circuit = Circuit("R0")
    for _ in range(256):
        circuit = Parallel([circuit])
    assert circuit.impedance([1.0])[0] == 1.0 + 0j
    assert Series([circuit, circuit]).param_names() == ["R0.r", "R0.r"]
    with pytest.raises(ValueError) as failure:
        Parallel([Element.C(1.0), circuit])
    assert str(failure.value) == "parallel groups would be nested 257 levels deep, more than the 256 levels a " \
                                 "circuit may have"
    with pytest.raises(ValueError, match="257 levels deep"):
        Parallel([Circuit("(" * 256 + "R0" + ")" * 256)])
