"""Joint fits of spectrum series: agreement with a dense solve, the report, the arguments, the command line."""
import contextlib
import csv
import json
import math

import numpy as np
import pytest

import kovrant
import kovrant_tools as kt
from kovrant_tools import cli

CIRCUIT = "R0-(R1,CPE1)"
BOLTZMANN_EV = 8.617333262e-5
FREQUENCIES = np.logspace(-2, 5, 30)


def temperature_series(count=6, noise=0.01, seed=0):
    """Spectra over temperature: R0 constant, R1 Arrhenius (0.4 eV), the CPE drifting; and the true values."""
    rng = np.random.default_rng(seed)
    circuit = kovrant.Circuit(CIRCUIT)
    spectra, truth = [], []
    for i, kelvin in enumerate(np.linspace(273.15, 333.15, count)):
        values = [0.05, 2e-8 * math.exp(0.4 / (BOLTZMANN_EV * kelvin)), 1e-3 * (1 + 0.1 * i), 0.85 - 0.01 * i]
        z = circuit.with_values(values).impedance(FREQUENCIES)
        z = z.real * (1 + noise * rng.standard_normal(z.size)) + 1j * z.imag * (1 + noise * rng.standard_normal(z.size))
        spectra.append(kt.Spectrum(FREQUENCIES, z, {"T": kelvin}))
        truth.append(values)
    return spectra, np.array(truth)


@pytest.mark.parametrize("smooth", [None, 0.05])
def test_joint_fit_equals_a_dense_solve_of_the_stacked_problem(smooth):
    optimize = pytest.importorskip("scipy.optimize")
    spectra, _ = temperature_series()
    report = kt.fit_series(spectra, CIRCUIT, shared=["R0.r"], laws={"R1.r": "arrhenius(T)"}, smooth=smooth)
    circuit, count, low = kovrant.Circuit(CIRCUIT), len(spectra), 1e-12
    inverse_kt = 1 / (BOLTZMANN_EV * report.covariates["T"])

    def values_of(theta):  # R0 and q in decades above their lower bound, as the engine searches them
        q, alpha = low + 10 ** theta[3:3 + count], theta[3 + count:]
        return [[low + 10 ** theta[0], math.exp(theta[1] + theta[2] * inverse_kt[i]), q[i], alpha[i]]
                for i in range(count)]

    def residuals(theta):
        parts = []
        for spectrum, values in zip(spectra, values_of(theta)):
            r = (circuit.with_values(values).impedance(spectrum.frequencies) - spectrum.impedances) \
                / np.abs(spectrum.impedances)
            parts += [r.real, r.imag]
        if smooth:
            parts += [math.sqrt(smooth) * np.diff(theta[3:3 + count]), math.sqrt(smooth) * np.diff(theta[3 + count:])]
        return np.concatenate(parts)

    start = report.independent_params
    energy = np.polyfit(inverse_kt, np.log(start["R1.r"]), 1)  # the law through the independent fits
    theta0 = np.concatenate([[np.log10(np.median(start["R0.r"])), energy[1], energy[0]],
                             np.log10(start["CPE1.q"]), start["CPE1.alpha"]])
    dense = optimize.least_squares(residuals, theta0, method="lm", xtol=1e-15, ftol=1e-15, gtol=1e-15)
    expected = np.array(values_of(dense.x))
    assert report.success
    for j, name in enumerate(report.names):
        np.testing.assert_allclose(report.params[name], expected[:, j], rtol=1e-6, err_msg=name)
    assert report.laws["R1.r"]["Ea"] == pytest.approx(dense.x[2], rel=1e-6)
    assert report.chi_square_total + report.penalty == pytest.approx(2 * dense.cost, rel=1e-8)

    # Errors from the dense covariance s^2 (J^T J)^-1, J with the penalty rows, s^2 from the data residuals.
    data_rows = 2 * count * FREQUENCIES.size
    s2 = report.chi_square_total / (data_rows - theta0.size)
    sigma = np.sqrt(np.diag(s2 * np.linalg.inv(dense.jac.T @ dense.jac)))
    assert report.global_stderr[report.global_names.index("R1.r:Ea")] == pytest.approx(sigma[2], rel=1e-3)
    assert report.shared["R0.r"] == pytest.approx(expected[0, 0], rel=1e-6)
    np.testing.assert_allclose(report.stderr["R0.r"], np.log(10) * (expected[:, 0] - low) * sigma[0], rtol=1e-3)
    np.testing.assert_allclose(report.stderr["CPE1.q"], np.log(10) * (expected[:, 2] - low) * sigma[3:3 + count],
                               rtol=1e-3)
    np.testing.assert_allclose(report.stderr["CPE1.alpha"], sigma[3 + count:], rtol=1e-3)


