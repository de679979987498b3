"""kovrant_tools.fit, FitReport and rank_circuits."""
import math
import pickle
import warnings

import numpy as np
import pytest

import kovrant
from kovrant_tools import FitReport, fit, rank_circuits
from kovrant_tools.report import student_t_quantile

FREQUENCIES = np.logspace(5, -2, 60)
RANDLES = {"R0.r": 0.015, "R1.r": 0.03, "W1.aw": 0.002, "CPE1.q": 1.0, "CPE1.alpha": 0.85}


def noisy(circuit, values, seed=0, noise=0.01, frequencies=FREQUENCIES):
    model = kovrant.Circuit(circuit).with_named_values(values).impedance(frequencies)
    rng = np.random.default_rng(seed)
    return frequencies, model + noise * np.abs(model) * (rng.standard_normal(model.size)
                                                        + 1j * rng.standard_normal(model.size))


SPECTRUM = noisy("randles", RANDLES)


@pytest.mark.parametrize("circuit, start", [
    ("randles", None),
    (kovrant.Circuit("R0-(R1-W1,CPE1)").with_named_values({**RANDLES, "R1.r": 0.05}), None),
    ("randles", {**RANDLES, "CPE1.q": 2.0}),
])
def test_without_constraints_the_numbers_are_circuit_fit(circuit, start):
    report = fit(SPECTRUM, circuit, start=start, strategy="fast")
    base = kovrant.Circuit(circuit) if isinstance(circuit, str) else circuit
    expected = (base.with_named_values(start) if start else base).fit(*SPECTRUM)
    assert report.params == expected.params
    assert report.chi_square == expected.chi_square
    assert (report.success, report.iterations, report.impedance_evals) == (
        expected.success, expected.iterations, expected.impedance_evals)
    # The report's own covariance gives the engine's standard errors.
    assert report.stderr == pytest.approx(expected.stderr, rel=1e-6)


@pytest.mark.parametrize("spectrum", [
    {"Frequency / Hz": list(SPECTRUM[0]), "Real Impedance / ohm": list(SPECTRUM[1].real),
     "Imaginary Impedance / ohm": list(SPECTRUM[1].imag)},
    type("Measured", (), {"frequencies": SPECTRUM[0], "impedances": SPECTRUM[1]})(),
])
def test_every_spectrum_form_gives_the_same_fit(spectrum):
    assert fit(spectrum, "randles").params == fit(SPECTRUM, "randles").params


@pytest.mark.parametrize("kwargs, message", [
    ({"start": {"R0.x": 1.0}}, r"start: unknown parameter 'R0.x' \(did you mean 'R0.r'\?\)"),
    ({"fixed": ["W1.a"]}, r"fixed: unknown parameter 'W1.a' \(did you mean 'W1.aw'\?\)"),
    ({"bounds": {"CPE1.alpha": (0.5, 1.5)}}, r"CPE1.alpha = \(0.5, 1.5\) must satisfy 0 <= lo < hi <= 1"),
    ({"bounds": {"R1.r": (0.0, 1.0)}}, r"R1.r = \(0, 1\) must satisfy 1e-12 <= lo"),
    ({"bounds": {"R1.r": (0.2, 0.1)}}, r"R1.r = \(0.2, 0.1\)"),
    ({"bounds": {"R1.r": (math.nan, 0.1)}}, r"R1.r = \(nan, 0.1\)"),
    ({"bounds": {"R1.r": 0.1}}, r"bounds: R1.r needs \(lo, hi\), got 0.1"),
    ({"bounds": {"R1.r": (0.01, 0.02)}, "start": {"R1.r": 0.05}}, r"R1.r = 0.05 is outside its bounds"),
    ({"fixed": {"CPE1.alpha": 1.2}}, r"CPE1.alpha = 1.2 is outside its bounds \(0, 1\)"),
    ({"fixed": {"R0.r": 0.01}, "start": {"R0.r": 0.02}}, "R0.r is fixed at 0.01 but given start 0.02"),
    ({"start": {"R0.r": math.inf}}, "R0.r = inf is not a finite number"),
])
def test_bad_constraints_name_the_parameter(kwargs, message):
    with pytest.raises(ValueError, match=message):
        fit(SPECTRUM, "randles", **kwargs)


def test_explicit_circuit_values_outside_the_bounds_are_an_error():
    cell = kovrant.Circuit("randles").with_named_values(RANDLES)
    with pytest.raises(ValueError, match=r"start: R1.r = 0.03 is outside its bounds \(0.05, 0.1\)"):
        fit(SPECTRUM, cell, bounds={"R1.r": (0.05, 0.1)})


@pytest.mark.parametrize("circuit, spectrum, error", [
    (42, SPECTRUM, TypeError),
    ("R0-(R1", SPECTRUM, ValueError),
    ("randles", (FREQUENCIES, SPECTRUM[1][:3]), ValueError),
    ("randles", "cell.csv", TypeError),
])
def test_bad_circuit_or_spectrum(circuit, spectrum, error):
    with pytest.raises(error):
        fit(spectrum, circuit)


