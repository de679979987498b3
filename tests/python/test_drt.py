"""Distribution of relaxation times: model, solver, peaks, circuit seeds, batch, plots and command."""
import json
import math
import sys
from pathlib import Path

import numpy as np
import pytest

import kovrant
from kovrant_tools import Spectrum, cli, drt, drt_many
from kovrant_tools.drt import LAMBDA_GRID, _rule_lambda, _StandardForm, _System, nonnegative_quadratic
from kovrant_tools.drt_basis import kernel_matrix, make_basis, penalty_matrix
from kovrant_tools.drt_peaks import find_peaks, peak_regions, zarc_exponent, zarc_width

ROOT = Path(__file__).resolve().parents[2]
MEASURED = ROOT / "data" / "measured" / "li_ion_battery.csv"
FREQUENCIES = np.logspace(5, -2, 60)


def zarcs(elements, noise=0.0, seed=0, frequencies=FREQUENCIES, series=0.05):
    """R_inf plus Zarcs (r, tau, exponent; exponent 1 is an RC), with relative noise on each part."""
    rng = np.random.default_rng(seed)
    exact = series + sum(r / (1 + (2j * np.pi * frequencies * tau) ** a) for r, tau, a in elements)
    return frequencies.copy(), exact + noise * np.abs(exact) * (rng.standard_normal(frequencies.size)
                                                          + 1j * rng.standard_normal(frequencies.size))


def test_kernel_of_one_gaussian_matches_direct_quadrature():
    basis = make_basis(FREQUENCIES, 10.0, None)
    frequencies = np.array([0.3, 17.0, 2e3])
    column = kernel_matrix(frequencies, basis)[:, 40]
    y = np.linspace(basis.centres[40] - 8, basis.centres[40] + 8, 40001)
    gauss = np.exp(-((y - basis.centres[40]) / basis.width) ** 2)
    direct = [np.sum(gauss / (1 + 2j * np.pi * f * np.exp(y))) * (y[1] - y[0]) for f in frequencies]
    np.testing.assert_allclose(column, direct, rtol=1e-4, atol=1e-6 * basis.width)


def test_nonnegative_quadratic_meets_the_optimality_conditions():
    rng = np.random.default_rng(4)
    matrix = rng.standard_normal((30, 12))
    gram, rhs = matrix.T @ matrix, matrix.T @ rng.standard_normal(30)
    bounded = np.ones(12, dtype=bool)
    bounded[0] = False
    x, _ = nonnegative_quadratic(gram, rhs, bounded)
    gradient = rhs - gram @ x
    assert np.all(x[bounded] >= 0) and (x[bounded] == 0).any()
    # Free or inside: zero gradient; at the bound: the gradient pushes outwards.
    inside = ~bounded | (x > 0)
    np.testing.assert_allclose(gradient[inside], 0, atol=1e-9)
    assert np.all(gradient[~inside] <= 1e-9)


def _problem(seed=6):
    frequencies, impedances = zarcs([(1.0, 1e-3, 0.9), (0.4, 0.2, 0.8)], 0.004, seed=seed,
                                    frequencies=np.logspace(4, -1, 25))
    basis = make_basis(frequencies, 5.0, None)
    penalty = penalty_matrix(basis, 1)
    system = _System.build(frequencies, impedances, kernel_matrix(frequencies, basis), np.abs(impedances).max(), "both")
    return system, penalty, _StandardForm.build(system, np.linalg.cholesky(penalty + 1e-12 * np.eye(len(penalty))))


def _ridge(system, penalty, lam):
    """Unconstrained solution and hat-matrix trace, solved directly (R_inf and L unpenalised)."""
    gram = system.matrix.T @ system.matrix
    gram[system.nuisance:, system.nuisance:] += lam * penalty
    hat = system.matrix @ np.linalg.solve(gram, system.matrix.T)
    return hat @ system.target, np.trace(hat)


