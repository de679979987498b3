"""Degenerate limits: which element left the model, and the circuit that is left."""
import numpy as np
import pytest

import kovrant
from kovrant_tools import fit
from kovrant_tools.limits import limits_of, simplest_equivalent

FREQUENCIES = np.logspace(5, -1, 50)
ARC = {"R0.r": 10.0, "R1.r": 50.0, "CPE1.q": 1e-5, "CPE1.alpha": 0.85}


def limits(notation, values):
    """Limits of `values` on the spectrum the same values give: chi-square 0 would hide nothing,
    so the spectrum carries 0.1 % noise and the fit's chi-square is the noise's."""
    z = kovrant.Circuit(notation).with_named_values(values).impedance(FREQUENCIES)
    rng = np.random.default_rng(1)
    measured = z * (1 + 1e-3 * rng.standard_normal(len(z)))
    chi_square = float(np.sum(np.square(kovrant.Circuit(notation).residuals(
        [values[n] for n in kovrant.Circuit(notation).param_names()], FREQUENCIES, measured))))
    return limits_of(notation, values, FREQUENCIES, measured, chi_square=chi_square, dof=2 * len(z) - len(values))


@pytest.mark.parametrize("notation, values, element, limit, equivalent", [
    ("R0-(R1,CPE1)", {**ARC, "CPE1.alpha": 1.0}, "CPE1", "capacitor", "R0-(R1,C1)"),
    ("R0-(R1,CPE1)", {**ARC, "R0.r": 1e-9}, "R0", "short", "(R1,CPE1)"),
    ("R0-(R1,CPE1)-(R2,CPE2)", {**ARC, "R2.r": 1e12, "CPE2.q": 1e-3, "CPE2.alpha": 0.9}, "R2", "open",
     "R0-(R1,CPE1)-CPE2"),
    ("R0-(R1,CPE1)-Wo2", {**ARC, "Wo2.z0": 1e6, "Wo2.tau": 1e10}, "Wo2", "warburg", "R0-(R1,CPE1)-W2"),
    ("R0-(R1,CPE1)-Ws2", {**ARC, "Ws2.z0": 20.0, "Ws2.tau": 1e-9}, "Ws2", "resistor", "R0-(R1,CPE1)-R2"),
    ("R0-Zarc1", {"R0.r": 10.0, "Zarc1.r": 50.0, "Zarc1.tau_k": 1e-3, "Zarc1.gamma": 1.0}, "Zarc1",
     "parallel rc", "R0-K1"),
    ("L0-R0-(R1,C1)", {"L0.l": 1e-15, "R0.r": 10.0, "R1.r": 50.0, "C1.c": 1e-5}, "L0", "short", "R0-(R1,C1)"),
])
def test_a_degenerate_element_is_found_with_its_equivalent(notation, values, element, limit, equivalent):
    found = limits(notation, values)
    assert [(item.element, item.limit, item.equivalent) for item in found] == [(element, limit, equivalent)]
    simpler = kovrant.Circuit(equivalent)
    model = simpler.with_named_values(found[0].values).impedance(FREQUENCIES)
    original = kovrant.Circuit(notation).with_named_values(values).impedance(FREQUENCIES)
    assert np.allclose(model, original, rtol=1e-3)
    assert element in found[0].warning and equivalent in found[0].warning


def test_a_determined_fit_has_no_limits():
    assert limits("R0-(R1,CPE1)", ARC) == ()


def test_the_simplest_equivalent_applies_every_limit():
    values = {**ARC, "CPE1.alpha": 1.0, "R2.r": 1e12, "CPE2.q": 1e-3, "CPE2.alpha": 1.0}
    notation = "R0-(R1,CPE1)-(R2,CPE2)"
    z = kovrant.Circuit(notation).with_named_values(values).impedance(FREQUENCIES)
    simplest, simple_values = simplest_equivalent(notation, values, FREQUENCIES, z * (1 + 1e-3), chi_square=1e-4,
                                                  dof=90)
    assert simplest in ("R0-(R1,C1)-C2", "R0-C2-(R1,C1)")
    assert np.allclose(kovrant.Circuit(simplest).with_named_values(simple_values).impedance(FREQUENCIES), z,
                       rtol=1e-6)


def test_a_fit_report_carries_its_limits_as_data_and_warnings():
    # An ideal capacitor fitted with a CPE: the exponent goes to 1.
    z = kovrant.Circuit("R0-(R1,C1)").with_named_values({"R0.r": 10.0, "R1.r": 50.0, "C1.c": 1e-5}).impedance(
        FREQUENCIES)
    report = fit((FREQUENCIES, z * (1 + 1e-3 * np.cos(np.arange(len(z))))), "R0-(R1,CPE1)")
    assert [limit.equivalent for limit in report.limits] == ["R0-(R1,C1)"]
    assert any("acts as a capacitor" in text for text in report.warnings)
    assert report.success
    # A composed circuit is written in the notation too, so its limits are found the same way.
    composed = kovrant.Series([kovrant.R(1.0), kovrant.Parallel([kovrant.R(1.0), kovrant.Cpe(1e-3, 0.8)])])
    assert [limit.limit for limit in fit((FREQUENCIES, z), composed).limits] == ["capacitor"]