def test_report_holds_values_errors_frame_json_and_plots():
    spectra, truth = temperature_series(count=8, noise=0.005)
    report = kt.fit_series(spectra, CIRCUIT, shared=["R0.r"], laws={"R1.r": "arrhenius(T)"})
    assert set(report.shared) == {"R0.r"} and set(report.laws["R1.r"]) == {"A", "Ea"}
    assert report.global_names == ["R0.r", "R1.r:A", "R1.r:Ea"]
    low, high = report.global_intervals["R1.r:Ea"]
    assert low < report.laws["R1.r"]["Ea"] < high and 0.3 < low and high < 0.5
    for j, name in enumerate(report.names):
        low, high = report.intervals[name]
        assert np.all(low < report.params[name]) and np.all(report.params[name] < high), name
        assert np.all(np.abs(report.params[name] - truth[:, j]) < 5 * report.stderr[name]), name
    frame = report.to_frame()
    assert len(frame) == 8 and list(frame["spectrum"]) == list(range(8))
    assert {"T", "R1.r", "R1.r_stderr", "chi_square"} <= set(frame.columns)
    assert report.chi_square_total == pytest.approx(frame["chi_square"].sum())
    decoded = json.loads(report.to_json())
    assert [row["name"] for row in decoded["globals"]] == report.global_names
    assert "R1.r:Ea" in str(report) and report.warnings == []
    pytest.importorskip("matplotlib")
    from kovrant_tools.plots import plot_series_fits, plot_series_parameters

    assert len([a for a in plot_series_parameters(report).axes if a.get_visible()]) == 4
    assert len(plot_series_fits(report, [0, 7]).axes) == 2
    with pytest.raises(ValueError, match="outside the series"):
        plot_series_fits(report, [8])


def test_a_long_frame_with_fixed_values_bounds_and_smoothing_per_name():
    pd = pytest.importorskip("pandas")
    spectra, _ = temperature_series(count=5)
    frame = pd.concat([spectrum.to_frame().assign(run=i, T=spectrum.metadata["T"]) for i, spectrum in
                       enumerate(spectra)])
    report = kt.fit_series(frame, CIRCUIT, ids="run", laws={"R1.r": "arrhenius(T)"}, fixed={"R0.r": 0.05},
                           bounds={"CPE1.alpha": (0.5, 0.84)}, smooth={"CPE1.q": 0.1})
    assert report.id_names == ("run",) and [ids[0] for ids in report.ids] == list(range(5))
    np.testing.assert_allclose(report.covariates["T"], [s.metadata["T"] for s in spectra])
    assert report.roles["R0.r"] == "fixed" and np.all(report.params["R0.r"] == 0.05)
    assert np.all(np.isnan(report.stderr["R0.r"]))
    assert np.all(report.params["CPE1.alpha"] <= 0.84)
    assert report.smooth == {"CPE1.q": 0.1} and report.penalty > 0
    assert any("CPE1.alpha is at its upper bound" in text for text in report.warnings)
    assert json.loads(report.to_json())["stderr"]["R0.r"] == [None] * 5


@pytest.mark.parametrize("law, coefficients", [("linear(soc)", [3, 2]), ("quadratic(soc)", [3, 2, -1.5]),
                                                ("polynomial(soc, 3)", [3, 2, -1.5, 0.5])])
def test_groups_and_polynomial_laws_are_recovered_exactly(law, coefficients):
    circuit = kovrant.Circuit(CIRCUIT)
    soc = np.linspace(0.1, 0.9, 6)
    cells = ["a", "a", "b", "b", "c", "c"]
    offsets = {"a": 0.1, "b": 0.2, "c": 0.3}
    spectra = [(FREQUENCIES, circuit.with_values([offsets[cell], np.polyval(coefficients[::-1], x), 1e-3, 0.9])
                .impedance(FREQUENCIES)) for cell, x in zip(cells, soc)]
    report = kt.fit_series(spectra, CIRCUIT, shared={"R0.r": "cell", "CPE1.alpha": None}, laws={"R1.r": law},
                           covariates={"soc": soc, "cell": cells})
    assert report.shared["R0.r"] == pytest.approx(offsets, rel=1e-7)
    assert report.shared["CPE1.alpha"] == pytest.approx(0.9, rel=1e-7)
    assert list(report.laws["R1.r"].values()) == pytest.approx(coefficients, rel=1e-6, abs=1e-8)
    assert report.global_names[:3] == ["R0.r[a]", "R0.r[b]", "R0.r[c]"]


@pytest.mark.parametrize("options, message", [
    ({"shared": ["R9.r"]}, "unknown parameter 'R9.r'"),
    ({"shared": ["R0.r"], "fixed": ["R0.r"]}, "both fixed and shared"),
    ({"laws": {"R1.r": "exponential(T)"}}, "is not a law"),
    ({"laws": {"R1.r": "polynomial(T)"}}, "needs a degree"),
    ({"laws": {"CPE1.alpha": "arrhenius(T)"}}, "bounded above"),
    ({"laws": {"R1.r": "linear(soc)"}}, "covariate 'soc'"),
    ({"shared": ["R0.r"], "smooth": {"R0.r": 1.0}}, "not a per-spectrum parameter"),
    ({"smooth": -1.0}, "must be a finite number >= 0"),
    ({"smooth": "gcv"}, "smooth must be"),
])
def test_bad_arguments_name_the_problem(options, message):
    spectra, _ = temperature_series(count=3)
    with pytest.raises(ValueError, match=message):
        kt.fit_series(spectra, CIRCUIT, **options)


