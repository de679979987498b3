"""Element classes and composition with Series() and Parallel()."""

import math

import numpy as np
import pytest

from conftest import KINDS, TWO_PI
from kovrant import Circuit, Element, Parallel, Series


def values_for(fields, start=1.5):
    return [start + i for i in range(len(fields))]


@pytest.mark.parametrize("name, fields, code, units", KINDS)
def test_constructors_store_their_fields(name, fields, code, units):
    element_class = getattr(Element, name)
    values = values_for(fields)
    by_position = element_class(*values)
    by_keyword = element_class(**dict(zip(fields, values)))
    for element in (by_position, by_keyword):
        assert type(element) is element_class
        assert isinstance(element, Element)
        assert [getattr(element, field) for field in fields] == values
        assert all(type(getattr(element, field)) is float for field in fields)


@pytest.mark.parametrize("name, fields, code, units", KINDS)
def test_every_field_is_required(name, fields, code, units):
    element_class = getattr(Element, name)
    values = values_for(fields)
    with pytest.raises(TypeError):
        element_class(*values[:-1])
    with pytest.raises(TypeError):
        element_class(*values, 1.0)
    with pytest.raises(TypeError):
        element_class(*values, **{fields[0]: 1.0})
    with pytest.raises(TypeError):
        element_class(*values[:-1], unknown=1.0)


@pytest.mark.parametrize("name, fields, code, units", KINDS)
def test_unconvertible_argument_is_named(name, fields, code, units):
    element_class = getattr(Element, name)
    values = values_for(fields)
    values[-1] = "x"
    with pytest.raises(TypeError) as failure:
        element_class(*values)
    assert str(failure.value) == f"argument '{fields[-1]}': must be real number, not str"


@pytest.mark.parametrize("name, fields, code, units", KINDS)
def test_match_statement_uses_positional_fields(name, fields, code, units):
    element_class = getattr(Element, name)
    values = values_for(fields)
    captures = ", ".join(f"v{i}" for i in range(len(fields)))
    source = (f"match element:\n    case cls({captures}):\n        captured = [{captures}]\n"
              f"    case _:\n        captured = None\n")
    scope = {"element": element_class(*values), "cls": element_class}
    exec(source, scope)
    assert scope["captured"] == values


def test_cpe_positional_pattern():
    match Element.Cpe(1e-5, 0.9):
        case Element.Cpe(q, alpha):
            assert (q, alpha) == (1e-5, 0.9)
        case _:
            pytest.fail("no match")
    match Element.R(3.0):
        case Element.Cpe():
            pytest.fail("matched the wrong kind")
        case Element.R(r=3.0):
            pass
        case _:
            pytest.fail("no match")


def test_cpe_examples():
    assert Element.Cpe(1e-5, 0.9).alpha == 0.9
    assert Element.Cpe(q=1e-5, alpha=0.9).q == 1e-5
    with pytest.raises(TypeError):
        Element.Cpe(1e-5)


def test_float_conversion_without_range_checks():
    class Number:
        def __float__(self):
            return -4.0

    element = Element.Zarc(3, Number(), np.float64(-0.5))
    assert (element.r, element.tau_k, element.gamma) == (3.0, -4.0, -0.5)
    assert Element.R(True).r == 1.0
    assert math.isnan(Element.C(math.nan).c)


def test_float_conversion_errors_other_than_type_errors_propagate():
    class Broken:
        def __float__(self):
            raise ZeroDivisionError("broken")

    with pytest.raises(ZeroDivisionError, match="broken"):
        Element.R(Broken())