def test_gcv_and_evidence_match_direct_evaluation(monkeypatch):
    system, penalty, standard = _problem()
    monkeypatch.setattr(sys.modules["kovrant_tools.drt"], "LAMBDA_GRID", LAMBDA_GRID[::4])
    rows = system.target.size
    gcv, evidence = [], []
    for lam in LAMBDA_GRID[::4]:
        fitted, trace = _ridge(system, penalty, lam)
        gcv.append(np.sum((system.target - fitted) ** 2) / (rows - trace) ** 2)
        # Marginal likelihood with the series values integrated out under a flat prior, sigma^2 at its optimum.
        series = system.matrix[:, :system.nuisance]
        projector = np.eye(rows) - series @ np.linalg.pinv(series)
        gaussians = projector @ system.matrix[:, system.nuisance:]
        prior = lam * (penalty + 1e-12 * np.eye(len(penalty)))
        covariance = np.eye(rows) + gaussians @ np.linalg.solve(prior, gaussians.T)
        basis_q = np.linalg.svd(projector)[0][:, :rows - system.nuisance]
        reduced = basis_q.T @ covariance @ basis_q
        target = basis_q.T @ system.target
        degrees = rows - system.nuisance
        evidence.append(-0.5 * degrees * np.log(target @ np.linalg.solve(reduced, target) / degrees)
                        - 0.5 * np.linalg.slogdet(reduced)[1])
    assert _rule_lambda(standard, "gcv") == LAMBDA_GRID[::4][int(np.argmin(gcv))]
    assert _rule_lambda(standard, "evidence") == LAMBDA_GRID[::4][int(np.argmax(evidence))]


def test_peak_regions_tile_the_grid_and_shallow_dips_do_not_split_a_peak():
    y = np.linspace(-10, 10, 401)
    two = np.exp(-(y + 2) ** 2) + np.exp(-(y - 2) ** 2)
    shoulder = np.exp(-(y + 0.2) ** 2) + 0.995 * np.exp(-(y - 0.2) ** 2)
    regions = peak_regions(two, 0.01)
    assert len(regions) == 2 and regions[0][0] == 0 and regions[1][1] == y.size - 1
    assert regions[0][1] + 1 == regions[1][0]
    assert len(peak_regions(shoulder, 0.01)) == 1
    # Bells on gamma share its whole area between the peaks.
    peaks = find_peaks(two, None, y, 0.01, False)
    assert sum(peak.resistance for peak in peaks) == pytest.approx(np.sum(two) * (y[1] - y[0]), rel=1e-3)
    assert [round(math.log(peak.tau), 1) for peak in peaks] == [-2.0, 2.0]


@pytest.mark.parametrize("elements, noise", [
    ([(1.0, 1e-3, 1.0), (1.0, 3e-3, 1.0)], 0.002),
    ([(1.0, 1e-3, 0.9), (1.0, 5e-3, 0.9)], 0.005),
])
def test_two_close_peaks_are_resolved(elements, noise):
    result = drt(zarcs(elements, noise), seed=0)
    main = sorted(result.peaks, key=lambda peak: -peak.resistance)[:2]
    for (r, tau, _), peak in zip(elements, sorted(main, key=lambda peak: peak.tau)):
        assert abs(math.log10(peak.tau / tau)) < 0.1
        assert peak.resistance == pytest.approx(r, rel=0.05)
        assert 0 < peak.resistance_stderr < 0.2
    assert result.polarisation_resistance == pytest.approx(2.0, rel=0.02)
    assert result.series_resistance == pytest.approx(0.05, abs=0.012)  # 0.6 % of |Z| at high frequency


def test_tau_is_one_over_two_pi_f_and_the_model_rebuilds_the_spectrum():
    frequencies, impedances = zarcs([(2.0, 1e-3, 0.9)])
    result = drt((frequencies, impedances))
    (peak,) = [peak for peak in result.peaks if peak.resistance > 0.1]
    assert peak.tau == pytest.approx(1e-3, rel=0.02)
    assert peak.frequency == pytest.approx(1 / (2 * math.pi * 1e-3), rel=0.02)
    np.testing.assert_allclose(result.frequency, 1 / (2 * math.pi * result.tau))
    np.testing.assert_allclose(result.impedance(frequencies), result.model_impedances)
    np.testing.assert_allclose(result.residuals, (result.model_impedances - impedances) / np.abs(impedances))
    assert np.max(np.abs(result.residuals)) < 2e-3
    assert np.all(result.gamma >= 0) and np.all(result.gamma_lower <= result.gamma)
    assert np.all(result.gamma <= result.gamma_upper)


