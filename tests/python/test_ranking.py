"""rank_circuits over an open candidate set, with identifiability demotion."""
from dataclasses import replace

import math
from pathlib import Path

import numpy as np
import pytest

import kovrant
from kovrant_tools import fit, rank_circuits
from kovrant_tools.commands_fit import _ranking_table
from kovrant_tools.ranking import SHORTLIST_MARGIN, _chi_square_survival, _ordered, undetermined
from noisy_spectra import noisy as noisy_spectrum

FREQUENCIES = np.logspace(5, -1, 50)


def noisy(notation, values, noise=0.003, seed=2):
    return noisy_spectrum(notation, values, FREQUENCIES, noise=noise, seed=seed)


ONE_ARC_AND_TAIL = noisy("R0-(R1,CPE1)-C2", {"R0.r": 10.0, "R1.r": 50.0, "CPE1.q": 1e-6, "CPE1.alpha": 0.85,
                                             "C2.c": 1e-3})
RC = noisy("R0-(R1,C1)", {"R0.r": 10.0, "R1.r": 50.0, "C1.c": 1e-6})


def test_a_degenerate_fit_brings_its_simpler_circuit_into_the_ranking():
    ranking = rank_circuits(ONE_ARC_AND_TAIL, ["rq", "two_rq"])
    names = [name for name, _ in ranking]
    assert {"rq", "two_rq"} <= set(names)
    pick, report = ranking[0]
    assert report.chi_square < 4 * 2 * len(FREQUENCIES) * 0.003 ** 2
    assert not undetermined(report), pick
    assert len(report.circuit.param_names()) == 5


def test_an_undetermined_fit_yields_to_a_simpler_one_and_says_why():
    ranking = dict(rank_circuits(RC, ["rc", "R0-(R1,C1)-R2"], equivalents=False))
    assert undetermined(ranking["R0-(R1,C1)-R2"])  # the data cannot tell R0 from R2
    # With a better criterion but a gain a likelihood-ratio test does not accept (statistic 3 for one
    # more parameter), the fit whose R0 and R2 the data cannot tell apart comes second.
    undetermined_fit, rc = ranking["R0-(R1,C1)-R2"], ranking["rc"]
    flattering = replace(undetermined_fit, chi_square=rc.chi_square * math.exp(-3 / (2 * len(rc.frequencies))))
    assert flattering.aic == pytest.approx(rc.aic - 1)
    ordered = _ordered({"R0-(R1,C1)-R2": flattering, "rc": ranking["rc"]}, "aic")
    assert [name for name, _ in ordered] == ["rc", "R0-(R1,C1)-R2"]
    assert "warning: ranked below rc" in _ranking_table(ordered)
    # A simpler fit that does not fit as well does not take its place.
    poorer = replace(ranking["rc"], chi_square=2 * flattering.chi_square)
    assert _ordered({"R0-(R1,C1)-R2": flattering, "rc": poorer}, "aic")[0][0] == "R0-(R1,C1)-R2"


@pytest.mark.parametrize("kwargs, error", [
    ({"strategy": "quick"}, ValueError),
    ({"shortlist": -1}, ValueError),
])
def test_bad_options(kwargs, error):
    with pytest.raises(error):
        rank_circuits(RC, ["rc"], **kwargs)


def test_a_cpe_coefficient_moving_with_its_exponent_is_not_undetermined():
    # Far above 1 rad/s, q follows alpha however well the arc is measured.
    f = np.logspace(7, 4, 50)
    z = kovrant.Circuit("rq").with_named_values({"R0.r": 10.0, "R1.r": 50.0, "CPE1.q": 1e-7,
                                                 "CPE1.alpha": 0.8}).impedance(f)
    report = rank_circuits((f, z * (1 + 0.003 * np.cos(np.arange(50)))), ["rq"], equivalents=False)[0][1]
    names = report.names
    assert abs(report.correlation[names.index("CPE1.q"), names.index("CPE1.alpha")]) > 0.99
    assert undetermined(report) == []


def test_the_first_look_picks_as_the_whole_fits_do_with_less_work():
    screened, whole = rank_circuits(ONE_ARC_AND_TAIL), rank_circuits(ONE_ARC_AND_TAIL, screen=False)
    assert screened[0][0] == whole[0][0]
    work = [sum(report.impedance_evals for _, report in ranking) for ranking in (screened, whole)]
    assert work[0] < work[1]
    best = min(report.bic for _, report in screened)
    looked = [report for _, report in screened if any("screened out" in note for note in report.notes)]
    assert looked and all(report.bic > best + SHORTLIST_MARGIN for report in looked)


@pytest.mark.parametrize("value, error", [(0, ValueError), (-1, ValueError), (2**32, ValueError), (1.5, TypeError)])
def test_a_walk_cap_must_be_a_positive_integer(value, error):
    with pytest.raises(error):
        fit(RC, "rc", strategy="fast", max_starts=value)


@pytest.mark.parametrize("x, dof, expected", [(3.841458820694124, 1, 0.05), (5.991464547107979, 2, 0.05),
                                              (7.814727903251178, 3, 0.05), (0.0, 4, 1.0), (30.0, 5, 1.47486e-5)])
def test_chi_square_survival(x, dof, expected):
    assert _chi_square_survival(x, dof) == pytest.approx(expected, rel=1e-3)


def test_a_misfit_within_instrument_accuracy_is_no_evidence_for_more_elements():
    # An RC cell with a second arc of 0.1 % of its resistance, measured to 0.005 %: the second arc is real
    # in the data, but far below what an instrument's accuracy lets anyone attribute to the sample.
    rc = kovrant.Circuit("rc").with_named_values({"R0.r": 10.0, "R1.r": 50.0, "C1.c": 1e-6}).impedance(FREQUENCIES)
    step = kovrant.Circuit("(R1,C1)").with_named_values({"R1.r": 0.06, "C1.c": 10.0}).impedance(FREQUENCIES)
    z = (rc + step) * (1 + 5e-5 * np.cos(np.arange(FREQUENCIES.size)))
    ranking = rank_circuits((FREQUENCIES, z), ["rc", "two_rc"], equivalents=False)
    reports = dict(ranking)
    assert reports["two_rc"].bic < reports["rc"].bic  # by the plain criterion the extra arc wins
    assert ranking[0][0] == "rc"
    assert any("accuracy" in note for note in reports["rc"].notes)


def test_a_simpler_equivalent_that_wins_gets_the_fit_the_front_door_gives():
    from kovrant_tools import read_spectrum

    cell = read_spectrum(Path(__file__).resolve().parents[2] / "data" / "measured" / "li_ion_battery.csv")
    pick, report = rank_circuits(cell, ["L0-R0-(R1,CPE1)-(R2-Wo2,CPE2)"])[0]
    assert pick == "L0-R0-(R1,CPE1)-(R2-W2,CPE2)"  # Wo at its semi-infinite limit
    assert report.chi_square == pytest.approx(fit(cell, pick).chi_square, rel=1e-9)
