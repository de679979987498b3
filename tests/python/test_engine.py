"""The toolkit's native entry points: the start decision, the written notation and the core's tables."""
import pytest

import kovrant
from kovrant_tools import _engine
from kovrant_tools.fitting import start_point
from kovrant_tools.spectrum import missing_spectrum_columns

RANDLES_VALUES = [0.015, 0.03, 0.002, 1.0, 0.85]


@pytest.mark.parametrize("circuit, settings, expected", [
    (kovrant.Circuit("randles"), {}, "guess"),
    (kovrant.Circuit("randles").with_values(RANDLES_VALUES), {}, "own values"),
    (kovrant.Circuit("randles").with_values(RANDLES_VALUES), {"guess_init": True}, "guess"),
    (kovrant.Circuit("randles"), {"guess_init": False}, "own values"),
    (kovrant.Circuit("R0-(R1,C1)-W2"), {}, "catalogue"),
    (kovrant.Circuit("R0-(R1,C1)-W2"), {"weights": "any.eisnn"}, "guess"),
])
def test_start_point_is_the_fit_s_own_decision(circuit, settings, expected):
    assert start_point(circuit, settings) == expected


def test_catalogue_fields_are_the_parameter_names_of_each_code():
    assert len(_engine.CATALOGUE) >= 14
    for code, fields in _engine.CATALOGUE.items():
        assert kovrant.Circuit(f"{code}0").param_names() == [f"{code}0.{field}" for field in fields]


@pytest.mark.parametrize("columns, lacking", [
    (["frequency_hertz", "real_impedance_ohm", "imaginary_impedance_ohm"], None),
    (["Frequency / Hz", "Absolute Impedance / ohm", "Phase / deg"], None),
    (["Frequency / Hz", "Real Impedance / ohm"], "impedance columns"),
    (["f", "re", "im"], "frequency column"),
])
def test_missing_spectrum_columns(columns, lacking):
    found = missing_spectrum_columns(columns)
    assert found is None if lacking is None else found.startswith(lacking)