@pytest.mark.parametrize("rule", ["gcv", "lcurve", "reim", "evidence", 1e-8, 0.0, 1e2])
def test_every_regularisation_gives_a_finite_result(rule):
    result = drt(zarcs([(1.0, 1e-3, 0.9), (0.5, 0.1, 0.8)], 0.005, seed=2), regularisation=rule)
    assert result.regularisation_rule == (rule if isinstance(rule, str) else "given")
    if not isinstance(rule, str):
        assert result.regularisation == rule
    assert result.peaks and np.all(np.isfinite(result.gamma_upper))
    assert result.polarisation_resistance == pytest.approx(1.5, rel=0.1)


@pytest.mark.parametrize("part", ["real", "imag"])
def test_one_part_alone_finds_the_process_and_both_series_values(part):
    frequencies, impedances = zarcs([(1.0, 1e-3, 0.9)], series=0.2)
    impedances = impedances + 2j * np.pi * frequencies * 1e-7
    result = drt((frequencies, impedances), part=part)
    assert max(result.peaks, key=lambda peak: peak.resistance).tau == pytest.approx(1e-3, rel=0.1)
    assert result.series_resistance == pytest.approx(0.2, rel=0.05)
    assert result.inductance == pytest.approx(1e-7, rel=0.2)


def test_inductive_loop_gives_a_negative_peak_when_signed():
    # A low-frequency inductive loop: a negative RC process after a positive one.
    frequencies, impedances = zarcs([(1.0, 1e-3, 1.0), (-0.3, 1.0, 1.0)], 0.002, seed=3, series=0.1)
    unsigned = drt((frequencies, impedances))
    assert np.all(unsigned.gamma >= 0) and unsigned.peaks
    signed = drt((frequencies, impedances), signed=True)
    deepest = min(signed.peaks, key=lambda peak: peak.resistance)
    assert deepest.resistance < 0 and abs(math.log10(deepest.tau)) < 0.15
    assert signed.chi_square < unsigned.chi_square / 10


@pytest.mark.parametrize("points", [10, 10_000])
def test_very_short_and_very_long_spectra(points):
    frequencies = np.logspace(4, -1, points)
    result = drt(zarcs([(1.0, 1e-3, 0.9)], 0.005, frequencies=frequencies))
    assert result.peaks and np.all(np.isfinite(result.gamma))
    assert result.polarisation_resistance == pytest.approx(1.0, rel=0.1)


def test_grid_follows_tau_range_and_density_and_every_spectrum_form_gives_the_same_result():
    frequencies, impedances = zarcs([(1.0, 1e-3, 0.9)], 0.003)
    result = drt((frequencies, impedances), tau_range=(1e-6, 1.0), points_per_decade=4)
    assert result.tau[0] == pytest.approx(1e-6) and result.tau[-1] == pytest.approx(1.0, rel=0.2)
    assert np.log10(result.tau[1] / result.tau[0]) == pytest.approx(1 / 12)  # three output points per Gaussian
    default = drt((frequencies, impedances))
    assert default.tau[0] == pytest.approx(1 / (2 * np.pi * 1e5) / 10 ** 0.5)
    table = {"Frequency / Hz": frequencies, "Real Impedance / ohm": impedances.real,
             "Imaginary Impedance / ohm": impedances.imag}
    for form in (Spectrum(frequencies, impedances), table):
        np.testing.assert_array_equal(drt(form).gamma, default.gamma)


def test_unusable_points_are_left_out_and_named():
    frequencies, impedances = zarcs([(1.0, 1e-3, 0.9)])
    frequencies[3], impedances[7], frequencies[9] = np.nan, 0.0, -1.0
    result = drt((frequencies, impedances))
    assert result.frequencies.size == 57 and "left out 3 of 60 points" in result.warnings[0]
    with pytest.raises(ValueError, match="at least 3 usable points, got 2"):
        drt((frequencies[:2], impedances[:2]))


