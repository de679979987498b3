"""Circuit structure and data-driven starts for any circuit."""
import numpy as np
import pytest

import kovrant
from kovrant_tools import structure
from kovrant_tools.starts import data_start, data_starts, spectrum_features
from noisy_spectra import noisy as noisy_spectrum

FREQUENCIES = np.logspace(5, -2, 60)
TWO_ARCS = {"L0.l": 2e-7, "R0.r": 0.02, "R1.r": 0.05, "CPE1.q": 2e-3, "CPE1.alpha": 0.85, "R2.r": 0.2,
            "CPE2.q": 2.0, "CPE2.alpha": 0.8}


def spectrum(notation, values, noise=0.0, seed=0):
    return noisy_spectrum(notation, values, FREQUENCIES, noise=noise, seed=seed)


@pytest.mark.parametrize("text, written", [
    ("R0-(R1,CPE1)", "R0-(R1,CPE1)"),
    ("L0-R0-p(R1,C1)-W2", "L0-R0-(R1,C1)-W2"),
    ("R0-(R1-(R2,C2),CPE1)-Zarc3", "R0-(R1-(R2,C2),CPE1)-Zarc3"),
    ("randles", "R0-(R1-W1,CPE1)"),
])
def test_notation_round_trip(text, written):
    series = structure.parse(text)
    assert structure.notation(series) == written
    names = [name for element in structure.elements(series) for name in element.names()]
    assert names == kovrant.Circuit(text).param_names()


@pytest.mark.parametrize("text, label, replacement, expected", [
    ("R0-(R1,CPE1)", "R0", (), "(R1,CPE1)"),                    # short a series resistor
    ("R0-(R1,CPE1)-(R2,CPE2)", "R2", None, "R0-(R1,CPE1)-CPE2"),  # open a branch: the group joins the series
    ("R0-(R1,CPE1)", "CPE1", (), "R0"),                          # a shorted branch shorts its group
    ("R0-(R1,CPE1)", "R0", None, None),                          # the whole circuit open
    ("R0-(R1,CPE1)", "CPE1", (structure.Element("C", "C1"),), "R0-(R1,C1)"),
])
def test_replace(text, label, replacement, expected):
    result = structure.replace(structure.parse(text), label, replacement)
    assert (None if result is None else structure.notation(result)) == expected


def test_canonical_ignores_labels_order_and_shorthands():
    same = ["R0-(R1,CPE1)-(R2,C2)", "(C5,R7)-R3-(CPE1,R1)", "R0-Zarc1-K2"]
    assert len({structure.canonical(structure.parse(text)) for text in same}) == 1
    assert structure.canonical(structure.parse("R0-(R1,C1)")) != structure.canonical(structure.parse("R0-C1-R1"))


def test_features_read_intercept_inductance_and_arcs():
    features = spectrum_features(*spectrum("L0-R0-(R1,CPE1)-(R2,CPE2)", TWO_ARCS))
    assert features.r_inf == pytest.approx(0.02, rel=0.2)
    assert features.inductance == pytest.approx(2e-7, rel=0.3)
    big = sorted(features.arcs, key=lambda arc: -arc.resistance)[:2]
    assert sum(arc.resistance for arc in features.arcs) == pytest.approx(0.25, rel=0.1)
    assert sorted(arc.tau for arc in big)[0] < 1e-2 < sorted(arc.tau for arc in big)[1]


@pytest.mark.parametrize("notation", [
    "L0-R0-(R1,CPE1)-(R2,CPE2)", "R0-(R1-Wo1,CPE1)", "R0-Zarc1-K2-G3", "La0-R0-(R1,C1)-Ws2", "R0-Gs1-T2",
    "R0-TLMQ1", "R0-(R1-(R2,C2),CPE1)-CPE3", "R0-W1", "(R1,C1)",
])
def test_starts_are_finite_inside_the_bounds_and_better_than_placeholders(notation):
    f, z = spectrum("L0-R0-(R1,CPE1)-(R2,CPE2)", TWO_ARCS)
    circuit = kovrant.Circuit(notation)
    starts = data_starts(notation, (f, z), count=3)
    assert 1 <= len(starts) <= 3 and all(len(start) == len(circuit.param_names()) for start in starts)
    for start in starts:
        assert all(lo <= value <= hi and np.isfinite(value) for value, (lo, hi) in zip(start, circuit.param_bounds()))
    costs = [np.sum(np.square(circuit.residuals(start, f, z))) for start in starts]
    assert costs == sorted(costs)
    assert costs[0] <= np.sum(np.square(circuit.residuals(circuit.param_values(), f, z)))


@pytest.mark.parametrize("notation, values", [
    ("L0-R0-(R1,CPE1)-(R2,CPE2)", TWO_ARCS),
    ("R0-(R1,CPE1)-W2", {"R0.r": 5.0, "R1.r": 40.0, "CPE1.q": 1e-5, "CPE1.alpha": 0.9, "W2.aw": 30.0}),
    ("R0-(R1,C1)-(R2,C2)-(R3,C3)", {"R0.r": 1.0, "R1.r": 3.0, "C1.c": 1e-6, "R2.r": 10.0, "C2.c": 1e-4,
                                    "R3.r": 5.0, "C3.c": 0.05}),
])
def test_a_fit_from_the_data_start_finds_the_generating_model(notation, values):
    f, z = spectrum(notation, values, noise=0.002)
    circuit = kovrant.Circuit(notation)
    result = circuit.with_values(data_start(notation, (f, z))).fit(f, z)
    assert result.chi_square < 4 * 2 * len(f) * 0.002 ** 2
    # Parameters may come back relabelled (two arcs swap places); the model may not.
    clean = circuit.with_named_values(values).impedance(f)
    assert np.allclose(result.circuit.impedance(f), clean, rtol=0.01)


def test_a_circuit_object_gets_a_start_and_count_is_checked():
    f, z = spectrum("L0-R0-(R1,CPE1)-(R2,CPE2)", TWO_ARCS)
    circuit = kovrant.Series([kovrant.Element.R(1.0), kovrant.Parallel([kovrant.Element.R(1.0),
                                                                          kovrant.Element.Cpe(1e-3, 0.8)])])
    start = data_start(circuit, (f, z))
    assert len(start) == len(circuit.param_names()) and all(np.isfinite(start))
    with pytest.raises(ValueError, match="count"):
        data_starts("R0", (f, z), count=0)


def test_a_small_fast_arc_beside_a_large_slow_tail_is_an_arc():
    # The diffusion tail puts most of the distribution beyond the lowest frequency; the arc of
    # R1 (46 mOhm, tau about 15 us) is small beside it but plain in the data.
    values = {"L0.l": 4.9e-9, "R0.r": 0.0325, "R1.r": 0.046, "CPE1.q": 0.003, "CPE1.alpha": 0.8, "R2.r": 0.57,
              "Wo2.z0": 0.95, "Wo2.tau": 0.26, "CPE2.q": 0.0175, "CPE2.alpha": 0.66}
    f = np.logspace(5.4, -2, 42)
    z = kovrant.Circuit("L0-R0-(R1,CPE1)-(R2-Wo2,CPE2)").with_named_values(values).impedance(f)
    tau = (0.046 * 0.003) ** (1 / 0.8)
    assert any(abs(np.log10(arc.tau / tau)) < 1 and 0.3 < arc.resistance / 0.046 < 3
               for arc in spectrum_features(f, z).arcs)