def test_topology_without_model_warns_once_and_fits_from_defaults():
    spectrum = noisy("R0-(R1,C1)-W2", {"R0.r": 0.02, "R1.r": 0.05, "C1.c": 0.01, "W2.aw": 0.01})
    with pytest.warns(UserWarning, match="no ML model") as caught:
        report = fit(spectrum, "R0-(R1,C1)-W2", start={"R0.r": 0.02}, strategy="fast")
    assert len(caught) == 1
    assert report.chi_square < 1.0


def test_report_statistics():
    report = fit(SPECTRUM, "randles")
    n, k = 2 * len(FREQUENCIES), 5
    assert report.dof == n - k
    assert report.reduced_chi_square == pytest.approx(report.chi_square / (n - k))
    assert report.aic == pytest.approx(n * math.log(report.chi_square / n) + 2 * k)
    assert report.bic == pytest.approx(n * math.log(report.chi_square / n) + k * math.log(n))
    t = student_t_quantile(0.975, n - k)
    for name, (low, high) in report.confidence_intervals.items():
        assert (low + high) / 2 == pytest.approx(report.params[name])
        assert (high - low) / 2 == pytest.approx(t * report.stderr[name])
    assert np.allclose(np.diag(report.correlation), 1.0)
    assert np.allclose(report.correlation, report.correlation.T)
    # Residuals are the modulus-weighted differences, per point.
    expected = (report.model_impedances - SPECTRUM[1]) / np.abs(SPECTRUM[1])
    assert np.allclose(report.residuals, expected)
    assert 0.5 * np.sum(np.abs(report.residuals) ** 2) * 2 == pytest.approx(report.chi_square)
    assert report.warnings == []


def test_exact_data_and_too_few_points():
    exact = fit((FREQUENCIES[:2], [1.0 - 0.5j, 1.5 - 0.1j]), "R0-(R1,C1)",
                start={"R0.r": 1.0, "R1.r": 0.5, "C1.c": 1e-3})
    # Four residuals, three parameters: one degree of freedom left.
    assert exact.dof == 1
    single = fit(([1.0, 10.0], [2.0, 2.0]), "R0", start={"R0.r": 1.5})
    assert single.chi_square == 0.0 and single.aic == -math.inf
    starved = fit((FREQUENCIES[:2], SPECTRUM[1][:2]), "randles")
    assert starved.dof == -1 and math.isnan(starved.reduced_chi_square)
    assert starved.stderr is None and starved.confidence_intervals == {}


@pytest.mark.parametrize("probability, dof, expected", [
    (0.975, 1, 12.7062047), (0.975, 2, 4.30265273), (0.975, 10, 2.22813885), (0.975, 120, 1.97993040),
    (0.975, 100000, 1.9599877), (0.025, 5, -2.57058184), (0.5, 7, 0.0),
])
def test_student_t_quantile(probability, dof, expected):
    assert student_t_quantile(probability, dof) == pytest.approx(expected, rel=1e-6, abs=1e-9)


def test_report_warns_about_a_flipped_sign_and_a_bound():
    frequencies, impedances = SPECTRUM
    report = fit((frequencies, np.conj(impedances)), "randles", guess_init=False,
                 start={"R0.r": 0.015, "R1.r": 0.03, "W1.aw": 0.002, "CPE1.q": 1.0, "CPE1.alpha": 0.85})
    assert any("Im Z > 0" in text for text in report.warnings)
    assert any("at its" in text and "bound" in text for text in report.warnings)


def test_report_warns_about_undetermined_and_correlated_parameters():
    # Two resistors in series: only their sum is determined.
    spectrum = noisy("R0-R1-(R2,C2)", {"R0.r": 0.01, "R1.r": 0.01, "R2.r": 0.05, "C2.c": 0.01})
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", UserWarning)
        report = fit(spectrum, "R0-R1-(R2,C2)", start={"R0.r": 0.02, "R1.r": 0.005, "R2.r": 0.05, "C2.c": 0.01})
    text = "\n".join(report.warnings)
    assert "R0.r has no standard error" in text or "R0.r and R1.r are correlated" in text


def test_report_serialises():
    report = fit(SPECTRUM, "randles")
    assert pickle.loads(pickle.dumps(report)).params == report.params
    data = report.to_dict()
    assert [row["name"] for row in data["parameters"]] == report.names
    assert len(data["points"]["residual_real"]) == len(FREQUENCIES)
    text = report.to_json()
    assert "NaN" not in text and "Infinity" not in text
    assert '"upper": null' in text  # an infinite bound
    frame = report.to_frame()
    assert frame.loc["CPE1.alpha", "value"] == report.params["CPE1.alpha"]
    table = str(report)
    assert all(name in table for name in report.names) and "AIC" in table


@pytest.mark.parametrize("fixed", [None, {"R0.r": 0.0151}])
def test_report_round_trips_through_json_and_predicts(fixed):
    report = fit(SPECTRUM, "randles", fixed=fixed)
    loaded = FitReport.from_json(report.to_json())
    assert loaded.params == report.params and loaded.start == report.start and loaded.fixed == report.fixed
    assert loaded.notation == "randles" and loaded.termination == report.termination == "converged"
    assert loaded.warnings == report.warnings
    np.testing.assert_array_equal(loaded.covariance, report.covariance)
    dense = np.logspace(6, -3, 7)
    np.testing.assert_array_equal(loaded.predict(dense), report.circuit.impedance(dense))