@pytest.mark.parametrize("options, message", [
    ({"method": "bayesian"}, "method must be one of"),
    ({"regularisation": "aic"}, "got 'aic'"),
    ({"regularisation": -1.0}, "got -1.0"),
    ({"regularisation": "reim", "part": "real"}, "needs part='both'"),
    ({"order": 3}, "order must be 0, 1 or 2, got 3"),
    ({"band_level": 1.0}, "band_level must lie between 0 and 1, got 1.0"),
    ({"tau_range": (1.0, 0.1)}, "tau_range must be"),
    ({"samples": 1}, "samples must be an integer >= 2, got 1"),
])
def test_bad_options_are_named(options, message):
    with pytest.raises(ValueError, match=message.replace("(", r"\(")):
        drt(zarcs([(1.0, 1e-3, 0.9)]), **options)


def test_bootstrap_is_repeatable_with_a_seed_and_wider_levels_give_wider_bands():
    spectrum = zarcs([(1.0, 1e-3, 0.9), (0.5, 0.1, 0.8)], 0.005, seed=5)
    first, again = (drt(spectrum, method="bootstrap", samples=20, seed=3) for _ in range(2))
    np.testing.assert_array_equal(first.gamma_upper, again.gamma_upper)
    assert np.all(first.gamma_lower <= first.gamma_upper)
    narrow, wide = drt(spectrum, band_level=0.5), drt(spectrum, band_level=0.99)
    assert np.all(wide.gamma_upper - wide.gamma >= narrow.gamma_upper - narrow.gamma - 1e-12)


@pytest.mark.parametrize("element, names", [
    ("zarc", {"Zarc1.r", "Zarc1.tau_k", "Zarc1.gamma", "Zarc2.gamma"}),
    ("rcpe", {"R1.r", "CPE1.q", "CPE1.alpha", "CPE2.alpha"}),
])
def test_peaks_seed_a_circuit_that_already_fits(element, names):
    spectrum = zarcs([(1.0, 1e-3, 0.85), (0.5, 0.1, 0.8)], 0.002, seed=1)
    notation, start = drt(spectrum).to_circuit(element=element)
    assert names <= set(start) and notation.startswith("R0-")
    model = kovrant.Circuit(notation).with_named_values(start).impedance(spectrum[0])
    assert np.max(np.abs(model - spectrum[1]) / np.abs(spectrum[1])) < 0.05


def test_rcpe_and_zarc_seeds_are_the_same_circuit():
    result = drt(zarcs([(1.0, 1e-3, 0.85), (0.5, 0.1, 0.8)], 0.002, seed=1), refine_peaks=False)
    impedances = [kovrant.Circuit(notation).with_named_values(start).impedance(FREQUENCIES)
                  for notation, start in (result.to_circuit(), result.to_circuit(element="rcpe"))]
    np.testing.assert_allclose(impedances[0], impedances[1], rtol=1e-9)
    assert "L0" in result.to_circuit(inductance=True).notation
    with pytest.raises(ValueError, match="element must be 'zarc' or 'rcpe', got 'rc'"):
        result.to_circuit(element="rc")


def test_zarc_exponent_inverts_the_zarc_width():
    for exponent in (0.55, 0.7, 0.9, 0.98):
        assert zarc_exponent(zarc_width(exponent)) == pytest.approx(exponent, abs=1e-6)
    assert (zarc_exponent(0.0), zarc_exponent(50.0)) == (1.0, 0.5)


def test_result_json_has_plain_values():
    data = json.loads(drt(zarcs([(1.0, 1e-3, 0.9)]), refine_peaks=False).to_json())
    assert data["peak_source"] == "distribution" and len(data["tau"]) == len(data["gamma"])
    assert {"tau", "resistance", "width", "tau_stderr"} <= set(data["peaks"][0])