@pytest.mark.parametrize("element, text", [
    (Element.R(100), "Element.R(r=100.0)"),
    (Element.La(1e-6, 0.8), "Element.La(l=1e-6, alpha=0.8)"),
    (Element.Cpe(1e-5, 0.9), "Element.Cpe(q=1e-5, alpha=0.9)"),
    (Element.Zarc(1.0, 0.001, 0.8), "Element.Zarc(r=1.0, tau_k=0.001, gamma=0.8)"),
    (Element.Tlmq(1.5e-5, 1e16, 0.0), "Element.Tlmq(r_ion=1.5e-5, qs=1e16, gamma=0.0)"),
    (Element.T(math.inf, -math.inf, math.nan, 0.0001), "Element.T(a=inf, b=-inf, k_tau=NaN, tau=0.0001)"),
    (Element.Gs(-2.0, 9999999999999998.0, 0.25), "Element.Gs(rg=-2.0, tg=9999999999999998.0, phi=0.25)"),
    (Element.W(-0.0), "Element.W(aw=-0.0)"),
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

def test_series_with_a_nested_parallel_names_elements_automatically():
    circuit = Series([Element.R(1.0), Parallel([Element.R(2.0), Element.Cpe(1e-5, 0.9)])])
    assert type(circuit) is Circuit
    assert circuit.param_names() == ["R0.r", "R1.r", "Cpe0.q", "Cpe0.alpha"]
    assert circuit.param_values() == [1.0, 2.0, 1e-5, 0.9]


def test_circuit_parts_are_spliced_with_their_labels():
    circuit = Series([Circuit("R0-C1"), Element.R(5.0)])
    assert circuit.param_names() == ["R0.r", "C1.c", "R0.r"]
    assert circuit.param_values() == [1.0, 0.001, 5.0]


def test_repeated_circuit_parts_repeat_their_names():
    part = Circuit("R1-C1")
    assert Parallel([part, part]).param_names() == ["R1.r", "C1.c", "R1.r", "C1.c"]


def test_automatic_labels_count_per_kind_in_tree_order():
    circuit = Series([Element.R(1), Element.Cpe(2, 0.5), Element.R(3), Parallel([Element.Tlmq(1, 2, 0.5),
                                                                                 Element.Cpe(4, 0.6)])])
    assert circuit.param_names() == ["R0.r", "Cpe0.q", "Cpe0.alpha", "R1.r", "Tlmq0.r_ion", "Tlmq0.qs",
                                     "Tlmq0.gamma", "Cpe1.q", "Cpe1.alpha"]


def test_composed_impedance_matches_the_formula():
    circuit = Series([Element.R(10.0), Parallel([Element.R(100.0), Element.C(1e-3)]), Element.L(1e-6)])
    frequencies = np.array([0.1, 10.0, 1e4])
    omega = frequencies * TWO_PI
    expected = 10.0 + 1.0 / (1.0 / 100.0 + 1j * omega * 1e-3) + 1j * omega * 1e-6
    np.testing.assert_allclose(circuit.impedance(frequencies), expected, rtol=1e-13)


def test_composition_equals_notation():
    notation = Circuit("R0-(R1,C1)").with_values([10, 100, 1e-3])
    composed = Series([Element.R(10), Parallel([Element.R(100), Element.C(1e-3)])])
    frequencies = np.logspace(-2, 4, 50)
    assert np.array_equal(notation.impedance(frequencies), composed.impedance(frequencies))


def test_empty_series_and_parallel():
    empty = Series([])
    assert empty.param_names() == [] and empty.param_values() == []
    assert list(empty.impedance([0.0, 1.0, 1e6])) == [0j, 0j, 0j]
    open_group = Parallel([])
    assert open_group.param_names() == []
    assert not np.isfinite(open_group.impedance([0.0, 1.0, 1e6])).any()


def test_inputs_are_left_unchanged_and_not_shared():
    part = Circuit("R0-(R1,C1)").with_values([1, 2, 3])
    composed = Series([part, Element.R(4)])
    rebuilt = composed.with_values([5, 6, 7, 8])
    assert part.param_values() == [1.0, 2.0, 3.0]
    assert composed.param_values() == [1.0, 2.0, 3.0, 4.0]
    assert rebuilt.param_names() == ["R0.r", "R1.r", "C1.c", "R0.r"]


@pytest.mark.parametrize("function", [Series, Parallel])
def test_parts_by_keyword_and_any_sequence(function):
    parts = (Element.R(1), Circuit("C1"))
    assert function(parts=parts).param_names() == function(list(parts)).param_names()
    assert len(function(parts).param_names()) == 2


@pytest.mark.parametrize("function", [Series, Parallel])
@pytest.mark.parametrize("parts, message", [
    ("R0-R1", "argument 'parts': Can't extract `str` to `Vec`"),
    (Element.R(1.0), "argument 'parts': 'Element_R' object cannot be converted to 'Sequence'"),
    (None, "argument 'parts': 'NoneType' object cannot be converted to 'Sequence'"),
    (["R0"], "argument 'parts': expected Element or Circuit items, got 'str' at index 0"),
    ([Element.R(1.0), 2.0], "argument 'parts': expected Element or Circuit items, got 'float' at index 1"),
    ([Element.R(1.0), Element], "argument 'parts': expected Element or Circuit items, got 'type' at index 1"),
])
def test_composition_type_errors(function, parts, message):
    with pytest.raises(TypeError) as failure:
        function(parts)
    assert str(failure.value) == message


@pytest.mark.parametrize("function", [Series, Parallel])
def test_composition_argument_count(function):
    with pytest.raises(TypeError):
        function()
    with pytest.raises(TypeError):
        function([], [])


def test_parallel_groups_nest_at_most_256_deep():
    circuit = Circuit("R0")
    for _ in range(256):
        circuit = Parallel([circuit])
    assert circuit.impedance([1.0])[0] == 1.0 + 0j
    with pytest.raises(ValueError, match="257 levels deep.*256"):
        Parallel([Element.C(1.0), circuit])
    assert Series([circuit, circuit]).param_names() == ["R0.r", "R0.r"]


def test_notation_nesting_limit_matches_composition_limit():
    deepest = "(" * 256 + "R0" + ")" * 256
    assert Circuit(deepest).param_names() == ["R0.r"]
    with pytest.raises(ValueError):
        Circuit("(" + deepest + ")")
    with pytest.raises(ValueError, match="257 levels deep"):
        Parallel([Circuit(deepest)])