def test_report_from_a_circuit_fit_result_matches_the_toolkit_fit():
    result = kovrant.Circuit("randles").fit(*SPECTRUM)
    from_result = FitReport.from_result(result, SPECTRUM)
    report = fit(SPECTRUM, "randles")
    assert from_result.params == report.params and from_result.chi_square == report.chi_square
    assert from_result.stderr == pytest.approx(report.stderr, rel=1e-9)
    assert isinstance(report.circuit, kovrant.Circuit) and report.circuit.param_values() == list(report.params.values())


def test_explicit_values_equal_to_the_defaults_are_still_the_start():
    circuit = kovrant.Circuit("R0-(R1,CPE1)")
    given = circuit.with_values(circuit.param_values())
    physical = dict(zip(circuit.param_names(), circuit.param_bounds()))
    report = fit(SPECTRUM, given, bounds=physical)
    assert list(report.start.values()) == circuit.param_values()


@pytest.mark.parametrize("kwargs, error", [
    ({"seed": -1}, ValueError), ({"max_iterations": -1}, ValueError), ({"de_evaluations": 10**12}, ValueError),
    ({"fixed": {"R0.r": True}}, TypeError),
])
def test_settings_out_of_range_are_value_errors(kwargs, error):
    with pytest.raises(error, match="seed|max_iterations|de_evaluations|boolean"):
        fit(SPECTRUM, "randles", **kwargs)


def test_repeated_parameter_names_are_refused_not_merged():
    twice = kovrant.Series([kovrant.Circuit("R0-(R1,C1)"), kovrant.Circuit("R0-(R1,C1)")])
    with pytest.raises(ValueError, match="repeats the parameter name"):
        fit(SPECTRUM, twice, fixed={"R0.r": 0.01})


def test_spectrum_comes_first():
    with pytest.raises(TypeError, match="spectrum first"):
        fit("randles", SPECTRUM)


def test_rank_circuits_picks_the_generating_topology():
    ranking = rank_circuits(SPECTRUM)
    assert [name for name, _ in ranking][0] == "randles"
    # The built-ins, and the simpler circuits their degenerate fits equal.
    assert set(kovrant.Circuit.ml_circuits()) <= {name for name, _ in ranking}
    identifiable = [report.bic for _, report in ranking if not any("ranked below" in w for w in report.warnings)]
    assert identifiable == sorted(identifiable)
    assert all(isinstance(report, FitReport) for _, report in ranking)


def test_rank_circuits_with_a_list_and_bic():
    circuit = kovrant.Circuit("R0-(R1,CPE1)")
    ranking = rank_circuits(SPECTRUM, ["rc", circuit, "randles"], criterion="bic")
    assert [name for name, _ in ranking] == ["randles", "circuit #1", "rc"]


@pytest.mark.parametrize("kwargs, error", [
    ({"criterion": "r2"}, ValueError),
    ({"circuits": "randles"}, TypeError),
])
def test_rank_circuits_rejects(kwargs, error):
    with pytest.raises(error):
        rank_circuits(SPECTRUM, **kwargs)


def test_fixed_parameter_stays_and_has_no_error():
    report = fit(SPECTRUM, "randles", fixed={"R0.r": 0.0151})
    assert report.params["R0.r"] == 0.0151
    assert math.isnan(report.stderr["R0.r"]) and "R0.r" not in report.confidence_intervals
    assert report.fixed == {"R0.r"} and report.dof == 2 * len(FREQUENCIES) - 4
    assert report.params["R1.r"] == pytest.approx(RANDLES["R1.r"], rel=0.05)


def test_fixed_by_name_holds_the_start():
    start = {**RANDLES, "CPE1.alpha": 0.8}
    report = fit(SPECTRUM, "randles", fixed=["CPE1.alpha"], start=start)
    assert report.params["CPE1.alpha"] == 0.8


def test_bounds_are_honoured_and_never_worse_than_the_start():
    start = {**RANDLES, "CPE1.alpha": 0.95}
    bounds = {"CPE1.alpha": (0.9, 1.0)}
    report = fit(SPECTRUM, "randles", bounds=bounds, start=start)
    assert 0.9 <= report.params["CPE1.alpha"] <= 1.0
    start_chi = sum(r * r for r in kovrant.Circuit("randles").residuals(list(start.values()), *SPECTRUM))
    assert report.chi_square <= start_chi
    assert any("CPE1.alpha" in text and "lower bound" in text for text in report.warnings)


def test_guessed_start_is_moved_into_the_bounds():
    # The guess of R1.r is near 0.03; bounds far above it still give a fit inside them.
    report = fit(SPECTRUM, "randles", bounds={"R1.r": (0.1, 0.2)})
    assert 0.1 <= report.params["R1.r"] <= 0.2