def test_warnings_flag_celsius_and_a_series_the_roles_do_not_fit():
    spectra, _ = temperature_series(count=4)
    celsius = [kt.Spectrum(s.frequencies, s.impedances, {"T": s.metadata["T"] - 273.15 + 1}) for s in spectra]
    report = kt.fit_series(celsius, CIRCUIT, laws={"R1.r": "arrhenius(T)"})
    assert any("add 273.15" in text for text in report.warnings)
    # R1 changes tenfold along the series: one shared value cannot describe it.
    report = kt.fit_series(spectra, CIRCUIT, shared=["R1.r"])
    assert any("do not describe this series well" in text for text in report.warnings)


def test_spectra_without_a_warm_start_begin_as_circuit_fit_would():
    spectra, truth = temperature_series(count=3, noise=0.0)
    with pytest.raises(ValueError, match="No training data"):
        kt.fit_series(spectra, "R0-CPE1", guess_init=True)
    # The circuit's own values serve when asked for, and the fit then needs no guess.
    own = kovrant.Circuit(CIRCUIT).with_values(list(truth[0]))
    report = kt.fit_series(spectra, own, laws={"R1.r": "arrhenius(T)"}, guess_init=False)
    assert report.warnings == []
    assert report.laws["R1.r"]["Ea"] == pytest.approx(0.4, rel=1e-6)


def test_cross_validation_chooses_a_strength_and_smoothing_lowers_the_error():
    spectra, truth = temperature_series(count=15, noise=0.03, seed=3)
    options = {"shared": ["R0.r"], "laws": {"R1.r": "arrhenius(T)"}}
    report = kt.fit_series(spectra, CIRCUIT, smooth="cv", **options)
    assert len(report.cv_scores) == 9 and all(math.isfinite(score) for score in report.cv_scores.values())
    strength = report.smooth["CPE1.q"]
    assert report.cv_scores[strength] == min(report.cv_scores.values())
    joint = np.sqrt(np.mean((report.params["CPE1.q"] / truth[:, 2] - 1) ** 2))
    independent = np.sqrt(np.mean((report.independent_params["CPE1.q"] / truth[:, 2] - 1) ** 2))
    assert joint < independent


@pytest.mark.parametrize("use_dask", [False, True])
def test_by_fits_each_cell_as_its_own_series(use_dask):
    spectra, _ = temperature_series(count=8)
    covariates = {"cell": ["x"] * 4 + ["y"] * 4}
    client = None
    if use_dask:
        distributed = pytest.importorskip("dask.distributed")
        client = distributed.Client(processes=False, n_workers=1, threads_per_worker=2, dashboard_address=":0")
    try:
        reports = kt.fit_series(spectra, CIRCUIT, shared=["R0.r"], laws={"R1.r": "arrhenius(T)"},
                                covariates=covariates, by="cell", client=client)
    finally:
        if client is not None:
            client.close()
    assert set(reports) == {"x", "y"}
    assert [len(reports[key]) for key in "xy"] == [4, 4]
    alone = kt.fit_series(spectra[4:], CIRCUIT, shared=["R0.r"], laws={"R1.r": "arrhenius(T)"})
    np.testing.assert_allclose(reports["y"].global_values, alone.global_values, rtol=1e-12)


def test_command_line_fits_a_directory_and_writes_its_outputs(tmp_path, capsys):
    spectra, _ = temperature_series(count=5)
    folder = tmp_path / "spectra"
    folder.mkdir()
    for i, spectrum in enumerate(spectra):
        spectrum.to_frame().to_csv(folder / f"sweep_{i}.csv", index=False)
    with (tmp_path / "temperatures.csv").open("w", newline="") as handle:
        csv.writer(handle).writerows([["T"], *([s.metadata["T"]] for s in spectra)])
    status = cli.main(["series", str(folder), "--circuit", CIRCUIT, "--shared", "R0.r", "--law", "R1.r:arrhenius(T)",
                       "--covariates", str(tmp_path / "temperatures.csv"), "--out", str(tmp_path / "out")])
    assert status == 0
    assert "R1.r:Ea" in capsys.readouterr().out
    written = json.loads((tmp_path / "out" / "series.json").read_text())
    assert written["ids"][0] == ["sweep_0.csv", 0] and written["laws_used"] == {"R1.r": "arrhenius(T)"}
    assert cli.main(["series", str(folder), "--circuit", CIRCUIT, "--law", "R1.r:arrhenius(T)"]) == 2
    assert "covariate 'T'" in capsys.readouterr().err


@pytest.mark.parametrize("arguments, message", [
    (["--fix", "R0.r=0.05", "--fix", "R1.r"], "all with values"),
    (["--smooth", "strong"], "expected a strength or cv"),
    (["--law", "R1.r"], "expected NAME:LAW"),
])
def test_command_line_refuses_malformed_options(tmp_path, capsys, arguments, message):
    with pytest.raises(SystemExit) if "expected" in message else contextlib.nullcontext():
        status = cli.main(["series", str(tmp_path), "--circuit", CIRCUIT, *arguments])
        assert status == 2
    assert message in capsys.readouterr().err