def test_many_spectra_share_one_grid_and_keep_failures_in_their_row():
    good = [Spectrum(*zarcs([(1.0, 1e-3 * (1 + k), 0.9)], 0.003, seed=k), {"temperature": 20.0 + 5 * k})
            for k in range(3)]
    series = drt_many({"a": good[0], "b": good[1], "bad": (FREQUENCIES[:2], np.ones(2)), "c": good[2]},
                      values="temperature", threads=2)
    assert series.ids == (("a",), ("b",), ("bad",), ("c",)) and series.gamma.shape == (4, series.tau.size)
    assert series.errors[2].startswith("ValueError") and np.isnan(series.gamma[2]).all()
    np.testing.assert_array_equal(series.values, [20.0, 25.0, math.nan, 30.0])
    peaks = {row["spectrum"]: row["tau"] for row in series.peak_rows() if row["resistance"] > 0.5}
    assert peaks["a"] < peaks["b"] < peaks["c"]
    with pytest.raises(ValueError, match="2 spectra but 3 values"):
        drt_many(good[:2], values=[1, 2, 3])


def test_many_spectra_from_a_directory_with_an_unreadable_file(tmp_path):
    (tmp_path / "broken.csv").write_text("not, a, spectrum\n")
    (tmp_path / "cell.csv").write_bytes(MEASURED.read_bytes())
    series = drt_many(tmp_path)
    assert series.id_names == ("file", "sweep") and series.ids[1] == ("cell.csv", 0)
    assert series.errors[0] is not None and series.errors[1] is None and np.isfinite(series.gamma[1]).all()


def test_plots_return_figures_with_both_tau_and_frequency_axes():
    matplotlib = pytest.importorskip("matplotlib")
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    from kovrant_tools.plots import plot_drt, plot_drt_fit, plot_drt_map

    backend = matplotlib.get_backend()
    result = drt(zarcs([(1.0, 1e-3, 0.9)], 0.003))
    figure = plot_drt(result)
    axes = figure.axes[0]
    assert axes.get_xscale() == "log" and "1/(2π f)" in axes.get_xlabel()
    assert any("1/(2π τ)" in child.get_xlabel() for child in axes.child_axes)
    assert len(plot_drt_fit(result).axes) == 2
    series = drt_many([zarcs([(1.0, 1e-3, 0.9)], 0.003, seed=k) for k in range(3)], values=[3.0, 1.0, 2.0])
    assert plot_drt_map(series, label="cycle").axes[0].get_ylabel() == "cycle"
    assert matplotlib.get_backend() == backend
    plt.close("all")


def test_command_prints_peaks_and_writes_json_csv_and_plot(tmp_path, capsys, monkeypatch):
    pytest.importorskip("matplotlib")
    monkeypatch.chdir(tmp_path)
    assert cli.main(["drt", str(MEASURED), "--csv", "peaks.csv", "--json", "drt.json"]) == 0
    out = capsys.readouterr().out
    assert "li_ion_battery.csv:" in out and "tau / s" in out and "wrote li_ion_battery_drt.png" in out
    assert (tmp_path / "li_ion_battery_drt.png").stat().st_size > 10_000
    rows = (tmp_path / "peaks.csv").read_text().splitlines()
    assert rows[0].startswith("sweep,peak,tau") and len(rows) >= 2
    assert json.loads((tmp_path / "drt.json").read_text())[0]["regularisation_rule"] == "gcv"
    assert cli.main(["drt", str(MEASURED), "--json", "--no-plot"]) == 0
    assert isinstance(json.loads(capsys.readouterr().out), list)
    with pytest.raises(SystemExit):
        cli.main(["drt", str(MEASURED), "--regularisation", "sometimes"])


def test_command_writes_one_plot_per_sweep(tmp_path, capsys):
    pytest.importorskip("matplotlib")
    sweeps = ROOT / "tests" / "data" / "pyimpspec-multiple-spectra.mpt"
    assert cli.main(["drt", str(sweeps), "--plot", str(tmp_path / "d.png"), "--csv", "-"]) == 0
    lines = capsys.readouterr().out.splitlines()
    assert {line.split(",")[0] for line in lines[1:]} == {"0", "1", "2"}
    assert sorted(path.name for path in tmp_path.iterdir()) == ["d_sweep0.png", "d_sweep1.png", "d_sweep2.png"]
